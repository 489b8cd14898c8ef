#pragma once

#include "panel/layout/TextMetrics.h"
#include "panel/model/MainViewModel.h"

#include <optional>
#include <string>
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

// A button whose label is a title on a plate (the bar's, the dialog's and the overlay's buttons).
struct LabelButtonLayout {
    Rect frame;
    std::string title;
    bool highlighted = true;  // bright text and border (the bar's and the dialog's label style)
    bool enabled = true;      // a disabled button ignores taps
};

// The preset bar: the 30-cell display with its arrows and three tap areas, and its buttons.
struct PresetBarLayout {
    Rect frame;
    Rect display;
    Rect previousArrow;  // the frames the "<" and ">" sit in
    Rect nextArrow;
    std::vector<Rect> cells;  // left to right
    Rect previousArea;  // tap targets: step back, open the list, step on
    Rect listArea;
    Rect nextArea;
    LabelButtonLayout mono;
    LabelButtonLayout save;
    LabelButtonLayout saveAs;
    std::optional<Rect> gear;  // only with the settings button
};

struct AmFmSwitchLayout {
    Rect caption;
    Rect button;
};

// The settings overlay's content over the covered panel.
struct SettingsOverlayLayout {
    Rect cover;
    Rect title;
    std::optional<Rect> version;  // only when there is a version text
    Rect done;
    Rect divider;
    Rect hissCaption;
    LabelButtonLayout hissOff;  // `highlighted` marks the active toggle
    LabelButtonLayout hissOnButton;
    Rect slider;      // the whole control; a press anywhere on it sets the level
    Rect sliderTrack; // the line the thumb runs along (its ends are 0 and 100)
    Rect link;
};

// The preset-name dialog in its box over the dimmed panel.
struct PresetDialogLayout {
    PresetDialogMode mode = PresetDialogMode::saveAs;
    Rect cover;
    Rect box;
    Rect title;
    std::optional<Rect> field;               // saveAs: the name field
    std::vector<std::string> messageLines;   // confirmOverwrite: the message, wrapped
    Rect message;
    LabelButtonLayout cancel;
    LabelButtonLayout confirm;
};

struct PresetRowLayout {
    std::size_t presetIndex = 0;
    Rect frame;  // in view coordinates, moved by the scroll offset; clip it to the list
    bool selected = false;
};

// The preset chooser: its box below the bar, the scrolling list and the trash button.
struct PresetChooserLayout {
    Rect dim;
    Rect box;
    Rect list;  // the visible part of the list (empty when there are no presets)
    double contentHeight = 0;
    double scrollOffset = 0;  // clamped to what the content allows
    std::vector<PresetRowLayout> rows;  // only the rows that show in the list
    std::optional<Rect> emptyText;      // "No Saved Presets"
    Rect divider;
    Rect trash;
    bool trashEnabled = false;
    std::optional<Rect> scrollIndicator;  // when the list is longer than its box
};

struct PanelLayout {
    double scale = 1;
    Rect view;   // the whole view the host gave
    Rect panel;  // the panel, centred in the view at the reference aspect
    std::vector<KnobLayout> knobs;  // four, or none when a knob parameter is missing
    Rect divider;
    std::vector<EffectButtonLayout> buttons;  // upper row left to right, then the lower row
    // The layers above; none while hidden.
    std::optional<PresetBarLayout> presetBar;
    std::optional<AmFmSwitchLayout> amFmSwitch;
    std::optional<SettingsOverlayLayout> settingsOverlay;
    std::optional<PresetDialogLayout> presetDialog;
    std::optional<PresetChooserLayout> presetChooser;
};

// Sizes of text come from `metrics` (the fonts the panel is drawn with).
PanelLayout layoutPanel(double width, double height, const Kessrin_VinylExtensionMainView& view,
                        const TextMetrics& metrics);
// The same with estimated text sizes.
PanelLayout layoutPanel(double width, double height, const Kessrin_VinylExtensionMainView& view);

struct Extent {
    double width = 0;
    double height = 0;
};

// The sizes of the two label styles the bar, the dialog and the overlay share, at scale s.
Extent panelButtonLabelSize(const TextMetrics& metrics, std::string_view title, double s);
Extent toggleButtonLabelSize(const TextMetrics& metrics, std::string_view title, double s);

enum class HitKind {
    none,
    knobFace,
    knobReadout,
    effectButton,
    amFmSwitch,
    monoButton,
    saveButton,
    saveAsButton,
    gearButton,
    previousPreset,
    presetList,
    nextPreset,
    settingsDone,
    hissOff,
    hissOn,
    hissSlider,
    link,
    dialogCancel,
    dialogConfirm,
    dialogField,
    chooserRow,
    chooserTrash,
    chooserDim,
    // Covered places that take a tap and do nothing with it (an overlay, a dialog, the chooser's box).
    blocked,
};

struct HitTarget {
    HitKind kind = HitKind::none;
    int index = 0;  // knob index 0-3, effect index of a button, or preset index of a chooser row
    bool operator==(const HitTarget&) const = default;
};

// The front-most target at a point of the view. While the preset dialog is open only its box
// takes input; disabled buttons take no taps.
HitTarget hitTest(const PanelLayout& layout, double x, double y);
