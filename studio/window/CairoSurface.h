#pragma once

#include "panel/layout/PanelLayout.h"

#include <cairo.h>

#include <cstdint>
#include <functional>
#include <memory>

namespace DGL {
class Application;
}

namespace tolvane::studio {

// What a surface asks of the code that owns it: drawing, and the pointer and keys.
class SurfaceDelegate {
public:
    virtual ~SurfaceDelegate() = default;
    virtual void draw(cairo_t* cr, double width, double height) = 0;
    virtual void mouse(bool press, double x, double y) { (void)press, (void)x, (void)y; }
    virtual void motion(double x, double y) { (void)x, (void)y; }
    virtual void key(unsigned key, unsigned modifiers) { (void)key, (void)modifiers; }
};

// A window drawn with Cairo (DGL's Cairo backend): the studio's own top-level window, or a child
// placed inside another window (the studio's menu, sheet and alerts sit above the effect's view
// in children of their own, since a parent cannot draw over its children).
class CairoSurface {
public:
    // A top-level window.
    CairoSurface(DGL::Application& app, SurfaceDelegate& delegate, unsigned width, unsigned height, const char* title);
    // A child of the native window `parent`, at `frame` in its coordinates.
    CairoSurface(DGL::Application& app, uintptr_t parent, SurfaceDelegate& delegate, const Rect& frame);
    ~CairoSurface();
    CairoSurface(const CairoSurface&) = delete;
    CairoSurface& operator=(const CairoSurface&) = delete;

    void setFrame(const Rect& frame);  // children
    void setSize(unsigned width, unsigned height);
    void setMinimumSize(unsigned width, unsigned height);  // top-level windows
    unsigned width() const;
    unsigned height() const;
    void repaint();
    void focus();
    uintptr_t nativeWindowHandle() const;
    // The window-system connection the surface draws through, once it has drawn; null before.
    void* connection() const;
    // Called when the user closes a top-level window; it stays open unless the handler closes it.
    void setCloseHandler(std::function<void()> handler);

    struct Parts;

private:
    std::unique_ptr<Parts> parts_;
    unsigned minimumWidth_ = 0, minimumHeight_ = 0;
};

}  // namespace tolvane::studio
