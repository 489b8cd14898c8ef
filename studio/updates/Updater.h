#pragma once

#include "studio/updates/FeedFetcher.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

// Hands work to the main loop (from any thread); the UI's state changes only there.
using MainThreadPoster = std::function<void(std::function<void()>)>;

// What a finished check found, with the texts to show the user.
struct UpdateCheckResult {
    enum class Kind { updateAvailable, upToDate, failed };
    Kind kind = Kind::failed;
    std::string title;
    std::string message;
    std::string newestVersion;  // set when an update is available
    std::string downloadPage;   // set when an update is available
};

// Shows check results; the application window implements it.
class UpdateUserDriver {
public:
    virtual ~UpdateUserDriver() = default;
    // Runs on the main loop. For an available update the driver offers to open the download page
    // and calls `reply(true)` when the user accepts, `reply(false)` when not; other kinds need no
    // reply. Nothing is ever downloaded or installed by the updater itself.
    virtual void showUpdateCheckResult(const UpdateCheckResult& result, std::function<void(bool openDownloadPage)> reply) = 0;
};

// What the updater reads from the application's information dictionary.
struct UpdaterConfiguration {
    std::string feedURL;
    std::string shortVersion;   // the version people see ("1.2.0")
    std::string bundleVersion;  // the build number
};

// What the updater works with; empty members take the real ones (the main queue, libcurl, the
// desktop's URL opener, console lines).
struct UpdaterServices {
    MainThreadPoster postToMain;
    std::shared_ptr<FeedFetcher> fetcher;
    std::function<bool(const std::string& url)> openURL;
    std::shared_ptr<UpdateUserDriver> userDriver;
};

// The result of one fetch of the feed, judged against the running version.
UpdateCheckResult evaluateUpdateFeed(const FeedFetcher::Result& fetched, const UpdaterConfiguration& configuration);

// Checks the feed when asked. Lives on the main loop: `canCheckForUpdates` is false until the
// updater starts and while a check runs; the fetch runs on a worker thread, and its result,
// with the change back to true, reaches the main loop through the poster.
class Updater : public std::enable_shared_from_this<Updater> {
public:
    // Ends the observation it stands for when destroyed.
    class Observation {
    public:
        Observation() = default;
        Observation(std::weak_ptr<Updater> updater, uint64_t id) : updater_(std::move(updater)), id_(id) {}
        Observation(Observation&& other) noexcept;
        Observation& operator=(Observation&& other) noexcept;
        ~Observation();

    private:
        std::weak_ptr<Updater> updater_;
        uint64_t id_ = 0;
    };

    static std::shared_ptr<Updater> make(UpdaterConfiguration configuration, UpdaterServices services);
    ~Updater();
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    void startUpdater();
    bool canCheckForUpdates() const { return canCheckForUpdates_; }
    // Calls `handler` after each change of canCheckForUpdates (and once now when `initial`).
    [[nodiscard]] Observation observeCanCheckForUpdates(std::function<void()> handler, bool initial);
    // Starts a check when one can start; ignored otherwise.
    void checkForUpdates();

private:
    Updater(UpdaterConfiguration configuration, UpdaterServices services);
    void setCanCheckForUpdates(bool value);
    void finishCheck(const UpdateCheckResult& result);

    UpdaterConfiguration configuration_;
    UpdaterServices services_;
    bool started_ = false;
    bool canCheckForUpdates_ = false;
    uint64_t nextObservation_ = 1;
    std::map<uint64_t, std::function<void()>> observers_;
    std::shared_ptr<std::atomic<bool>> cancelled_;
    std::thread worker_;
};

// Owns the updater and starts it at once when asked to.
class StandardUpdaterController {
public:
    StandardUpdaterController(bool startingUpdater, UpdaterConfiguration configuration, UpdaterServices services);

    Updater& updater() { return *updater_; }
    void checkForUpdates() { updater_->checkForUpdates(); }

private:
    std::shared_ptr<Updater> updater_;
};
