#pragma once

#include "panel/layout/PanelLayout.h"
#include "panel/layout/TextMetrics.h"
#include "studio/ui/Rgba.h"

#include <map>
#include <string>
#include <string_view>

namespace tolvane::studio {

// The studio's faces, by the names its views use, and the files its bundle carries for them.
namespace StudioFonts {
inline constexpr std::string_view caption = PanelFonts::caption;  // the panel's caption face
inline constexpr std::string_view system = PanelFonts::system;
inline constexpr std::string_view systemBold = "SystemFontBold";
const std::map<std::string, std::string>& files();
}  // namespace StudioFonts

// The look of the window around the effect: a dark appearance that sits well beside the panel.
namespace StudioStyle {
inline constexpr double kSystemFontSize = 13;
inline constexpr Rgba windowBackground = Rgba::grey(0.125);
inline constexpr Rgba primaryText = Rgba::grey(0.9);
inline constexpr Rgba secondaryText = Rgba::grey(0.55);
inline constexpr Rgba disabledText = Rgba::grey(0.4);
inline constexpr Rgba selectionBackground{0.16, 0.42, 0.86, 1};

// A push button: its title in the system font on a rounded bezel.
inline constexpr double kPushButtonHeight = 24;
inline constexpr double kPushButtonPadding = 14;
inline constexpr double kPushButtonMinimumWidth = 64;
Extent pushButtonSize(const TextMetrics& metrics, std::string_view title);
}  // namespace StudioStyle

// One line of text with the top of its line box at the frame's top, in its face, size and colour.
struct TextRun {
    Rect frame;
    std::string text;
    std::string_view font;
    double size = 0;
    Rgba color;
};

// A run of `text` in that face with its line box's top-left corner at (x, top).
TextRun textRun(const TextMetrics& metrics, std::string text, std::string_view font, double size, Rgba color, double x,
                double top);

}  // namespace tolvane::studio
