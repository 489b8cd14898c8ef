#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A release number of dotted decimal parts ("1.4", "2.0.13"). Missing parts count as 0, so
// "1.0" and "1.0.0" are the same version.
class SoftwareVersion {
public:
    static constexpr std::size_t kMaxParts = 4;

    // Nothing unless the text is 1 to 4 parts of 1 to 9 digits each, joined by single dots.
    static std::optional<SoftwareVersion> fromString(std::string_view text);

    std::strong_ordering operator<=>(const SoftwareVersion& other) const;
    bool operator==(const SoftwareVersion& other) const { return (*this <=> other) == 0; }

    const std::string& text() const { return text_; }

private:
    std::vector<uint32_t> parts_;
    std::string text_;
};

// One release in the update feed.
struct FeedRelease {
    SoftwareVersion version;
    std::optional<SoftwareVersion> build;
    std::string downloadPage;
};

// Orders releases by version, then by build (a release without a build number is the earliest
// build of its version).
bool isNewer(const FeedRelease& candidate, const SoftwareVersion& version, const std::optional<SoftwareVersion>& build);

// The studio's update feed: a JSON object with a list of releases, newest anywhere in the list.
//
//   { "releases": [ { "version": "1.2.0", "build": "14",
//                     "downloadPage": "https://tolvane.example/download" } ] }
//
// "version" (dotted decimal text) and "downloadPage" (an http or https URL) are required, "build"
// (dotted decimal text) is optional; other members are ignored, so the format can grow.
struct UpdateFeed {
    std::vector<FeedRelease> releases;

    // The feed read from `text`, or nothing with `problem` saying what is wrong, naming the
    // release by its position (from 1) and the member.
    static std::optional<UpdateFeed> parse(std::string_view text, std::string& problem);

    // The newest release; nothing for an empty feed.
    std::optional<FeedRelease> newestRelease() const;
};
