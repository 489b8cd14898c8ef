#pragma once

#include "panel/model/MainViewModel.h"

#include <optional>
#include <vector>

// Where everything of the panel sits in a view of a given size, as a pure function of that size
// and the model's state; a tap at a point maps to an action without drawing anything. Every
// length is a reference-panel length in points times the panel scale s.

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double midX() const { return x + width / 2; }
    double midY() const { return y + height / 2; }
    bool contains(double px, double py) const { return px >= x && px < x + width && py >= y && py < y + height; }
    bool operator==(const Rect&) const = default;
};

// A rectangle of that size centred on (cx, cy).
Rect centredRect(double cx, double cy, double width, double height);

struct KnobLayout {
    Rect column;   // the knob's whole column
    Rect readout;  // value readout (double-click to type)
    Rect face;     // drag area: tick ring, base and pointer
    Rect caption;  // caption line, already moved down
};

struct EffectButtonLayout {
    int effectIndex = 0;
    Rect frame;
};

struct PanelLayout {
    double scale = 1;
    Rect view;   // the whole view the host gave
    Rect panel;  // the panel, centred in the view at the reference aspect
    std::vector<KnobLayout> knobs;  // four, or none when a knob parameter is missing
    Rect divider;
    std::vector<EffectButtonLayout> buttons;  // upper row left to right, then the lower row
    // Places the next layers take; none while hidden.
    std::optional<Rect> presetBar;
    std::optional<Rect> amFmSwitch;
    std::optional<Rect> settingsOverlay;
};

PanelLayout layoutPanel(double width, double height, const Kessrin_VinylExtensionMainView& view);

enum class HitKind { none, knobFace, knobReadout, effectButton, amFmSwitch, presetBar, settingsOverlay };

struct HitTarget {
    HitKind kind = HitKind::none;
    int index = 0;  // knob index 0-3, or effect index of a button
    bool operator==(const HitTarget&) const = default;
};

// The front-most target at a point of the view.
HitTarget hitTest(const PanelLayout& layout, double x, double y);
