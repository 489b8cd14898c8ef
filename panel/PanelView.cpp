#include "panel/PanelView.h"

#include <cmath>

namespace {

// Two presses on one readout this close in time and place are a double-click.
constexpr double kDoubleClickSeconds = 0.4;
constexpr double kDoubleClickDistance = 4;

// The length of the last UTF-8 character of a text (for Backspace).
std::size_t lastCharacterLength(const std::string& text) {
    std::size_t n = 1;
    while (n < text.size() && (static_cast<unsigned char>(text[text.size() - n]) & 0xC0) == 0x80) ++n;
    return std::min(n, text.size());
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
    pressedButton_.reset();
    lastReadoutClick_ = {};
    needsDisplay_ = true;
    if (!panel_) return;
    panel_->setChangeHandler([this] { needsDisplay_ = true; });
    panel_->appear();
}

PanelLayout PanelView::layout() const {
    if (!panel_) return {};
    return layoutPanel(width_, height_, *panel_);
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

bool PanelView::mousePress(double x, double y, double timeSeconds) {
    if (!panel_) return false;
    const HitTarget target = hitTest(layout(), x, y);
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
    case HitKind::knobReadout: {
        const Click& last = lastReadoutClick_;
        const bool isDouble = last.knob == target.index && timeSeconds - last.time <= kDoubleClickSeconds &&
                              std::hypot(x - last.x, y - last.y) <= kDoubleClickDistance;
        lastReadoutClick_ = isDouble ? Click{} : Click{target.index, x, y, timeSeconds};
        if (!isDouble) return true;
        auto k = knob(target.index);
        if (!k || k->state->isEditing) return true;
        k->beginEditText();
        k->refreshEditText();
        needsDisplay_ = true;
        return true;
    }
    case HitKind::effectButton:
        pressedButton_ = target.index;
        return true;
    default:
        return false;
    }
}

bool PanelView::mouseMotion(double x, double y) {
    (void)x;
    if (!drag_) return false;
    if (auto k = knob(drag_->knob)) {
        k->dragChanged((y - drag_->startY) / pixelsPerPoint_);
        needsDisplay_ = true;
    }
    return true;
}

bool PanelView::mouseRelease(double x, double y) {
    if (drag_) {
        const int index = drag_->knob;
        drag_.reset();
        if (auto k = knob(index)) k->dragEnded();
        needsDisplay_ = true;
        return true;
    }
    if (pressedButton_) {
        const int pressed = *pressedButton_;
        pressedButton_.reset();
        const HitTarget target = hitTest(layout(), x, y);
        // A button acts when released over itself.
        if (panel_ && target == HitTarget{HitKind::effectButton, pressed}) panel_->selectEffect(pressed);
        return true;
    }
    return false;
}

bool PanelView::keyPress(Key key) {
    auto k = editingKnob();
    if (!k) return false;
    std::string& text = k->state->editText;
    if (key == Key::enter) {
        k->commitEditText();
    } else if (key == Key::backspace) {
        if (!text.empty()) text.erase(text.size() - lastCharacterLength(text));
    } else {
        return false;
    }
    needsDisplay_ = true;
    return true;
}

bool PanelView::textInput(std::string_view utf8) {
    auto k = editingKnob();
    if (!k) return false;
    for (char c : utf8) {
        // Control characters arrive as keys, not text.
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
    }
    k->state->editText.append(utf8);
    needsDisplay_ = true;
    return true;
}

bool PanelView::wantsKeyboard() const { return editingKnob().has_value(); }
