#include "panel/layout/PanelLayout.h"

#include "panel/layout/LayoutParts.h"

#include <algorithm>

using namespace panel_layout;

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
constexpr double kPresetBarInset = 16;
constexpr double kBarSpacing = 8;
constexpr double kButtonRowShiftX = 16;
constexpr double kButtonRowShiftY = -3;
constexpr double kGearShiftX = -4;
constexpr double kGearShiftY = -1;
constexpr double kArrowInset = 10;
constexpr double kArrowWidth = 30;
constexpr double kTapInset = 6;
constexpr double kTapWidth = 36;
constexpr double kDefaultSpacing = 8;
constexpr double kSwitchOffsetX = 237;
constexpr double kSwitchFromBottom = 56;
constexpr double kSwitchWidth = 44;
constexpr double kSwitchHeight = 20;
constexpr double kSwitchSpacing = 3;

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

Extent panelButtonLabelSize(const TextMetrics& metrics, std::string_view title, double s) {
    return {metrics.width(PanelFonts::caption, 10 * s, title) + 18 * s,
            metrics.lineHeight(PanelFonts::caption, 10 * s) + 12 * s};
}

Extent toggleButtonLabelSize(const TextMetrics& metrics, std::string_view title, double s) {
    return {metrics.width(PanelFonts::caption, 12 * s, title) + 28 * s,
            metrics.lineHeight(PanelFonts::caption, 12 * s) + 14 * s};
}

namespace panel_layout {

LabelButtonLayout labelButton(double x, double y, Extent size, std::string title, bool highlighted, bool enabled) {
    return {Rect{x, y, size.width, size.height}, std::move(title), highlighted, enabled};
}

PresetBarLayout layoutPresetBar(const Frame& f, const Kessrin_VinylExtensionMainView& view,
                                const TextMetrics& metrics) {
    const double s = f.s;
    PresetBarLayout bar;
    // The three layers share the bar's top edge; the bar is as tall as its tallest layer.
    const Extent mono = panelButtonLabelSize(metrics, view.monoSumDisplayEnabled ? "MONO" : "STEREO", s);
    const Extent save = panelButtonLabelSize(metrics, "SAVE", s);
    const Extent saveAs = panelButtonLabelSize(metrics, "SAVE AS", s);
    const double rowHeight = view.showSettingsButton ? std::max(saveAs.height, kGearFrame * s) : saveAs.height;
    const double height = std::max({kDisplayHeight * s, mono.height, rowHeight});
    bar.frame = centredRect(f.cx(), f.panel.y + kPresetBarCentreFromTop * s,
                            f.panel.width - 2 * kPresetBarInset * s, height);
    const double top = bar.frame.y;

    bar.display = Rect{f.cx() - kDisplayWidth * s / 2, top, kDisplayWidth * s, kDisplayHeight * s};
    const Rect& d = bar.display;
    // Thirty cells do not fit between the arrows at the display's own spacing: they are centred in
    // the display and the arrows sit in the margins.
    const double cellWidth = kDisplayCellWidth * s;
    const double cellsLeft = d.midX() - Kessrin_VinylExtensionMainView::kDisplayCellCount * cellWidth / 2;
    for (int i = 0; i < Kessrin_VinylExtensionMainView::kDisplayCellCount; ++i) bar.cells.push_back(Rect{cellsLeft + i * cellWidth, d.y, cellWidth, d.height});
    bar.previousArrow = Rect{d.x + kArrowInset * s, d.y, kArrowWidth * s, d.height};
    bar.nextArrow = Rect{d.x + d.width - (kArrowInset + kArrowWidth) * s, d.y, kArrowWidth * s, d.height};
    bar.previousArea = Rect{d.x + kTapInset * s, d.y, kTapWidth * s, d.height};
    bar.nextArea = Rect{d.x + d.width - (kTapInset + kTapWidth) * s, d.y, kTapWidth * s, d.height};
    const double listLeft = bar.previousArea.x + bar.previousArea.width + kDefaultSpacing * s;
    bar.listArea = Rect{listLeft, d.y, bar.nextArea.x - kDefaultSpacing * s - listLeft, d.height};

    bar.mono = labelButton(bar.frame.x, top, mono, view.monoSumDisplayEnabled ? "MONO" : "STEREO", true, true);

    // The right-hand row, right-aligned and moved as a whole; its items centred on its middle.
    const double rowMid = top + kButtonRowShiftY * s + rowHeight / 2;
    double right = bar.frame.x + bar.frame.width + kButtonRowShiftX * s;
    if (view.showSettingsButton) {
        const double g = kGearFrame * s;
        bar.gear = Rect{right - g + kGearShiftX * s, rowMid - g / 2 + kGearShiftY * s, g, g};
        right -= g + kBarSpacing * s;
    }
    bar.saveAs = labelButton(right - saveAs.width, rowMid - saveAs.height / 2, saveAs, "SAVE AS", true, true);
    right -= saveAs.width + kBarSpacing * s;
    const bool canSave = view.selectedPresetID.has_value();
    bar.save = labelButton(right - save.width, rowMid - save.height / 2, save, "SAVE", canSave, canSave);
    return bar;
}

AmFmSwitchLayout layoutAmFmSwitch(const Frame& f, const TextMetrics& metrics) {
    const double s = f.s;
    const double captionHeight = metrics.lineHeight(PanelFonts::caption, 8 * s);
    const double captionWidth = metrics.width(PanelFonts::caption, 8 * s, "AM/FM");
    const double height = captionHeight + (kSwitchSpacing + kSwitchHeight) * s;
    const double cx = f.cx() + kSwitchOffsetX * s;
    const double top = f.cy() + f.panel.height / 2 - kSwitchFromBottom * s - height / 2;
    AmFmSwitchLayout layout;
    layout.caption = Rect{cx - captionWidth / 2, top, captionWidth, captionHeight};
    layout.button = Rect{cx - kSwitchWidth * s / 2, top + captionHeight + kSwitchSpacing * s, kSwitchWidth * s,
                         kSwitchHeight * s};
    return layout;
}

}  // namespace panel_layout

PanelLayout layoutPanel(double width, double height, const Kessrin_VinylExtensionMainView& view) {
    static const EstimatedTextMetrics estimated;
    return layoutPanel(width, height, view, estimated);
}

PanelLayout layoutPanel(double width, double height, const Kessrin_VinylExtensionMainView& view,
                        const TextMetrics& metrics) {
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

    const Frame frame{s, layout.panel};
    if (view.showPluginSettings) {
        layout.settingsOverlay = layoutSettingsOverlay(frame, view, metrics);
    } else {
        layout.presetBar = layoutPresetBar(frame, view, metrics);
    }
    if (view.showsAmFmSwitch()) layout.amFmSwitch = layoutAmFmSwitch(frame, metrics);
    if (view.activePresetDialog) layout.presetDialog = layoutPresetDialog(frame, view, *view.activePresetDialog, metrics);
    if (view.showsPresetChooser()) layout.presetChooser = layoutPresetChooser(frame, view, metrics);
    return layout;
}
