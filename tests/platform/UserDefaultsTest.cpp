#include "platform/foundation/UUID.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string fileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

using tolvane::test::ScopedEnvironment;

class UserDefaultsTest : public testing::Test {
protected:
    tolvane::test::TempFolder scratch;
    const fs::path folder = scratch.path() / "config" / "tolvane";
    UserDefaults defaults{folder, "com.example.one"};
};

TEST_F(UserDefaultsTest, KeepsEachKeyAsTextInOneJsonObjectPerDomain) {
    const std::string presets = "[{\"name\":\"Dústy \\\"Vinyl\\\"\"}]\n";
    EXPECT_EQ(defaults.dataForKey("presets"), std::nullopt);  // no file yet: no value, no error
    ASSERT_EQ(defaults.setData("presets", presets), std::nullopt);
    ASSERT_EQ(defaults.setData("other", "x"), std::nullopt);
    ASSERT_EQ(defaults.setData("presets", presets + " "), std::nullopt);  // replaces, keeps "other"

    const auto stored = nlohmann::json::parse(fileText(folder / "com.example.one.json"));
    EXPECT_EQ(stored, (nlohmann::json{{"presets", presets + " "}, {"other", "x"}}));
    EXPECT_EQ(defaults.dataForKey("presets"), presets + " ");
    EXPECT_EQ(UserDefaults(folder, "com.example.one").dataForKey("other"), "x");
    EXPECT_EQ(UserDefaults(folder, "com.example.two").dataForKey("other"), std::nullopt);
    // The folders were made private to the user.
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST_F(UserDefaultsTest, ValueWrittenByHandAsJsonReadsAsItsText) {
    fs::create_directories(folder);
    std::ofstream(folder / "com.example.one.json") << R"({"presets": [1, 2]})";
    EXPECT_EQ(defaults.dataForKey("presets"), "[1,2]");
}

TEST_F(UserDefaultsTest, ConfigurationFolderFollowsTheBaseDirectoryRules) {
    const ScopedEnvironment home("HOME", "/home/someone");
    {
        const ScopedEnvironment xdg("XDG_CONFIG_HOME", "/elsewhere/config");
        EXPECT_EQ(UserDefaults::configurationFolder(), fs::path("/elsewhere/config/tolvane"));
        EXPECT_EQ(UserDefaults::standardUserDefaults().filePath(),
                  fs::path("/elsewhere/config/tolvane/com.marlowen.tolvane.json"));
    }
    for (const char* ignored : {"", "relative/config"}) {
        const ScopedEnvironment xdg("XDG_CONFIG_HOME", ignored);
        EXPECT_EQ(UserDefaults::configurationFolder(), fs::path("/home/someone/.config/tolvane")) << ignored;
    }
    const ScopedEnvironment unset("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(UserDefaults::configurationFolder(), fs::path("/home/someone/.config/tolvane"));
}

TEST_F(UserDefaultsTest, UnreadableFileIsMovedAsideAndWhatIsLeftOfTheValueIsHandedOn) {
    ASSERT_EQ(defaults.setData("k", "v"), std::nullopt);
    const std::string damaged = "{\"k\": \"[{\\\"a\\\": 1}, {\\\"b\\u00e9\\\": 2}, {\\\"c";
    std::ofstream(defaults.filePath(), std::ios::trunc) << damaged;
    Error error;
    EXPECT_EQ(defaults.dataForKey("k", &error), std::nullopt);
    EXPECT_EQ(error.code, -1);

    testing::internal::CaptureStderr();
    UserDefaults::StoredData seen{"not called", std::nullopt};
    ASSERT_EQ(defaults.modifyDataForKey("k", [&](const UserDefaults::StoredData& stored) {
        seen = stored;
        return std::optional<std::string>("new");
    }), std::nullopt);
    const std::string log = testing::internal::GetCapturedStderr();
    // The string's characters as far as they reach, escapes decoded.
    EXPECT_EQ(seen.value, "[{\"a\": 1}, {\"b\xc3\xa9\": 2}, {\"c");
    EXPECT_EQ(defaults.dataForKey("k"), "new");

    std::vector<fs::path> aside;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().starts_with("com.example.one.unreadable-")) aside.push_back(entry.path());
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(seen.movedAside, aside[0]);
    EXPECT_EQ(fileText(aside[0]), damaged);
    EXPECT_NE(log.find(aside[0].string()), std::string::npos) << log;
}

TEST_F(UserDefaultsTest, FailedWritesAreReportedAndLeaveTheFileAsItWas) {
    ASSERT_EQ(defaults.setData("k", "v"), std::nullopt);
    const std::string before = fileText(defaults.filePath());

    const auto notText = defaults.setData("k", "\xff\xfe");
    ASSERT_TRUE(notText.has_value());
    EXPECT_EQ(notText->code, -2);

    // A folder where the temporary file must go makes the write itself fail, even for root.
    fs::create_directory(folder / ".com.example.one.json.tmp");
    const auto blocked = defaults.setData("k", "w");
    ASSERT_TRUE(blocked.has_value());
    EXPECT_EQ(blocked->domain, "NSPOSIXErrorDomain");
    EXPECT_NE(blocked->localizedDescription.find(".com.example.one.json.tmp"), std::string::npos);
    EXPECT_EQ(fileText(defaults.filePath()), before);
}

TEST_F(UserDefaultsTest, ConcurrentChangesFromThreadsAreNeverLost) {
    // Each change holds its own lock description, so threads of one process exclude each other
    // as processes do.
    constexpr int kThreads = 4;
    constexpr int kChanges = 25;
    const auto increment = [&] {
        UserDefaults mine(folder, "com.example.one");
        for (int i = 0; i < kChanges; ++i)
            ASSERT_EQ(mine.modifyDataForKey("count", [](const UserDefaults::StoredData& stored) {
                const auto& current = stored.value;
                return std::optional<std::string>(std::to_string(current ? std::stoi(*current) + 1 : 1));
            }), std::nullopt);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(increment);
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(defaults.dataForKey("count"), std::to_string(kThreads * kChanges));
}

TEST(UUIDTest, NewIdentifiersAreRandomVersion4InUpperCase) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const std::string id = newUUIDString();
        ASSERT_EQ(id.size(), 36u);
        ASSERT_EQ(canonicalUUIDString(id), id) << id;  // well-formed and already canonical
        EXPECT_EQ(id[14], '4') << id;
        EXPECT_NE(std::string("89AB").find(id[19]), std::string::npos) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(UUIDTest, TextIsReadInEitherCaseAndOnlyInTheHyphenatedForm) {
    EXPECT_EQ(canonicalUUIDString("0f8fad5b-d9cb-469f-a165-70867728950e"), "0F8FAD5B-D9CB-469F-A165-70867728950E");
    for (const char* bad : {"0F8FAD5B-D9CB-469F-A165-70867728950", "0F8FAD5BD-9CB-469F-A165-70867728950E",
                            "0F8FAD5B-D9CB-469F-A165-70867728950G", "{F8FAD5B-D9CB-469F-A165-70867728950}"})
        EXPECT_EQ(canonicalUUIDString(bad), std::nullopt) << bad;
}

}  // namespace
