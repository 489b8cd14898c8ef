// What a tap at a point of the view reaches: the front-most layer that takes it.

#include "panel/layout/PanelLayout.h"

namespace {

// A button takes a tap when enabled; a disabled one swallows it.
HitTarget buttonHit(const LabelButtonLayout& button, HitKind kind) {
    return button.enabled ? HitTarget{kind, 0} : HitTarget{HitKind::blocked, 0};
}

// The dialog is modal: while it is open nothing outside its box takes input.
HitTarget hitDialog(const PresetDialogLayout& d, double x, double y) {
    if (d.confirm.frame.contains(x, y)) return buttonHit(d.confirm, HitKind::dialogConfirm);
    if (d.cancel.frame.contains(x, y)) return buttonHit(d.cancel, HitKind::dialogCancel);
    if (d.field && d.field->contains(x, y)) return {HitKind::dialogField, 0};
    return {HitKind::blocked, 0};
}

std::optional<HitTarget> hitChooser(const PresetChooserLayout& c, double x, double y) {
    if (c.list.contains(x, y)) {
        for (const PresetRowLayout& row : c.rows) {
            if (row.frame.contains(x, y)) return HitTarget{HitKind::chooserRow, static_cast<int>(row.presetIndex)};
        }
    }
    if (c.trash.contains(x, y)) return HitTarget{c.trashEnabled ? HitKind::chooserTrash : HitKind::blocked, 0};
    // Taps on the box itself never reach the dimmed panel behind it.
    if (c.box.contains(x, y)) return HitTarget{HitKind::blocked, 0};
    if (c.dim.contains(x, y)) return HitTarget{HitKind::chooserDim, 0};
    return std::nullopt;
}

std::optional<HitTarget> hitSettings(const SettingsOverlayLayout& o, double x, double y) {
    if (o.done.contains(x, y)) return HitTarget{HitKind::settingsDone, 0};
    if (o.hissOff.frame.contains(x, y)) return HitTarget{HitKind::hissOff, 0};
    if (o.hissOnButton.frame.contains(x, y)) return HitTarget{HitKind::hissOn, 0};
    if (o.slider.contains(x, y)) return HitTarget{HitKind::hissSlider, 0};
    if (o.link.contains(x, y)) return HitTarget{HitKind::link, 0};
    if (o.cover.contains(x, y)) return HitTarget{HitKind::blocked, 0};
    return std::nullopt;
}

std::optional<HitTarget> hitPresetBar(const PresetBarLayout& bar, double x, double y) {
    // The button row lies over the mono button's row, which lies over the display.
    if (bar.gear && bar.gear->contains(x, y)) return HitTarget{HitKind::gearButton, 0};
    if (bar.saveAs.frame.contains(x, y)) return buttonHit(bar.saveAs, HitKind::saveAsButton);
    if (bar.save.frame.contains(x, y)) return buttonHit(bar.save, HitKind::saveButton);
    if (bar.mono.frame.contains(x, y)) return buttonHit(bar.mono, HitKind::monoButton);
    if (bar.previousArea.contains(x, y)) return HitTarget{HitKind::previousPreset, 0};
    if (bar.listArea.contains(x, y)) return HitTarget{HitKind::presetList, 0};
    if (bar.nextArea.contains(x, y)) return HitTarget{HitKind::nextPreset, 0};
    return std::nullopt;
}

}  // namespace

HitTarget hitTest(const PanelLayout& layout, double x, double y) {
    if (layout.presetDialog) return hitDialog(*layout.presetDialog, x, y);
    if (layout.presetChooser) {
        if (auto hit = hitChooser(*layout.presetChooser, x, y)) return *hit;
    }
    if (layout.settingsOverlay) {
        if (auto hit = hitSettings(*layout.settingsOverlay, x, y)) return *hit;
    }
    if (layout.presetBar) {
        if (auto hit = hitPresetBar(*layout.presetBar, x, y)) return *hit;
    }
    if (layout.amFmSwitch && layout.amFmSwitch->button.contains(x, y)) return {HitKind::amFmSwitch, 0};
    for (const auto& button : layout.buttons) {
        if (button.frame.contains(x, y)) return {HitKind::effectButton, button.effectIndex};
    }
    for (std::size_t k = 0; k < layout.knobs.size(); ++k) {
        if (layout.knobs[k].face.contains(x, y)) return {HitKind::knobFace, static_cast<int>(k)};
        if (layout.knobs[k].readout.contains(x, y)) return {HitKind::knobReadout, static_cast<int>(k)};
    }
    return {};
}
