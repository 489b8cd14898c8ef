#pragma once

// What the layout's files share: reference sizes and the builders of each layer. Internal to
// the layout.

#include "panel/layout/PanelLayout.h"

namespace panel_layout {

// The scale and the panel's place, which every layer works from.
struct Frame {
    double s = 1;
    Rect panel;
    double cx() const { return panel.midX(); }
    double cy() const { return panel.midY(); }
};

PresetBarLayout layoutPresetBar(const Frame& frame, const Kessrin_VinylExtensionMainView& view,
                                const TextMetrics& metrics);
AmFmSwitchLayout layoutAmFmSwitch(const Frame& frame, const TextMetrics& metrics);
SettingsOverlayLayout layoutSettingsOverlay(const Frame& frame, const Kessrin_VinylExtensionMainView& view,
                                            const TextMetrics& metrics);
PresetDialogLayout layoutPresetDialog(const Frame& frame, const Kessrin_VinylExtensionMainView& view,
                                      PresetDialogMode mode, const TextMetrics& metrics);
PresetChooserLayout layoutPresetChooser(const Frame& frame, const Kessrin_VinylExtensionMainView& view,
                                        const TextMetrics& metrics);

// A label button of that size with its top-left corner at (x, y).
LabelButtonLayout labelButton(double x, double y, Extent size, std::string title, bool highlighted, bool enabled);

// Reference sizes in points, shared with the renderer through the layout's rectangles.
inline constexpr double kDisplayWidth = 360;
inline constexpr double kDisplayHeight = 22;
inline constexpr double kDisplayCellWidth = 8.6;
inline constexpr double kGearFrame = 28;
inline constexpr double kSliderWidth = 110;
inline constexpr double kSliderHeight = 20;
inline constexpr double kSliderThumb = 14;

}  // namespace panel_layout
