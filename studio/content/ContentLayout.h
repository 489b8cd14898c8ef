#pragma once

#include "panel/layout/PanelLayout.h"
#include "panel/layout/TextMetrics.h"
#include "studio/ui/StudioStyle.h"

#include <optional>
#include <string>
#include <vector>

namespace tolvane::studio {

// What the window's content shows, read from the host model on each update.
struct ContentSnapshot {
    enum class EffectArea { message, effectView, crashNotice };
    EffectArea effectArea = EffectArea::message;
    std::string title;    // the loaded component ("aufx vnyl MrLw"), for the crash notice
    std::string message;  // the outcome of the last load attempt
    double effectViewWidth = 0;  // the effect's own view
    double effectViewHeight = 0;
    bool showAudioControls = false;
    bool isPlaying = false;
    bool operator==(const ContentSnapshot&) const = default;
};

// Where the content's parts sit in a view: a column centred horizontally, spacing 8, inset by the
// margin on the left, right and top, with a space of the margin's height below it.
struct ContentLayout {
    Rect view;
    Rect effectArea;                   // the message's frame, the effect view's frame, or the crash row
    std::vector<TextRun> messageLines;  // the message, each line centred
    std::vector<TextRun> crashNotice;   // "(title)" and "crashed!"
    std::optional<TextRun> playCaption; // "Audio Playback"
    std::optional<Rect> playButton;
    std::optional<TextRun> playTitle;   // "Play" or "Stop"
    Extent contentSize;                 // what the column needs with its margins
};

inline constexpr double kMessageMinimumWidth = 400;
inline constexpr double kMessageMinimumHeight = 200;
// Longer message lines wrap between words, so that an error text keeps the window the panel's width.
inline constexpr double kMessageMaximumWidth = 640;

ContentLayout layoutContent(const Rect& view, const ContentSnapshot& content, double margin, const TextMetrics& metrics);

}  // namespace tolvane::studio
