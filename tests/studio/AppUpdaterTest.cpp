#include "studio/AppUpdater.h"

#include "tests/studio/LoopbackFeedServer.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using tolvane::test::LoopbackFeedServer;

namespace {

// The test's main loop: work posted from any thread runs on the test's thread inside runUntil.
class TestMainLoop {
public:
    MainThreadPoster poster() {
        return [this](std::function<void()> work) {
            std::lock_guard lock(mutex_);
            work_.push_back(std::move(work));
            posted_.notify_all();
        };
    }

    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            std::function<void()> work;
            {
                std::unique_lock lock(mutex_);
                if (!posted_.wait_until(lock, deadline, [this] { return !work_.empty(); })) return false;
                work = std::move(work_.front());
                work_.pop_front();
            }
            work();
        }
        return true;
    }

    std::size_t pending() {
        std::lock_guard lock(mutex_);
        return work_.size();
    }

private:
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<std::function<void()>> work_;
};

class RecordingDriver final : public UpdateUserDriver {
public:
    void showUpdateCheckResult(const UpdateCheckResult& result, std::function<void(bool)> reply) override {
        results.push_back(result);
        shownOn.push_back(std::this_thread::get_id());
        if (result.kind == UpdateCheckResult::Kind::updateAvailable) reply(acceptDownload);
    }
    bool acceptDownload = true;
    std::vector<UpdateCheckResult> results;
    std::vector<std::thread::id> shownOn;
};

std::string feedWith(const std::string& version, const std::string& build = "") {
    return R"({"releases": [{"version": "0.9.0", "downloadPage": "https://tolvane.example/old"},
                           {"version": ")" + version + "\"" + (build.empty() ? "" : R"(, "build": ")" + build + "\"") +
           R"(, "downloadPage": "https://tolvane.example/download", "notes": "ignored"}]})";
}

class AppUpdaterTest : public testing::Test {
protected:
    Bundle bundleWith(const std::string& infoJSON) {
        scratch.write("Info.json", infoJSON);
        return Bundle(scratch.path());
    }

    Bundle configuredBundle(const std::string& feedPath, const std::string& version = "1.2.0", const std::string& build = "12") {
        return bundleWith(R"({"CFBundleShortVersionString": ")" + version + R"(", "CFBundleVersion": ")" + build +
                          R"(", "SUFeedURL": " )" + server.url(feedPath) + R"(\n", "SUPublicEDKey": "a2V5"})");
    }

    UpdaterServices services() {
        return {loop.poster(), nullptr, [this](const std::string& url) {
                    opened.push_back(url);
                    return true;
                },
                driver};
    }

    // Runs one check through the menu command and returns what the user was shown.
    UpdateCheckResult checkOnce(AppUpdater& updater) {
        const CheckForUpdatesCommand command{updater};
        EXPECT_FALSE(command.isDisabled());
        const std::size_t before = driver->results.size();
        command.action();
        EXPECT_TRUE(command.isDisabled());  // at once, while the check runs
        EXPECT_TRUE(loop.runUntil([&] { return driver->results.size() > before; }));
        EXPECT_FALSE(command.isDisabled());
        return driver->results.empty() ? UpdateCheckResult{} : driver->results.back();
    }

    tolvane::test::TempFolder scratch;
    LoopbackFeedServer server;
    TestMainLoop loop;
    std::shared_ptr<RecordingDriver> driver = std::make_shared<RecordingDriver>();
    std::vector<std::string> opened;
};

TEST_F(AppUpdaterTest, ConfiguredOnlyWithAFeedAndARealKey) {
    const auto configured = [&](const std::string& info) { return AppUpdater::isConfigured(bundleWith(info)); };
    EXPECT_TRUE(configured(R"({"SUFeedURL": "https://tolvane.example/feed.json", "SUPublicEDKey": "a2V5"})"));
    // The address is not judged here; a check reports a bad one.
    EXPECT_TRUE(configured(R"({"SUFeedURL": "not a url", "SUPublicEDKey": "a2V5"})"));

    EXPECT_FALSE(configured(R"({"SUPublicEDKey": "a2V5"})"));
    EXPECT_FALSE(configured(R"({"SUFeedURL": 42, "SUPublicEDKey": "a2V5"})"));
    EXPECT_FALSE(configured(R"({"SUFeedURL": " \n\t\u00a0", "SUPublicEDKey": "a2V5"})"));
    EXPECT_FALSE(configured(R"({"SUFeedURL": "https://tolvane.example/feed.json"})"));
    EXPECT_FALSE(configured(R"({"SUFeedURL": "https://tolvane.example/feed.json", "SUPublicEDKey": ["a2V5"]})"));
    EXPECT_FALSE(configured(R"({"SUFeedURL": "https://tolvane.example/feed.json", "SUPublicEDKey": "\u2003\r\n"})"));
    EXPECT_FALSE(configured(R"({"SUFeedURL": "https://tolvane.example/feed.json", "SUPublicEDKey": "YOUR_SPARKLE_PUBLIC_ED25519_KEY"})"));
    EXPECT_FALSE(configured(R"({"SUFeedURL": "https://tolvane.example/feed.json", "SUPublicEDKey": " YOUR_SPARKLE_PUBLIC_ED25519_KEY\n"})"));
    EXPECT_FALSE(configured("not json"));
    EXPECT_FALSE(AppUpdater::isConfigured(Bundle(scratch.path() / "missing")));
}

TEST_F(AppUpdaterTest, UnconfiguredTheCommandStaysDisabledAndDoesNothing) {
    for (const char* info : {R"({"CFBundleShortVersionString": "1.2.0"})",
                             R"({"SUFeedURL": "", "SUPublicEDKey": "a2V5"})",
                             R"({"SUFeedURL": "https://tolvane.example/f", "SUPublicEDKey": "YOUR_SPARKLE_PUBLIC_ED25519_KEY"})"}) {
        AppUpdater updater(bundleWith(info), services());
        const CheckForUpdatesCommand command{updater};
        EXPECT_EQ(updater.updaterController(), nullptr) << info;
        EXPECT_FALSE(updater.canCheckForUpdates());
        EXPECT_TRUE(command.isDisabled());
        command.action();
        EXPECT_EQ(loop.pending(), 0u);
    }
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(driver->results.empty());
    // The menu item's title, with its one-character ellipsis.
    EXPECT_EQ(CheckForUpdatesCommand::kTitle, "Check for Updates\xE2\x80\xA6");
}

TEST_F(AppUpdaterTest, ComparesTheNewestReleaseWithTheRunningVersion) {
    server.set("/newer.json", {200, feedWith("1.10.0", "3")});
    server.set("/same.json", {200, feedWith("1.2.0", "12")});
    server.set("/older.json", {200, feedWith("1.1.9", "99")});
    server.set("/newer-build.json", {200, feedWith("1.2", "13")});

    {
        AppUpdater updater(configuredBundle("/newer.json"), services());
        ASSERT_NE(updater.updaterController(), nullptr);
        EXPECT_TRUE(updater.canCheckForUpdates());  // ready as soon as it exists
        std::vector<bool> changes;
        std::vector<std::thread::id> changedOn;
        updater.setChangeHandler([&] {
            changes.push_back(updater.canCheckForUpdates());
            changedOn.push_back(std::this_thread::get_id());
        });
        const UpdateCheckResult result = checkOnce(updater);
        EXPECT_EQ(result.kind, UpdateCheckResult::Kind::updateAvailable);
        EXPECT_EQ(result.newestVersion, "1.10.0 (3)");  // 1.10 is newer than 1.2: numbers, not text
        EXPECT_EQ(result.title, "Tolvane 1.10.0 (3) is available");
        EXPECT_EQ(result.message, "You have Tolvane 1.2.0 (12). Open the download page?");
        EXPECT_EQ(opened, std::vector<std::string>{"https://tolvane.example/download"});
        // Both changes, and the result, reached the main loop's thread, never the fetch's.
        EXPECT_EQ(changes, (std::vector<bool>{false, true}));
        EXPECT_EQ(changedOn, std::vector<std::thread::id>(2, std::this_thread::get_id()));
        EXPECT_EQ(driver->shownOn.back(), std::this_thread::get_id());

        // Declining leaves the page closed.
        driver->acceptDownload = false;
        EXPECT_EQ(checkOnce(updater).kind, UpdateCheckResult::Kind::updateAvailable);
        EXPECT_EQ(opened.size(), 1u);
    }
    {
        AppUpdater updater(configuredBundle("/same.json"), services());
        const UpdateCheckResult result = checkOnce(updater);
        EXPECT_EQ(result.kind, UpdateCheckResult::Kind::upToDate);
        EXPECT_EQ(result.message, "Tolvane 1.2.0 (12) is the newest version.");
    }
    {
        AppUpdater updater(configuredBundle("/older.json"), services());
        EXPECT_EQ(checkOnce(updater).kind, UpdateCheckResult::Kind::upToDate);
    }
    {
        driver->acceptDownload = true;
        AppUpdater updater(configuredBundle("/newer-build.json"), services());
        EXPECT_EQ(checkOnce(updater).kind, UpdateCheckResult::Kind::updateAvailable);
    }
    EXPECT_EQ(opened.size(), 2u);
    EXPECT_EQ(server.requests(), (std::vector<std::string>{"/newer.json", "/newer.json", "/same.json", "/older.json",
                                                           "/newer-build.json"}));
}

TEST_F(AppUpdaterTest, BadFeedsAndFailedFetchesGiveAClearMessage) {
    const std::pair<const char*, const char*> feeds[] = {
        {"not json at all", "The update feed is not valid: it is not JSON."},
        {"[]", "The update feed is not valid: it has no \"releases\" list."},
        {R"({"releases": {}})", "The update feed is not valid: it has no \"releases\" list."},
        {R"({"releases": [{"version": "1.3", "downloadPage": "https://x.example/"}, 7]})",
         "The update feed is not valid: release 2 is not an object."},
        {R"({"releases": [{"downloadPage": "https://x.example/"}]})", "The update feed is not valid: release 1 has no \"version\"."},
        {R"({"releases": [{"version": "1.x", "downloadPage": "https://x.example/"}]})",
         "The update feed is not valid: release 1: \"version\" is not a version like \"1.2.0\"."},
        {R"({"releases": [{"version": "2.0", "build": 5, "downloadPage": "https://x.example/"}]})",
         "The update feed is not valid: release 1: \"build\" is not a version like \"1.2.0\"."},
        {R"({"releases": [{"version": "2.0", "downloadPage": "file:///etc/passwd"}]})",
         "The update feed is not valid: release 1: \"downloadPage\" is not an http or https address."},
    };
    for (const auto& [body, message] : feeds) {
        server.set("/feed.json", {200, body});
        AppUpdater updater(configuredBundle("/feed.json"), services());
        const UpdateCheckResult result = checkOnce(updater);
        EXPECT_EQ(result.kind, UpdateCheckResult::Kind::failed) << body;
        EXPECT_EQ(result.title, "Update check failed");
        EXPECT_EQ(result.message, message);
    }

    AppUpdater missing(configuredBundle("/no-such-feed.json"), services());
    EXPECT_EQ(checkOnce(missing).message, "The update feed could not be fetched: the server answered HTTP 404.");

    // Plain HTTP is only for a feed on this machine; nothing is sent anywhere else.
    AppUpdater insecure(bundleWith(R"({"CFBundleShortVersionString": "1.2.0", "SUFeedURL": "http://tolvane.example/feed.json",
                                      "SUPublicEDKey": "a2V5"})"),
                        services());
    EXPECT_EQ(checkOnce(insecure).message, "The update feed could not be fetched: the feed address must be an https address.");

    server.set("/feed.json", {200, feedWith("2.0")});
    AppUpdater unversioned(bundleWith(R"({"SUFeedURL": ")" + server.url("/feed.json") + R"(", "SUPublicEDKey": "a2V5"})"),
                           services());
    EXPECT_EQ(checkOnce(unversioned).kind, UpdateCheckResult::Kind::failed);
    EXPECT_TRUE(opened.empty());
}

TEST_F(AppUpdaterTest, OneCheckAtATimeAndNoResultAfterTheUpdaterIsGone) {
    server.set("/slow.json", {200, feedWith("9.0"), 400ms});
    {
        AppUpdater updater(configuredBundle("/slow.json"), services());
        const CheckForUpdatesCommand command{updater};
        command.action();
        command.action();  // disabled while the first runs: ignored
        ASSERT_TRUE(loop.runUntil([&] { return !driver->results.empty(); }));
        EXPECT_EQ(driver->results.size(), 1u);
    }
    EXPECT_EQ(server.requests().size(), 1u);

    server.set("/hanging.json", {200, feedWith("9.0"), 60s});
    const auto started = std::chrono::steady_clock::now();
    {
        AppUpdater updater(configuredBundle("/hanging.json"), services());
        CheckForUpdatesCommand{updater}.action();
        while (server.requests().size() < 2) std::this_thread::sleep_for(1ms);
    }  // destroyed mid-fetch: the fetch is cancelled rather than waited out
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
    EXPECT_EQ(loop.pending(), 0u);  // the cancelled fetch posts nothing
    EXPECT_EQ(driver->results.size(), 1u);
}

}  // namespace
