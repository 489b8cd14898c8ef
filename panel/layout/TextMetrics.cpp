#include "panel/layout/TextMetrics.h"

#include "panel/model/Text.h"

#include <cstdint>

namespace {

// UTF-8 characters in a text (continuation bytes do not count).
std::size_t characterCount(std::string_view text) {
    std::size_t n = 0;
    for (char c : text) n += (static_cast<uint8_t>(c) & 0xC0) != 0x80 ? 1 : 0;
    return n;
}

}  // namespace

double EstimatedTextMetrics::width(std::string_view font, double size, std::string_view text) const {
    // Mean advances of the bundle's faces, as a share of the size.
    const double advance = font == PanelFonts::caption ? 0.4 : font == PanelFonts::system ? 0.6 : 0.8;
    return advance * size * static_cast<double>(characterCount(text));
}

double EstimatedTextMetrics::lineHeight(std::string_view font, double size) const {
    return (font == PanelFonts::caption ? 1.2 : 1.17) * size;
}

std::vector<std::string> wrapText(const TextMetrics& metrics, std::string_view font, double size, std::string_view text,
                                  double maxWidth) {
    std::vector<std::string> lines;
    std::string line;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view word = text.substr(start, end - start);
        std::string candidate = line.empty() ? std::string(word) : line + " " + std::string(word);
        if (!line.empty() && metrics.width(font, size, candidate) > maxWidth) {
            lines.push_back(line);
            candidate = std::string(word);
        }
        line = std::move(candidate);
        start = end + 1;
    }
    if (!line.empty() || lines.empty()) lines.push_back(line);
    return lines;
}

std::string truncatedText(const TextMetrics& metrics, std::string_view font, double size, std::string_view text,
                          double maxWidth) {
    if (metrics.width(font, size, text) <= maxWidth) return std::string(text);
    static constexpr std::string_view kEllipsis = "\u2026";
    std::string fitted;
    for (const std::string& character : userPerceivedCharacters(text)) {
        std::string candidate = fitted + character;
        if (metrics.width(font, size, candidate + std::string(kEllipsis)) > maxWidth) break;
        fitted = std::move(candidate);
    }
    return fitted + std::string(kEllipsis);
}
