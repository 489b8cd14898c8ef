#pragma once

#include "panel/layout/PanelLayout.h"
#include "panel/layout/TextMetrics.h"
#include "studio/settings/SettingsView.h"
#include "studio/ui/StudioStyle.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane::studio {

// What a press on the sheet reaches.
enum class SheetControl { none, done, loop, stereo, mono, hissOff, hissOn, hissSlider, rate, makerLink };

// A section card: its rounded plate and title.
struct SheetCard {
    Rect frame;
    TextRun title;
};

// A two-state choice: the caption on its rounded plate.
struct SheetPill {
    Rect frame;
    TextRun caption;
    bool selected = false;
    SheetControl control = SheetControl::none;
};

struct SheetSlider {
    Rect frame;        // takes presses and drags
    Rect track;        // the thumb's centre runs from one end to the other (0 to 100)
    double thumbX = 0; // the thumb's centre for the current level
};

struct SheetButton {
    Rect frame;
    TextRun title;
};

// Where everything of the settings sheet sits in an area, as a pure function of the area and
// what the sheet shows. Texts carry their face, size and colour, so drawing needs nothing else.
struct SettingsSheetLayout {
    Rect sheet;
    TextRun title;
    std::optional<TextRun> version;  // none when there is no version text
    SheetButton done;
    Rect divider;
    std::vector<SheetCard> cards;
    std::vector<SheetPill> pills;
    std::vector<TextRun> texts;  // device captions and names, the note of the plug-in form
    SheetSlider slider;
    std::optional<SheetButton> rate;  // the standalone form's review button
    std::optional<TextRun> link;    // the maker's site, when one is set
    // The height the sheet needs with its flexible space at zero.
    double naturalHeight = 0;
};

SettingsSheetLayout layoutSettingsSheet(const Rect& area, const SettingsView& view, const TextMetrics& metrics);

// The control at a point; none between controls.
SheetControl hitTestSheet(const SettingsSheetLayout& layout, double x, double y);
// The hiss level a press or drag at x means (0 to 100, the ends of the track included).
double sheetSliderValueAt(const SettingsSheetLayout& layout, double x);

}  // namespace tolvane::studio
