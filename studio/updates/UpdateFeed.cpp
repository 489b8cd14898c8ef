#include "studio/updates/UpdateFeed.h"

#include "platform/foundation/JSONReading.h"
#include "platform/foundation/URL.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>

namespace {

constexpr std::size_t kMaxDigits = 9;

std::optional<uint32_t> parsePart(std::string_view digits) {
    if (digits.empty() || digits.size() > kMaxDigits) return std::nullopt;
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
    uint32_t value = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return value;
}

std::strong_ordering compareOptionalBuilds(const std::optional<SoftwareVersion>& a, const std::optional<SoftwareVersion>& b) {
    if (a && b) return *a <=> *b;
    return a.has_value() <=> b.has_value();
}

std::string releaseLabel(std::size_t index) { return "release " + std::to_string(index + 1); }

std::optional<SoftwareVersion> versionMember(const nlohmann::json& release, const char* member, bool required,
                                             std::size_t index, std::string& problem) {
    const auto value = release.find(member);
    if (value == release.end()) {
        if (required) problem = releaseLabel(index) + " has no \"" + member + "\"";
        return std::nullopt;
    }
    std::optional<SoftwareVersion> version;
    if (value->is_string()) version = SoftwareVersion::fromString(value->get<std::string>());
    if (!version) problem = releaseLabel(index) + ": \"" + member + "\" is not a version like \"1.2.0\"";
    return version;
}

std::optional<FeedRelease> parseRelease(const nlohmann::json& release, std::size_t index, std::string& problem) {
    if (!release.is_object()) {
        problem = releaseLabel(index) + " is not an object";
        return std::nullopt;
    }
    std::optional<SoftwareVersion> version = versionMember(release, "version", true, index, problem);
    if (!version) return std::nullopt;
    std::optional<SoftwareVersion> build = versionMember(release, "build", false, index, problem);
    if (!problem.empty()) return std::nullopt;

    const auto page = release.find("downloadPage");
    std::optional<URL> pageURL;
    if (page != release.end() && page->is_string()) pageURL = URL::fromString(page->get<std::string>());
    if (!pageURL || !pageURL->isWeb()) {
        problem = releaseLabel(index) + ": \"downloadPage\" is not an http or https address";
        return std::nullopt;
    }
    return FeedRelease{std::move(*version), std::move(build), pageURL->absoluteString};
}

}  // namespace

std::optional<SoftwareVersion> SoftwareVersion::fromString(std::string_view text) {
    SoftwareVersion version;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = std::min(text.find('.', start), text.size());
        const std::optional<uint32_t> part = parsePart(text.substr(start, dot - start));
        if (!part || version.parts_.size() == kMaxParts) return std::nullopt;
        version.parts_.push_back(*part);
        if (dot == text.size()) break;
        start = dot + 1;
    }
    version.text_ = std::string(text);
    return version;
}

std::strong_ordering SoftwareVersion::operator<=>(const SoftwareVersion& other) const {
    const std::size_t length = std::max(parts_.size(), other.parts_.size());
    for (std::size_t i = 0; i < length; ++i) {
        const uint32_t mine = i < parts_.size() ? parts_[i] : 0;
        const uint32_t theirs = i < other.parts_.size() ? other.parts_[i] : 0;
        if (mine != theirs) return mine <=> theirs;
    }
    return std::strong_ordering::equal;
}

bool isNewer(const FeedRelease& candidate, const SoftwareVersion& version, const std::optional<SoftwareVersion>& build) {
    if (const auto order = candidate.version <=> version; order != 0) return order > 0;
    return compareOptionalBuilds(candidate.build, build) > 0;
}

std::optional<UpdateFeed> UpdateFeed::parse(std::string_view text, std::string& problem) {
    problem.clear();
    // Network input: nesting is bounded before any tree is built (its size is, by the fetcher).
    const nlohmann::json document = parseBoundedJSON<nlohmann::json>(text);
    if (document.is_discarded()) {
        problem = "it is not JSON";
        return std::nullopt;
    }
    const auto releases = document.is_object() ? document.find("releases") : document.end();
    if (!document.is_object() || releases == document.end() || !releases->is_array()) {
        problem = "it has no \"releases\" list";
        return std::nullopt;
    }
    UpdateFeed feed;
    for (std::size_t i = 0; i < releases->size(); ++i) {
        std::optional<FeedRelease> release = parseRelease((*releases)[i], i, problem);
        if (!release) return std::nullopt;
        feed.releases.push_back(std::move(*release));
    }
    return feed;
}

std::optional<FeedRelease> UpdateFeed::newestRelease() const {
    const auto newest = std::max_element(releases.begin(), releases.end(), [](const FeedRelease& a, const FeedRelease& b) {
        return isNewer(b, a.version, a.build);
    });
    if (newest == releases.end()) return std::nullopt;
    return *newest;
}
