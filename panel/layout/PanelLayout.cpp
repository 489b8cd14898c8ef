#include "panel/layout/PanelLayout.h"

namespace {

// Reference sizes in points.
constexpr double kKnobColumnWidth = 120;
constexpr double kKnobSpacing = 12;
constexpr double kKnobSectionRaise = 30;
constexpr double kReadoutHeight = 40;
constexpr double kFaceSize = 95;
constexpr double kCaptionHeight = 20;
constexpr double kCaptionDrop = 15;
constexpr double kColumnSpacing = 8;
constexpr double kButtonWidth = 102;
constexpr double kButtonHeight = 41;
constexpr double kButtonSpacing = 12;
constexpr double kUpperRowFromBottom = 103;
constexpr double kLowerRowFromBottom = 58;
constexpr double kDividerFromBottom = 130;
constexpr double kDividerThickness = 4;
constexpr double kPresetBarCentreFromTop = 18;
constexpr double kPresetBarHeight = 26;
constexpr double kPresetBarInset = 16;
constexpr double kSwitchOffsetX = 237;
constexpr double kSwitchFromBottom = 56;
constexpr double kSwitchWidth = 44;
constexpr double kSwitchHeight = 33;  // caption, spacing and the 20-point image

KnobLayout knobColumn(double cx, double cy, double s) {
    const double height = kReadoutHeight + kColumnSpacing + kFaceSize + kColumnSpacing + kCaptionHeight;
    KnobLayout k;
    k.column = centredRect(cx, cy, kKnobColumnWidth * s, height * s);
    const double top = k.column.y;
    k.readout = Rect{k.column.x, top, k.column.width, kReadoutHeight * s};
    k.face = centredRect(cx, top + (kReadoutHeight + kColumnSpacing + kFaceSize / 2) * s, kFaceSize * s, kFaceSize * s);
    const double captionTop = top + (kReadoutHeight + 2 * kColumnSpacing + kFaceSize + kCaptionDrop) * s;
    k.caption = Rect{k.column.x, captionTop, k.column.width, kCaptionHeight * s};
    return k;
}

// Centres of n equal items of `width` with `spacing` between them, centred on cx.
double itemCentre(double cx, std::size_t i, std::size_t n, double width, double spacing) {
    const double pitch = width + spacing;
    return cx + (static_cast<double>(i) - (static_cast<double>(n) - 1) / 2) * pitch;
}

void addButtonRow(PanelLayout& layout, const std::vector<int>& order, double cx, double cy, double s) {
    for (std::size_t i = 0; i < order.size(); ++i) {
        const double x = itemCentre(cx, i, order.size(), kButtonWidth * s, kButtonSpacing * s);
        layout.buttons.push_back({order[i], centredRect(x, cy, kButtonWidth * s, kButtonHeight * s)});
    }
}

}  // namespace

Rect centredRect(double cx, double cy, double width, double height) {
    return Rect{cx - width / 2, cy - height / 2, width, height};
}

PanelLayout layoutPanel(double width, double height, const Kessrin_VinylExtensionMainView& view) {
    PanelLayout layout;
    const double s = view.scaleFor(width, height);
    const double W = view.refWidth * s;
    const double H = view.refHeight * s;
    const double cx = width / 2;
    const double cy = height / 2;
    layout.scale = s;
    layout.view = Rect{0, 0, width, height};
    layout.panel = centredRect(cx, cy, W, H);

    if (view.parameterTree && view.parameterTree->parameter("compressor") && view.parameterTree->parameter("crackle") &&
        view.parameterTree->parameter("wowFlutter") && view.parameterTree->parameter("outputLevel")) {
        for (std::size_t k = 0; k < 4; ++k) {
            const double x = itemCentre(cx, k, 4, kKnobColumnWidth * s, kKnobSpacing * s);
            layout.knobs.push_back(knobColumn(x, cy - kKnobSectionRaise * s, s));
        }
    }
    layout.divider = centredRect(cx, cy + H / 2 - kDividerFromBottom * s, 0.8 * W, kDividerThickness * s);
    addButtonRow(layout, view.topRowOrder, cx, cy + H / 2 - kUpperRowFromBottom * s, s);
    addButtonRow(layout, view.bottomRowOrder, cx, cy + H / 2 - kLowerRowFromBottom * s, s);

    if (view.showPluginSettings) {
        layout.settingsOverlay = layout.panel;
    } else {
        layout.presetBar = centredRect(cx, layout.panel.y + kPresetBarCentreFromTop * s,
                                       W - 2 * kPresetBarInset * s, kPresetBarHeight * s);
    }
    if (view.showsAmFmSwitch()) {
        layout.amFmSwitch = centredRect(cx + kSwitchOffsetX * s, cy + H / 2 - kSwitchFromBottom * s,
                                        kSwitchWidth * s, kSwitchHeight * s);
    }
    return layout;
}

HitTarget hitTest(const PanelLayout& layout, double x, double y) {
    // Front to back: the overlay covers everything below it.
    if (layout.settingsOverlay && layout.settingsOverlay->contains(x, y)) return {HitKind::settingsOverlay, 0};
    if (layout.amFmSwitch && layout.amFmSwitch->contains(x, y)) return {HitKind::amFmSwitch, 0};
    for (const auto& button : layout.buttons) {
        if (button.frame.contains(x, y)) return {HitKind::effectButton, button.effectIndex};
    }
    for (std::size_t k = 0; k < layout.knobs.size(); ++k) {
        if (layout.knobs[k].face.contains(x, y)) return {HitKind::knobFace, static_cast<int>(k)};
        if (layout.knobs[k].readout.contains(x, y)) return {HitKind::knobReadout, static_cast<int>(k)};
    }
    if (layout.presetBar && layout.presetBar->contains(x, y)) return {HitKind::presetBar, 0};
    return {};
}
