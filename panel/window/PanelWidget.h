#pragma once

// The panel as a DGL widget: draws with Cairo and passes pointer and key events to the panel's
// view. Generic over its DGL base, so the same code is a plug-in's editor (DPF's UI class) and a
// window of its own embedded in any parent window (a Cairo top-level widget).

#include "Cairo.hpp"
#include "panel/PanelView.h"
#include "panel/render/PanelRenderer.h"
#include "platform/dispatch/DispatchQueue.h"

#include <memory>
#include <optional>
#include <utility>

namespace tolvane::panel {

template <class Base>
class PanelWidget : public Base {
public:
    // Loads the controller's view, which builds the panel when the controller has its unit.
    template <class... BaseArguments>
    explicit PanelWidget(std::shared_ptr<AudioUnitViewController> controller, BaseArguments&&... arguments)
        : Base(std::forward<BaseArguments>(arguments)...), view_(std::move(controller)) {
        view_.controller()->loadViewIfNeeded();
        view_.update();
    }

    PanelView& panelView() { return view_; }

    // Runs the main queue (host changes reach the panel there) and asks for a frame only when
    // something the panel shows has changed. Call it from the window's idle callback.
    void panelIdle() {
        MainQueue::drain();
        view_.update();
        prepareRenderer();
        if (view_.needsDisplay()) this->repaint();
    }

protected:
    void onCairoDisplay(const DGL_NAMESPACE::CairoGraphicsContext& context) override {
        cairo_t* cr = context.handle;
        view_.setSize(this->getWidth(), this->getHeight());
        Kessrin_VinylExtensionMainView* panel = view_.panel();
        if (!panel) {
            // No parameter tree, no panel: the view stays empty.
            cairo_set_source_rgb(cr, 0.05, 0.05, 0.055);
            cairo_paint(cr);
        } else {
            prepareRenderer();
            renderer_->draw(cr, view_.layout(), *panel);
        }
        view_.didDisplay();
    }

    bool onMouse(const DGL_NAMESPACE::Widget::MouseEvent& event) override {
        if (event.button != DGL_NAMESPACE::kMouseButtonLeft) return false;
        const bool handled = event.press ? view_.mousePress(event.pos.getX(), event.pos.getY(), event.time / 1000.0)
                                         : view_.mouseRelease(event.pos.getX(), event.pos.getY());
        afterInput();
        return handled;
    }

    bool onMotion(const DGL_NAMESPACE::Widget::MotionEvent& event) override {
        const bool handled = view_.mouseMotion(event.pos.getX(), event.pos.getY());
        afterInput();
        return handled;
    }

    bool onKeyboard(const DGL_NAMESPACE::Widget::KeyboardEvent& event) override {
        if (!event.press || !view_.wantsKeyboard()) return false;
        const bool handled = view_.keyPress(panelKey(event));
        afterInput();
        return handled;
    }

    bool onScroll(const DGL_NAMESPACE::Widget::ScrollEvent& event) override {
        const bool handled = view_.scroll(event.pos.getX(), event.pos.getY(), event.delta.getY());
        afterInput();
        return handled;
    }

    bool onCharacterInput(const DGL_NAMESPACE::Widget::CharacterInputEvent& event) override {
        if (!view_.wantsKeyboard()) return false;
        const bool handled = view_.textInput(event.string);
        afterInput();
        return handled;
    }

    void onResize(const DGL_NAMESPACE::Widget::ResizeEvent& event) override {
        Base::onResize(event);
        view_.setSize(event.size.getWidth(), event.size.getHeight());
        this->repaint();
    }

private:
    static PanelView::Key panelKey(const DGL_NAMESPACE::Widget::KeyboardEvent& event) {
        using namespace DGL_NAMESPACE;
        switch (event.key) {
        case kKeyBackspace: return PanelView::Key::backspace;
        case kKeyDelete: return PanelView::Key::deleteForward;
        case '\r':
        case '\n': return PanelView::Key::enter;
        case kKeyLeft: return PanelView::Key::left;
        case kKeyRight: return PanelView::Key::right;
        case kKeyHome: return PanelView::Key::home;
        case kKeyEnd: return PanelView::Key::end;
        case 'a':
            return (event.mod & kModifierControl) != 0 ? PanelView::Key::selectAll : PanelView::Key::other;
        default: return PanelView::Key::other;
        }
    }

    // The renderer for the panel's bundle; its fonts size the layout's text.
    void prepareRenderer() {
        Kessrin_VinylExtensionMainView* panel = view_.panel();
        if (!panel || (renderer_ && rendererBundle_ == panel->bundle.resourcePath())) return;
        view_.setTextMetrics(nullptr);
        renderer_.emplace(panel->bundle);
        rendererBundle_ = panel->bundle.resourcePath();
        view_.setTextMetrics(&renderer_->textMetrics());
    }

    void afterInput() {
        // Typing needs the keyboard, which the panel asks for only while a field is open.
        if (view_.wantsKeyboard() && !hadKeyboard_) this->getWindow().focus();
        hadKeyboard_ = view_.wantsKeyboard();
        if (view_.needsDisplay()) this->repaint();
    }

    PanelView view_;
    std::optional<PanelRenderer> renderer_;
    std::filesystem::path rendererBundle_;
    bool hadKeyboard_ = false;
};

}  // namespace tolvane::panel
