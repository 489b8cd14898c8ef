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
    enum class Key { other, backspace, enter };

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
    // Keys and typed text reach the open entry field only.
    bool keyPress(Key key);
    bool textInput(std::string_view utf8);
    // A typed-entry field is open (the only time the panel wants the keyboard).
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

    void attach(std::shared_ptr<Kessrin_VinylExtensionMainView> panel);
    std::optional<KnobView> knob(int index) const;
    std::optional<KnobView> editingKnob() const;

    std::shared_ptr<AudioUnitViewController> controller_;
    std::shared_ptr<Kessrin_VinylExtensionMainView> panel_;
    uint64_t seenBuild_ = 0;
    double width_ = AudioUnitViewController::kPanelSize.width;
    double height_ = AudioUnitViewController::kPanelSize.height;
    double pixelsPerPoint_ = 1;
    bool needsDisplay_ = true;
    std::optional<Drag> drag_;
    std::optional<int> pressedButton_;
    Click lastReadoutClick_;
};
