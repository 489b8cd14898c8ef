#include "studio/ui/StudioStyle.h"

#include <algorithm>

namespace tolvane::studio {

const std::map<std::string, std::string>& StudioFonts::files() {
    static const std::map<std::string, std::string> files{
        {std::string(caption), "BebasNeue-Regular.otf"},
        {std::string(system), "DejaVuSans.ttf"},
        {std::string(systemBold), "DejaVuSans-Bold.ttf"},
    };
    return files;
}

Extent StudioStyle::pushButtonSize(const TextMetrics& metrics, std::string_view title) {
    const double width = metrics.width(StudioFonts::system, kSystemFontSize, title) + 2 * kPushButtonPadding;
    return {std::max(kPushButtonMinimumWidth, width), kPushButtonHeight};
}

TextRun textRun(const TextMetrics& metrics, std::string text, std::string_view font, double size, Rgba color, double x,
                double top) {
    const double width = metrics.width(font, size, text);
    return TextRun{Rect{x, top, width, metrics.lineHeight(font, size)}, std::move(text), font, size, color};
}

namespace {

// The byte offset where the UTF-8 character before `end` starts.
std::size_t previousCharacter(std::string_view text, std::size_t end) {
    std::size_t i = end;
    while (i > 0) {
        --i;
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) break;
    }
    return i;
}

}  // namespace

std::string truncatedText(const TextMetrics& metrics, std::string_view font, double size, std::string_view text,
                          double maxWidth) {
    if (metrics.width(font, size, text) <= maxWidth) return std::string(text);
    static constexpr std::string_view kEllipsis = "\u2026";
    std::size_t end = text.size();
    while (end > 0) {
        end = previousCharacter(text, end);
        std::string candidate = std::string(text.substr(0, end)) + std::string(kEllipsis);
        if (metrics.width(font, size, candidate) <= maxWidth) return candidate;
    }
    return std::string(kEllipsis);
}

}  // namespace tolvane::studio
