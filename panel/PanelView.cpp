#include "panel/PanelView.h"

#include <algorithm>
#include <cmath>

namespace {

// Two presses on one readout this close in time and place are a double-click.
constexpr double kDoubleClickSeconds = 0.4;
constexpr double kDoubleClickDistance = 4;
// Points the chooser's list moves per step of the wheel.
constexpr double kScrollStep = 40;

TextFieldKey fieldKey(PanelView::Key key) {
    switch (key) {
    case PanelView::Key::backspace: return TextFieldKey::backspace;
    case PanelView::Key::deleteForward: return TextFieldKey::deleteForward;
    case PanelView::Key::left: return TextFieldKey::left;
    case PanelView::Key::right: return TextFieldKey::right;
    case PanelView::Key::home: return TextFieldKey::home;
    case PanelView::Key::end: return TextFieldKey::end;
    default: return TextFieldKey::selectAll;
    }
}

// Press and release on these act; the others act on the press (knobs, readouts, the slider).
bool actsOnRelease(HitKind kind) {
    switch (kind) {
    case HitKind::none:
    case HitKind::knobFace:
    case HitKind::knobReadout:
    case HitKind::hissSlider:
    case HitKind::dialogField:
    case HitKind::blocked: return false;
    default: return true;
    }
}

}  // namespace

PanelView::PanelView(std::shared_ptr<AudioUnitViewController> controller) : controller_(std::move(controller)) {
    update();
}

PanelView::~PanelView() {
    if (panel_) panel_->setChangeHandler(nullptr);
}

void PanelView::setSize(double width, double height) {
    if (width == width_ && height == height_) return;
    width_ = width;
    height_ = height;
    needsDisplay_ = true;
}

void PanelView::setPixelsPerPoint(double pixelsPerPoint) {
    if (pixelsPerPoint > 0 && std::isfinite(pixelsPerPoint)) pixelsPerPoint_ = pixelsPerPoint;
}

void PanelView::setTextMetrics(const TextMetrics* metrics) {
    metrics_ = metrics;
    needsDisplay_ = true;
}

void PanelView::update() {
    if (!controller_) return;
    if (panel_ && seenBuild_ == controller_->panelBuildCount() && panel_ == controller_->currentPanel()) return;
    seenBuild_ = controller_->panelBuildCount();
    attach(controller_->currentPanel());
}

void PanelView::attach(std::shared_ptr<Kessrin_VinylExtensionMainView> panel) {
    if (panel_) panel_->setChangeHandler(nullptr);
    panel_ = std::move(panel);
    drag_.reset();
    sliding_ = false;
    pressed_.reset();
    lastReadoutClick_ = {};
    needsDisplay_ = true;
    if (!panel_) return;
    panel_->setChangeHandler([this] { needsDisplay_ = true; });
    panel_->appear();
}

PanelLayout PanelView::layout() const {
    if (!panel_) return {};
    return metrics_ ? layoutPanel(width_, height_, *panel_, *metrics_) : layoutPanel(width_, height_, *panel_);
}

std::optional<KnobView> PanelView::knob(int index) const {
    if (!panel_ || index < 0 || index > 3) return std::nullopt;
    auto knobs = panel_->knobSection(layout().scale);
    if (!knobs) return std::nullopt;
    return (*knobs)[static_cast<std::size_t>(index)];
}

std::optional<KnobView> PanelView::editingKnob() const {
    if (!panel_) return std::nullopt;
    for (int k = 0; k < 4; ++k) {
        if (panel_->knobStates[static_cast<std::size_t>(k)].isEditing) return knob(k);
    }
    return std::nullopt;
}

std::optional<PanelView::Field> PanelView::focusedField() const {
    if (!panel_) return std::nullopt;
    // The name dialog is modal: while it asks for a name, its field has the keyboard.
    if (panel_->activePresetDialog == PresetDialogMode::saveAs) {
        return Field{&panel_->presetDraftName, &panel_->presetDraftField, std::nullopt};
    }
    if (auto k = editingKnob()) return Field{&k->state->editText, &k->state->editField, k};
    return std::nullopt;
}

bool PanelView::mousePress(double x, double y, double timeSeconds) {
    if (!panel_) return false;
    const HitTarget target = hitTest(layout(), x, y);
    if (actsOnRelease(target.kind)) {
        pressed_ = target;
        return true;
    }
    switch (target.kind) {
    case HitKind::knobFace:
        if (auto k = knob(target.index)) {
            drag_ = Drag{target.index, y};
            // The drag reports its first change on the press itself.
            k->dragChanged(0);
            needsDisplay_ = true;
            return true;
        }
        return false;
    case HitKind::knobReadout:
        pressReadout(target, x, y, timeSeconds);
        return true;
    case HitKind::hissSlider:
        sliding_ = true;
        moveSlider(x);
        return true;
    case HitKind::dialogField:
        // A click in the field ends the selection, with the caret after the text.
        applyTextFieldKey(panel_->presetDraftName, panel_->presetDraftField, TextFieldKey::end);
        needsDisplay_ = true;
        return true;
    case HitKind::blocked: return true;
    default: return false;
    }
}

void PanelView::pressReadout(const HitTarget& target, double x, double y, double timeSeconds) {
    const Click& last = lastReadoutClick_;
    const bool isDouble = last.knob == target.index && timeSeconds - last.time <= kDoubleClickSeconds &&
                          std::hypot(x - last.x, y - last.y) <= kDoubleClickDistance;
    lastReadoutClick_ = isDouble ? Click{} : Click{target.index, x, y, timeSeconds};
    if (!isDouble) return;
    auto k = knob(target.index);
    if (!k || k->state->isEditing) return;
    k->beginEditText();
    k->refreshEditText();
    beginTextEditing(k->state->editText, k->state->editField);
    needsDisplay_ = true;
}

void PanelView::moveSlider(double x) {
    const auto overlay = layout().settingsOverlay;
    if (!panel_ || !overlay) return;
    const Rect& track = overlay->sliderTrack;
    const double fraction = track.width > 0 ? std::clamp((x - track.x) / track.width, 0.0, 1.0) : 0;
    panel_->setHissLevel(static_cast<float>(fraction * 100));
    needsDisplay_ = true;
}

bool PanelView::mouseMotion(double x, double y) {
    if (sliding_) {
        moveSlider(x);
        return true;
    }
    if (!drag_) return false;
    // A value that moves marks the view through the model's change handler.
    if (auto k = knob(drag_->knob)) k->dragChanged((y - drag_->startY) / pixelsPerPoint_);
    return true;
}

bool PanelView::mouseRelease(double x, double y) {
    if (sliding_) {
        sliding_ = false;
        return true;
    }
    if (drag_) {
        const int index = drag_->knob;
        drag_.reset();
        if (auto k = knob(index)) k->dragEnded();
        needsDisplay_ = true;
        return true;
    }
    if (pressed_) {
        const HitTarget pressed = *pressed_;
        pressed_.reset();
        // A button acts when released over itself.
        if (panel_ && hitTest(layout(), x, y) == pressed) perform(pressed);
        return true;
    }
    return false;
}

void PanelView::perform(const HitTarget& target) {
    Kessrin_VinylExtensionMainView& p = *panel_;
    switch (target.kind) {
    case HitKind::effectButton: p.selectEffect(target.index); break;
    case HitKind::amFmSwitch: p.toggleAmFmMode(); break;
    case HitKind::monoButton: p.toggleMonoSum(); break;
    case HitKind::saveButton: p.saveSelectedPreset(); break;
    case HitKind::saveAsButton: p.beginSaveAs(); break;
    case HitKind::gearButton: p.openSettings(); break;
    case HitKind::previousPreset: p.stepPreset(-1); break;
    case HitKind::presetList: p.setPresetChooserShown(true); break;
    case HitKind::nextPreset: p.stepPreset(1); break;
    case HitKind::settingsDone: p.closeSettings(); break;
    case HitKind::hissOff: p.setHissOn(false); break;
    case HitKind::hissOn: p.setHissOn(true); break;
    case HitKind::link: p.openMakerSite(); break;
    case HitKind::dialogCancel: p.cancelPresetDialog(); break;
    case HitKind::dialogConfirm: p.confirmPresetDialog(); break;
    case HitKind::chooserRow: p.choosePreset(static_cast<std::size_t>(target.index)); break;
    case HitKind::chooserTrash: p.deleteSelectedPreset(); break;
    case HitKind::chooserDim: p.setPresetChooserShown(false); break;
    default: break;
    }
    needsDisplay_ = true;
}

bool PanelView::scroll(double x, double y, double deltaY) {
    if (!panel_) return false;
    const PanelLayout l = layout();
    if (!l.presetChooser || !l.presetChooser->list.contains(x, y)) return false;
    const PresetChooserLayout& c = *l.presetChooser;
    const double range = std::max(0.0, c.contentHeight - c.list.height) / l.scale;
    panel_->presetListScrollOffset = std::clamp(c.scrollOffset / l.scale - deltaY * kScrollStep, 0.0, range);
    needsDisplay_ = true;
    return true;
}

bool PanelView::keyPress(Key key) {
    auto field = focusedField();
    if (!field || key == Key::other) return false;
    if (key == Key::enter) {
        // Return enters a knob's number; in the name field only the buttons act.
        if (field->knob) field->knob->commitEditText();
    } else {
        applyTextFieldKey(*field->text, *field->state, fieldKey(key));
    }
    needsDisplay_ = true;
    return true;
}

bool PanelView::textInput(std::string_view utf8) {
    auto field = focusedField();
    if (!field) return false;
    insertText(*field->text, *field->state, utf8);
    needsDisplay_ = true;
    return true;
}

bool PanelView::wantsKeyboard() const { return focusedField().has_value(); }
