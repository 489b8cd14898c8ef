#include "platform/foundation/URL.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace {

std::string lowerCase(std::string_view text) {
    std::string lowered(text);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lowered;
}

bool isSchemeCharacter(unsigned char c, bool first) {
    if (std::isalpha(c)) return true;
    return !first && (std::isdigit(c) || c == '+' || c == '-' || c == '.');
}

// White space and control characters never belong in a URL; their presence means the text is
// something else (or an attempt to smuggle a second argument or header).
bool hasForbiddenCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](unsigned char c) { return c <= 0x20 || c == 0x7f; });
}

bool parsePort(std::string_view digits, unsigned& port) {
    if (digits.empty() || digits.size() > 5) return false;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    return error == std::errc{} && end == digits.data() + digits.size() && port <= 65535;
}

// Splits "host[:port]" (the authority without user information) into its parts.
bool splitHostAndPort(std::string_view hostPort, std::string& host, std::optional<unsigned>& port) {
    std::string_view hostPart = hostPort;
    std::string_view portPart;
    bool hasPort = false;
    if (hostPort.starts_with('[')) {
        const std::size_t close = hostPort.find(']');
        if (close == std::string_view::npos) return false;
        hostPart = hostPort.substr(0, close + 1);
        const std::string_view rest = hostPort.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') return false;
            portPart = rest.substr(1);
            hasPort = true;
        }
    } else if (const std::size_t colon = hostPort.rfind(':'); colon != std::string_view::npos) {
        hostPart = hostPort.substr(0, colon);
        portPart = hostPort.substr(colon + 1);
        hasPort = true;
    }
    if (hostPart.empty() || hostPart == "[]") return false;
    if (hasPort) {
        unsigned value = 0;
        if (!parsePort(portPart, value)) return false;
        port = value;
    }
    host = lowerCase(hostPart);
    return true;
}

bool isLoopbackIPv4(std::string_view host) {
    if (!host.starts_with("127.")) return false;
    int parts = 0;
    for (std::size_t start = 0; start <= host.size();) {
        const std::size_t dot = std::min(host.find('.', start), host.size());
        unsigned value = 0;
        const std::string_view part = host.substr(start, dot - start);
        const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (part.empty() || error != std::errc{} || end != part.data() + part.size() || value > 255) return false;
        ++parts;
        start = dot + 1;
    }
    return parts == 4;
}

}  // namespace

std::optional<URL> URL::fromString(std::string_view text) {
    if (text.empty() || hasForbiddenCharacter(text)) return std::nullopt;
    const std::size_t colon = text.find(':');
    if (colon == 0 || colon == std::string_view::npos) return std::nullopt;
    for (std::size_t i = 0; i < colon; ++i) {
        if (!isSchemeCharacter(static_cast<unsigned char>(text[i]), i == 0)) return std::nullopt;
    }
    if (text.substr(colon + 1, 2) != "//") return std::nullopt;
    const std::size_t authorityStart = colon + 3;
    const std::size_t authorityEnd = std::min(text.find_first_of("/?#", authorityStart), text.size());
    std::string_view authority = text.substr(authorityStart, authorityEnd - authorityStart);
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);

    URL url;
    if (!splitHostAndPort(authority, url.host, url.port)) return std::nullopt;
    url.absoluteString = std::string(text);
    url.scheme = lowerCase(text.substr(0, colon));
    return url;
}

bool URL::isLoopback() const {
    return host == "localhost" || host == "[::1]" || isLoopbackIPv4(host);
}
