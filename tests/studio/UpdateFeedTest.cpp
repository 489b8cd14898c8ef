#include "studio/updates/UpdateFeed.h"

#include <gtest/gtest.h>

namespace {

SoftwareVersion version(const char* text) {
    const std::optional<SoftwareVersion> parsed = SoftwareVersion::fromString(text);
    EXPECT_TRUE(parsed) << text;
    return parsed.value_or(*SoftwareVersion::fromString("0"));
}

TEST(SoftwareVersionTest, OrdersNumericallyPartByPart) {
    // Each version is older than the next.
    const char* const ascending[] = {"0", "0.0.1", "0.9", "0.10", "1", "1.0.0.1", "1.2.9", "1.10", "2", "999999999"};
    for (std::size_t i = 0; i + 1 < std::size(ascending); ++i) {
        EXPECT_LT(version(ascending[i]), version(ascending[i + 1])) << ascending[i] << " < " << ascending[i + 1];
        EXPECT_GT(version(ascending[i + 1]), version(ascending[i]));
    }
    EXPECT_EQ(version("1.0"), version("1.0.0.0"));
    EXPECT_EQ(version("01.2"), version("1.2"));
    EXPECT_EQ(version("1.2").text(), "1.2");

    for (const char* bad : {"", ".", "1.", ".1", "1..2", "v1.2", "1.2-beta", "1.2 ", " 1.2", "1,2", "1.2.3.4.5",
                            "1234567890", "-1", "+1", "1e3"}) {
        EXPECT_FALSE(SoftwareVersion::fromString(bad)) << bad;
    }
}

TEST(UpdateFeedTest, FindsTheNewestReleaseByVersionThenBuild) {
    std::string problem;
    const auto feed = UpdateFeed::parse(R"({"releases": [
        {"version": "1.4", "build": "40", "downloadPage": "https://x.example/1.4-40"},
        {"version": "1.4", "build": "41", "downloadPage": "https://x.example/1.4-41"},
        {"version": "1.4", "downloadPage": "https://x.example/1.4"},
        {"version": "1.3.9", "build": "99", "downloadPage": "https://x.example/1.3.9"}]})", problem);
    ASSERT_TRUE(feed) << problem;
    ASSERT_EQ(feed->releases.size(), 4u);
    EXPECT_EQ(feed->newestRelease()->downloadPage, "https://x.example/1.4-41");

    // A release without a build is the earliest build of its version.
    const FeedRelease unbuilt{version("1.4"), std::nullopt, "https://x.example/"};
    EXPECT_FALSE(isNewer(unbuilt, version("1.4"), version("1")));
    EXPECT_FALSE(isNewer(unbuilt, version("1.4"), std::nullopt));
    EXPECT_TRUE(isNewer(unbuilt, version("1.3.99"), version("500")));
    EXPECT_TRUE(isNewer(FeedRelease{version("1.4"), version("2"), ""}, version("1.4"), std::nullopt));

    const auto empty = UpdateFeed::parse(R"({"releases": [], "title": "Tolvane"})", problem);
    ASSERT_TRUE(empty);
    EXPECT_FALSE(empty->newestRelease());
}

}  // namespace
