#include "studio/ui/Menu.h"

#include <algorithm>

namespace tolvane::studio {

namespace {

constexpr double kTitlePadding = 10;
constexpr double kMenuFontSize = 13;
constexpr double kRowHeight = 22;
constexpr double kRowPadding = 14;
constexpr double kShortcutGap = 36;
constexpr double kMenuInset = 5;
constexpr double kSeparatorHeight = 11;
constexpr double kMenuMinimumWidth = 180;

}  // namespace

MenuBarLayout layoutMenuBar(double width, std::string_view title, const TextMetrics& metrics) {
    MenuBarLayout out;
    out.bar = Rect{0, 0, width, kMenuBarHeight};
    const double w = metrics.width(StudioFonts::systemBold, kMenuFontSize, title);
    const double h = metrics.lineHeight(StudioFonts::systemBold, kMenuFontSize);
    out.titleFrame = Rect{0, 0, w + 2 * kTitlePadding, kMenuBarHeight};
    out.title = textRun(metrics, std::string(title), StudioFonts::systemBold, kMenuFontSize, StudioStyle::primaryText,
                        kTitlePadding, (kMenuBarHeight - h) / 2);
    return out;
}

MenuLayout layoutMenu(double x, double y, const std::vector<MenuItem>& items, const TextMetrics& metrics) {
    const auto font = StudioFonts::system;
    double titleWidth = 0, shortcutWidth = 0;
    for (const MenuItem& item : items) {
        titleWidth = std::max(titleWidth, metrics.width(font, kMenuFontSize, item.title));
        if (!item.shortcut.empty()) shortcutWidth = std::max(shortcutWidth, metrics.width(font, kMenuFontSize, item.shortcut));
    }
    const double width = std::max(kMenuMinimumWidth, 2 * kRowPadding + titleWidth +
                                                         (shortcutWidth > 0 ? kShortcutGap + shortcutWidth : 0));
    const double lineHeight = metrics.lineHeight(font, kMenuFontSize);
    MenuLayout out;
    double rowTop = y + kMenuInset;
    for (const MenuItem& item : items) {
        if (item.separatorBefore) {
            out.separators.push_back(Rect{x + kMenuInset, rowTop + kSeparatorHeight / 2, width - 2 * kMenuInset, 1});
            rowTop += kSeparatorHeight;
        }
        MenuRowLayout row;
        row.frame = Rect{x + kMenuInset, rowTop, width - 2 * kMenuInset, kRowHeight};
        const double textTop = rowTop + (kRowHeight - lineHeight) / 2;
        const Rgba color = item.enabled ? StudioStyle::primaryText : StudioStyle::disabledText;
        row.title = textRun(metrics, item.title, font, kMenuFontSize, color, x + kRowPadding, textTop);
        if (!item.shortcut.empty()) {
            const double w = metrics.width(font, kMenuFontSize, item.shortcut);
            row.shortcut = textRun(metrics, item.shortcut, font, kMenuFontSize,
                                   item.enabled ? StudioStyle::secondaryText : StudioStyle::disabledText,
                                   x + width - kRowPadding - w, textTop);
        }
        row.enabled = item.enabled;
        out.rows.push_back(std::move(row));
        rowTop += kRowHeight;
    }
    out.frame = Rect{x, y, width, rowTop + kMenuInset - y};
    return out;
}

std::optional<std::size_t> enabledMenuRowAt(const MenuLayout& layout, double x, double y) {
    for (std::size_t i = 0; i < layout.rows.size(); ++i) {
        if (layout.rows[i].enabled && layout.rows[i].frame.contains(x, y)) return i;
    }
    return std::nullopt;
}

}  // namespace tolvane::studio
