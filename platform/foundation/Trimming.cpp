#include "platform/foundation/Trimming.h"

#include <cstddef>
#include <cstdint>

namespace {

bool isWhiteSpace(uint32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The code point of the well-formed UTF-8 sequence of `length` bytes at `bytes`, or nothing
// (0xFFFFFFFF) when it is not one.
uint32_t decode(const unsigned char* bytes, std::size_t length) {
    const unsigned char lead = bytes[0];
    if (length == 1) return lead < 0x80 ? lead : 0xFFFFFFFF;
    const unsigned char leadMask = length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07;
    const unsigned char leadTag = length == 2 ? 0xC0 : length == 3 ? 0xE0 : 0xF0;
    if ((lead & ~leadMask) != leadTag) return 0xFFFFFFFF;
    uint32_t c = lead & leadMask;
    for (std::size_t i = 1; i < length; ++i) {
        if (!isContinuation(bytes[i])) return 0xFFFFFFFF;
        c = (c << 6) | (bytes[i] & 0x3F);
    }
    return c;
}

std::size_t sequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 0;
}

// The length of the white-space character that starts the text, or 0.
std::size_t leadingWhiteSpace(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t length = sequenceLength(bytes[0]);
    if (length == 0 || length > text.size()) return 0;
    return isWhiteSpace(decode(bytes, length)) ? length : 0;
}

// The length of the white-space character that ends the text, or 0.
std::size_t trailingWhiteSpace(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t start = text.size() - 1;
    while (start > 0 && text.size() - start < 4 && isContinuation(bytes[start])) --start;
    const std::size_t length = text.size() - start;
    if (sequenceLength(bytes[start]) != length) return 0;
    return isWhiteSpace(decode(bytes + start, length)) ? length : 0;
}

}  // namespace

std::string_view trimmedOfWhitespaceAndNewlines(std::string_view text) {
    while (!text.empty()) {
        const std::size_t length = leadingWhiteSpace(text);
        if (length == 0) break;
        text.remove_prefix(length);
    }
    while (!text.empty()) {
        const std::size_t length = trailingWhiteSpace(text);
        if (length == 0) break;
        text.remove_suffix(length);
    }
    return text;
}
