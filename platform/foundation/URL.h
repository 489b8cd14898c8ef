#pragma once

#include <optional>
#include <string>
#include <string_view>

// An absolute URL with an authority ("scheme://host[:port]/..."), as links and feeds use them.
// Only what callers read is split out; the text itself is kept as given.
struct URL {
    std::string absoluteString;
    std::string scheme;  // lower case
    std::string host;    // lower case; an IPv6 literal keeps its brackets
    std::optional<unsigned> port;

    // Nothing for text that is not such a URL: no scheme, no "//", an empty host, white space or
    // control characters anywhere, or a port that is not a number up to 65535.
    static std::optional<URL> fromString(std::string_view text);

    bool isWeb() const { return scheme == "http" || scheme == "https"; }
    // Whether the host names this machine (localhost, 127.0.0.0/8 or ::1).
    bool isLoopback() const;
};
