#include "studio/updates/Updater.h"

#include "platform/appkit/NSWorkspace.h"
#include "platform/dispatch/DispatchQueue.h"
#include "studio/Console.h"
#include "studio/updates/UpdateFeed.h"

#include <utility>
#include <vector>

namespace {

std::string displayVersion(const std::string& version, const std::string& build) {
    return build.empty() || build == version ? version : version + " (" + build + ")";
}

UpdateCheckResult failed(std::string message) {
    return {UpdateCheckResult::Kind::failed, "Update check failed", std::move(message), {}, {}};
}

// Without a window to show them in, results go to the console.
class ConsoleUserDriver final : public UpdateUserDriver {
public:
    void showUpdateCheckResult(const UpdateCheckResult& result, std::function<void(bool)> reply) override {
        tolvane::studio::printLine("Tolvane: " + result.title + ". " + result.message);
        if (result.kind == UpdateCheckResult::Kind::updateAvailable) reply(false);
    }
};

UpdaterServices withDefaults(UpdaterServices services, const UpdaterConfiguration& configuration) {
    if (!services.postToMain) services.postToMain = [](std::function<void()> work) { MainQueue::async(std::move(work)); };
    if (!services.fetcher) {
        services.fetcher = std::make_shared<CurlFeedFetcher>("Tolvane/" + configuration.shortVersion);
    }
    if (!services.openURL) {
        services.openURL = [](const std::string& url) { return NSWorkspace::sharedWorkspace().openURL(url); };
    }
    if (!services.userDriver) services.userDriver = std::make_shared<ConsoleUserDriver>();
    return services;
}

}  // namespace

UpdateCheckResult evaluateUpdateFeed(const FeedFetcher::Result& fetched, const UpdaterConfiguration& configuration) {
    if (!fetched.ok) return failed("The update feed could not be fetched: " + fetched.error + ".");
    std::string problem;
    const std::optional<UpdateFeed> feed = UpdateFeed::parse(fetched.body, problem);
    if (!feed) return failed("The update feed is not valid: " + problem + ".");
    const std::optional<SoftwareVersion> current = SoftwareVersion::fromString(configuration.shortVersion);
    if (!current) {
        return failed("This copy of Tolvane has no valid version number (\"" + configuration.shortVersion +
                      "\"), so it cannot be compared with the feed.");
    }
    const std::string currentText = displayVersion(configuration.shortVersion, configuration.bundleVersion);
    const std::optional<FeedRelease> newest = feed->newestRelease();
    if (newest && isNewer(*newest, *current, SoftwareVersion::fromString(configuration.bundleVersion))) {
        const std::string newestText = displayVersion(newest->version.text(), newest->build ? newest->build->text() : "");
        return {UpdateCheckResult::Kind::updateAvailable, "Tolvane " + newestText + " is available",
                "You have Tolvane " + currentText + ". Open the download page?", newestText, newest->downloadPage};
    }
    return {UpdateCheckResult::Kind::upToDate, "Tolvane is up to date",
            "Tolvane " + currentText + " is the newest version.", {}, {}};
}

Updater::Observation::Observation(Observation&& other) noexcept
    : updater_(std::move(other.updater_)), id_(std::exchange(other.id_, 0)) {}

Updater::Observation& Updater::Observation::operator=(Observation&& other) noexcept {
    if (this != &other) {
        Observation ended(std::move(*this));
        updater_ = std::move(other.updater_);
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

Updater::Observation::~Observation() {
    if (const auto updater = updater_.lock()) updater->observers_.erase(id_);
}

std::shared_ptr<Updater> Updater::make(UpdaterConfiguration configuration, UpdaterServices services) {
    return std::shared_ptr<Updater>(new Updater(std::move(configuration), std::move(services)));
}

Updater::Updater(UpdaterConfiguration configuration, UpdaterServices services)
    : configuration_(std::move(configuration)), services_(withDefaults(std::move(services), configuration_)) {}

Updater::~Updater() {
    // A fetch in flight gives up within a moment; its result finds the updater gone.
    if (cancelled_) cancelled_->store(true);
    if (worker_.joinable()) worker_.join();
}

void Updater::startUpdater() {
    if (started_) return;
    started_ = true;
    setCanCheckForUpdates(true);
}

Updater::Observation Updater::observeCanCheckForUpdates(std::function<void()> handler, bool initial) {
    const uint64_t id = nextObservation_++;
    observers_.emplace(id, std::move(handler));
    if (initial) observers_.at(id)();
    return Observation(weak_from_this(), id);
}

void Updater::checkForUpdates() {
    if (!canCheckForUpdates_) return;
    setCanCheckForUpdates(false);
    // The previous check has posted its result already; its thread is ending, if not gone.
    if (worker_.joinable()) worker_.join();
    cancelled_ = std::make_shared<std::atomic<bool>>(false);
    worker_ = std::thread([fetcher = services_.fetcher, configuration = configuration_, post = services_.postToMain,
                           cancelled = cancelled_, self = weak_from_this()] {
        UpdateCheckResult result = evaluateUpdateFeed(fetcher->fetch(configuration.feedURL, *cancelled), configuration);
        if (cancelled->load()) return;
        post([self, result = std::move(result)] {
            if (const auto updater = self.lock()) updater->finishCheck(result);
        });
    });
}

void Updater::setCanCheckForUpdates(bool value) {
    if (canCheckForUpdates_ == value) return;
    canCheckForUpdates_ = value;
    // A handler may end its own or another observation.
    std::vector<uint64_t> ids;
    for (const auto& [id, handler] : observers_) ids.push_back(id);
    for (const uint64_t id : ids) {
        const auto found = observers_.find(id);
        if (found == observers_.end()) continue;
        const std::function<void()> handler = found->second;
        handler();
    }
}

void Updater::finishCheck(const UpdateCheckResult& result) {
    setCanCheckForUpdates(true);
    auto reply = [self = weak_from_this(), page = result.downloadPage](bool openDownloadPage) {
        const auto updater = self.lock();
        if (!updater || !openDownloadPage || page.empty()) return;
        if (!updater->services_.openURL(page)) tolvane::studio::printLine("Tolvane: Could not open " + page);
    };
    services_.userDriver->showUpdateCheckResult(result, std::move(reply));
}

StandardUpdaterController::StandardUpdaterController(bool startingUpdater, UpdaterConfiguration configuration,
                                                     UpdaterServices services)
    : updater_(Updater::make(std::move(configuration), std::move(services))) {
    if (startingUpdater) updater_->startUpdater();
}
