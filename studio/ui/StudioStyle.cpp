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

}  // namespace tolvane::studio
