#include "studio/window/CairoSurface.h"

#include "Application.hpp"
#include "Cairo.hpp"
#include "Window.hpp"
#include "panel/window/WindowEvents.h"

#include <cmath>

namespace tolvane::studio {

namespace {

class SurfaceWindow final : public DGL::Window {
public:
    using DGL::Window::Window;
    std::function<void()> closeHandler;

protected:
    bool onClose() override {
        if (closeHandler) closeHandler();
        return false;
    }
};

class SurfaceWidget final : public DGL::CairoTopLevelWidget {
public:
    SurfaceWidget(DGL::Window& window, SurfaceDelegate& delegate) : DGL::CairoTopLevelWidget(window), delegate_(delegate) {}
    void* connection() const { return connection_; }

protected:
    void onCairoDisplay(const DGL::CairoGraphicsContext& context) override {
        connection_ = panel::windowConnectionOf(context.handle);
        delegate_.draw(context.handle, getWidth(), getHeight());
    }
    bool onMouse(const MouseEvent& event) override {
        if (event.button != DGL::kMouseButtonLeft) return false;
        delegate_.mouse(event.press, event.pos.getX(), event.pos.getY());
        return true;
    }
    bool onMotion(const MotionEvent& event) override {
        delegate_.motion(event.pos.getX(), event.pos.getY());
        return true;
    }
    bool onKeyboard(const KeyboardEvent& event) override {
        if (event.press) delegate_.key(event.key, event.mod);
        return true;
    }

private:
    SurfaceDelegate& delegate_;
    void* connection_ = nullptr;
};

unsigned pixels(double length) { return static_cast<unsigned>(std::max(1.0, std::round(length))); }

}  // namespace

struct CairoSurface::Parts {
    template <class... WindowArguments>
    Parts(SurfaceDelegate& delegate, WindowArguments&&... arguments)
        : window(std::forward<WindowArguments>(arguments)...), widget(window, delegate) {}

    SurfaceWindow window;
    SurfaceWidget widget;
};

CairoSurface::CairoSurface(DGL::Application& app, SurfaceDelegate& delegate, unsigned width, unsigned height,
                           const char* title)
    : parts_(std::make_unique<Parts>(delegate, app)) {
    parts_->window.setTitle(title);
    parts_->window.setResizable(true);
    parts_->window.setSize(width, height);
    parts_->window.show();
}

CairoSurface::CairoSurface(DGL::Application& app, uintptr_t parent, SurfaceDelegate& delegate, const Rect& frame)
    : parts_(std::make_unique<Parts>(delegate, app, parent, pixels(frame.width), pixels(frame.height), 1.0, false)) {
    parts_->window.setOffset(static_cast<int>(std::round(frame.x)), static_cast<int>(std::round(frame.y)));
    parts_->window.show();
}

CairoSurface::~CairoSurface() = default;

void CairoSurface::setFrame(const Rect& frame) {
    parts_->window.setOffset(static_cast<int>(std::round(frame.x)), static_cast<int>(std::round(frame.y)));
    setSize(pixels(frame.width), pixels(frame.height));
}

void CairoSurface::setSize(unsigned width, unsigned height) {
    if (width != parts_->window.getWidth() || height != parts_->window.getHeight()) parts_->window.setSize(width, height);
}

void CairoSurface::setMinimumSize(unsigned width, unsigned height) {
    // Each change rewrites the window's size hints on the X server, so only changes go out.
    if (width == minimumWidth_ && height == minimumHeight_) return;
    minimumWidth_ = width;
    minimumHeight_ = height;
    parts_->window.setGeometryConstraints(width, height, false, false);
}

unsigned CairoSurface::width() const { return parts_->window.getWidth(); }
unsigned CairoSurface::height() const { return parts_->window.getHeight(); }
void CairoSurface::repaint() { parts_->window.repaint(); }
void CairoSurface::focus() { parts_->window.focus(); }
uintptr_t CairoSurface::nativeWindowHandle() const { return parts_->window.getNativeWindowHandle(); }
void* CairoSurface::connection() const { return parts_->widget.connection(); }
void CairoSurface::setCloseHandler(std::function<void()> handler) { parts_->window.closeHandler = std::move(handler); }

}  // namespace tolvane::studio
