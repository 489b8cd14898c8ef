#pragma once

#include "panel/AudioUnitViewController.h"
#include "panel/layout/PanelLayout.h"

#include <memory>
#include <optional>
#include <string_view>

// The panel as a window meets it, with no window system: pointer and key events in view pixels
// become the controls' gestures, and a flag says when what the panel shows has changed. The
// window binding (DGL in a plug-in host or in any parent window) feeds it events, asks it for the
// layout and draws when it needs display; it never repaints an unchanged frame.
class PanelView {
public:
    enum class Key { other, backspace, deleteForward, enter, left, right, home, end, selectAll };

    explicit PanelView(std::shared_ptr<AudioUnitViewController> controller);
    ~PanelView();
    PanelView(const PanelView&) = delete;
    PanelView& operator=(const PanelView&) = delete;

    const std::shared_ptr<AudioUnitViewController>& controller() const { return controller_; }

    // The view's size in pixels, and the pixels per point of the screen (the host's scale factor):
    // drags are measured in points.
    void setSize(double width, double height);
    void setPixelsPerPoint(double pixelsPerPoint);
    double width() const { return width_; }
    double height() const { return height_; }
    // The sizes of text as the panel is drawn (estimated until set); must outlive the view.
    void setTextMetrics(const TextMetrics* metrics);

    // Follows the controller to the panel it shows now (a rebuild brings fresh view state; the
    // new panel appears). Call after draining the main queue.
    void update();
    // The panel being shown, or null.
    Kessrin_VinylExtensionMainView* panel() const { return panel_.get(); }
    PanelLayout layout() const;

    bool needsDisplay() const { return needsDisplay_; }
    void setNeedsDisplay() { needsDisplay_ = true; }
    void didDisplay() { needsDisplay_ = false; }

    // Pointer events in view pixels; `timeSeconds` tells double-clicks apart. True when handled.
    bool mousePress(double x, double y, double timeSeconds);
    bool mouseMotion(double x, double y);
    bool mouseRelease(double x, double y);
    // A wheel turn over the view; positive `deltaY` scrolls toward the top.
    bool scroll(double x, double y, double deltaY);
    // Keys and typed text reach the open text field only.
    bool keyPress(Key key);
    bool textInput(std::string_view utf8);
    // A text field is open (the only time the panel wants the keyboard).
    bool wantsKeyboard() const;

private:
    struct Drag {
        int knob = 0;
        double startY = 0;
    };
    struct Click {
        int knob = -1;
        double x = 0;
        double y = 0;
        double time = 0;
    };
    // The field the keyboard types into: the name dialog's, else a knob's typed entry.
    struct Field {
        std::string* text = nullptr;
        TextFieldState* state = nullptr;
        std::optional<KnobView> knob;  // set for a knob's entry
    };

    void attach(std::shared_ptr<Kessrin_VinylExtensionMainView> panel);
    std::optional<KnobView> knob(int index) const;
    std::optional<KnobView> editingKnob() const;
    std::optional<Field> focusedField() const;
    void pressReadout(const HitTarget& target, double x, double y, double timeSeconds);
    void moveSlider(double x);
    // The action of a button or tap area, run when a press on it is released over it.
    void perform(const HitTarget& target);

    std::shared_ptr<AudioUnitViewController> controller_;
    std::shared_ptr<Kessrin_VinylExtensionMainView> panel_;
    const TextMetrics* metrics_ = nullptr;
    uint64_t seenBuild_ = 0;
    double width_ = AudioUnitViewController::kPanelSize.width;
    double height_ = AudioUnitViewController::kPanelSize.height;
    double pixelsPerPoint_ = 1;
    bool needsDisplay_ = true;
    std::optional<Drag> drag_;
    bool sliding_ = false;
    std::optional<HitTarget> pressed_;
    Click lastReadoutClick_;
};
