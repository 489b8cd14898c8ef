#include "studio/ui/Alert.h"

#include <algorithm>

namespace tolvane::studio {

namespace {

constexpr double kBoxWidth = 380;
constexpr double kPadding = 20;
constexpr double kTitleSpacing = 10;
constexpr double kButtonSpacing = 10;
constexpr double kButtonsTopSpacing = 20;
constexpr double kMessageFontSize = 12;

}  // namespace

AlertLayout layoutAlert(const Rect& area, const Alert& alert, const TextMetrics& metrics) {
    AlertLayout out;
    out.cover = area;
    const double width = std::min(kBoxWidth, area.width - 2 * kPadding);
    const double inner = width - 2 * kPadding;
    const auto lines = wrapText(metrics, StudioFonts::system, kMessageFontSize, alert.message, inner);
    const double titleHeight = metrics.lineHeight(StudioFonts::systemBold, StudioStyle::kSystemFontSize);
    const double lineHeight = metrics.lineHeight(StudioFonts::system, kMessageFontSize);
    const double height = kPadding + titleHeight + kTitleSpacing + lineHeight * static_cast<double>(lines.size()) +
                          kButtonsTopSpacing + StudioStyle::kPushButtonHeight + kPadding;
    out.box = centredRect(area.midX(), area.midY(), width, height);

    const double left = out.box.x + kPadding;
    double y = out.box.y + kPadding;
    out.title = textRun(metrics, alert.title, StudioFonts::systemBold, StudioStyle::kSystemFontSize,
                        StudioStyle::primaryText, left, y);
    y += titleHeight + kTitleSpacing;
    for (const std::string& line : lines) {
        out.messageLines.push_back(textRun(metrics, line, StudioFonts::system, kMessageFontSize, StudioStyle::primaryText, left, y));
        y += lineHeight;
    }
    y += kButtonsTopSpacing;

    // Buttons run from the right edge leftwards, the default (last) one rightmost.
    double right = out.box.x + out.box.width - kPadding;
    const double textHeight = metrics.lineHeight(StudioFonts::system, StudioStyle::kSystemFontSize);
    for (std::size_t i = alert.buttons.size(); i-- > 0;) {
        const Extent size = StudioStyle::pushButtonSize(metrics, alert.buttons[i].title);
        const Rect frame{right - size.width, y, size.width, size.height};
        const double w = metrics.width(StudioFonts::system, StudioStyle::kSystemFontSize, alert.buttons[i].title);
        out.buttons.push_back({frame,
                               textRun(metrics, alert.buttons[i].title, StudioFonts::system, StudioStyle::kSystemFontSize,
                                       StudioStyle::primaryText, frame.midX() - w / 2, frame.midY() - textHeight / 2),
                               i + 1 == alert.buttons.size()});
        right = frame.x - kButtonSpacing;
    }
    return out;
}

std::optional<std::size_t> alertButtonAt(const AlertLayout& layout, double x, double y) {
    const std::size_t count = layout.buttons.size();
    for (std::size_t k = 0; k < count; ++k) {
        if (layout.buttons[k].frame.contains(x, y)) return count - 1 - k;
    }
    return std::nullopt;
}

}  // namespace tolvane::studio
