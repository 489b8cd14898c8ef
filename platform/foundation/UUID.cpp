#include "platform/foundation/UUID.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <sys/random.h>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool isHyphenPosition(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

std::array<uint8_t, 16> randomBytes() {
    std::array<uint8_t, 16> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t n = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("getrandom failed");
        }
        filled += static_cast<std::size_t>(n);
    }
    return bytes;
}

}  // namespace

std::string newUUIDString() {
    auto bytes = randomBytes();
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4: random
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // the RFC 4122 variant
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += kHexDigits[bytes[i] >> 4];
        text += kHexDigits[bytes[i] & 0x0F];
    }
    return text;
}

std::optional<std::string> canonicalUUIDString(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    std::string canonical(text);
    for (std::size_t i = 0; i < canonical.size(); ++i) {
        char& c = canonical[i];
        if (isHyphenPosition(i)) {
            if (c != '-') return std::nullopt;
        } else if (c >= 'a' && c <= 'f') {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return std::nullopt;
        }
    }
    return canonical;
}
