#include "studio/content/ContentLayout.h"

#include <algorithm>

namespace tolvane::studio {

namespace {

constexpr double kColumnSpacing = 8;
constexpr double kPlaySpacing = 4;
constexpr double kCrashSpacing = 2;

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return lines;
        start = end + 1;
    }
}

}  // namespace

ContentLayout layoutContent(const Rect& view, const ContentSnapshot& content, double margin, const TextMetrics& metrics) {
    ContentLayout out;
    out.view = view;
    const auto font = StudioFonts::system;
    const double size = StudioStyle::kSystemFontSize;
    const double lineHeight = metrics.lineHeight(font, size);

    // The effect area's size.
    Extent area;
    std::vector<std::string> lines;
    std::string crashTitle;
    switch (content.effectArea) {
    case ContentSnapshot::EffectArea::effectView: area = {content.effectViewWidth, content.effectViewHeight}; break;
    case ContentSnapshot::EffectArea::crashNotice:
        crashTitle = "(" + content.title + ")";
        area = {metrics.width(font, size, crashTitle) + kCrashSpacing + metrics.width(font, size, "crashed!"), lineHeight};
        break;
    case ContentSnapshot::EffectArea::message: {
        for (const std::string& paragraph : splitLines(content.message))
            for (std::string& line : wrapText(metrics, font, size, paragraph, kMessageMaximumWidth))
                lines.push_back(std::move(line));
        double widest = 0;
        for (const std::string& line : lines) widest = std::max(widest, metrics.width(font, size, line));
        area = {std::max(kMessageMinimumWidth, widest),
                std::max(kMessageMinimumHeight, lineHeight * static_cast<double>(lines.size()))};
        break;
    }
    }

    // The play section's size.
    const Extent button = StudioStyle::pushButtonSize(metrics, content.isPlaying ? "Stop" : "Play");
    const double captionWidth = metrics.width(font, size, "Audio Playback");
    const Extent play{std::max(captionWidth, button.width), lineHeight + kPlaySpacing + button.height};

    const double columnWidth = std::max(area.width, content.showAudioControls ? play.width : 0.0);
    double columnHeight = area.height + kColumnSpacing + margin;
    if (content.showAudioControls) columnHeight += play.height + kColumnSpacing;
    out.contentSize = {columnWidth + 2 * margin, columnHeight + margin};

    // The column sits centred in the view when the view is larger than it needs.
    const double top = view.y + margin + std::max(0.0, (view.height - out.contentSize.height) / 2);
    const double mid = view.midX();
    out.effectArea = Rect{mid - area.width / 2, top, area.width, area.height};

    if (content.effectArea == ContentSnapshot::EffectArea::message) {
        double y = out.effectArea.midY() - lineHeight * static_cast<double>(lines.size()) / 2;
        for (std::string& line : lines) {
            const double w = metrics.width(font, size, line);
            out.messageLines.push_back(textRun(metrics, std::move(line), font, size, StudioStyle::primaryText, mid - w / 2, y));
            y += lineHeight;
        }
    } else if (content.effectArea == ContentSnapshot::EffectArea::crashNotice) {
        const TextRun titleRun = textRun(metrics, crashTitle, font, size, StudioStyle::primaryText, out.effectArea.x, top);
        out.crashNotice.push_back(titleRun);
        out.crashNotice.push_back(textRun(metrics, "crashed!", font, size, StudioStyle::primaryText,
                                          titleRun.frame.x + titleRun.frame.width + kCrashSpacing, top));
    }

    if (content.showAudioControls) {
        const double y = out.effectArea.y + out.effectArea.height + kColumnSpacing;
        out.playCaption = textRun(metrics, "Audio Playback", font, size, StudioStyle::primaryText, mid - captionWidth / 2, y);
        out.playButton = Rect{mid - button.width / 2, y + lineHeight + kPlaySpacing, button.width, button.height};
        const std::string label = content.isPlaying ? "Stop" : "Play";
        const double w = metrics.width(font, size, label);
        out.playTitle = textRun(metrics, label, font, size, StudioStyle::primaryText, mid - w / 2,
                                out.playButton->midY() - lineHeight / 2);
    }
    return out;
}

}  // namespace tolvane::studio
