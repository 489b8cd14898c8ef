#pragma once

// An off-screen frame for the panel's pixel tests, with coarse measures over its pixels.

#include "panel/layout/PanelLayout.h"
#include "panel/render/CairoSupport.h"

#include <cstdint>

namespace tolvane::test {

struct Pixel {
    double r, g, b;
    double brightness() const { return (r + g + b) / 3; }
};

class Frame {
public:
    Frame(int width, int height) : surface_(makeImageSurface(width, height)) {}
    cairo_surface_t* surface() const { return surface_.get(); }

    Pixel at(int x, int y) const {
        cairo_surface_flush(surface_.get());
        const auto* row = cairo_image_surface_get_data(surface_.get()) + y * cairo_image_surface_get_stride(surface_.get());
        const uint32_t p = reinterpret_cast<const uint32_t*>(row)[x];
        return {((p >> 16) & 0xFF) / 255.0, ((p >> 8) & 0xFF) / 255.0, (p & 0xFF) / 255.0};
    }
    // Mean of f over the pixels of a rectangle.
    template <class F>
    double mean(const Rect& r, F f) const {
        double sum = 0;
        int n = 0;
        for (int y = static_cast<int>(r.y); y < static_cast<int>(r.y + r.height); ++y) {
            for (int x = static_cast<int>(r.x); x < static_cast<int>(r.x + r.width); ++x, ++n) sum += f(at(x, y));
        }
        return n ? sum / n : 0;
    }

    // Pixels of a rectangle for which f holds.
    template <class F>
    int count(const Rect& r, F f) const {
        int n = 0;
        for (int y = static_cast<int>(r.y); y < static_cast<int>(r.y + r.height); ++y) {
            for (int x = static_cast<int>(r.x); x < static_cast<int>(r.x + r.width); ++x) n += f(at(x, y)) ? 1 : 0;
        }
        return n;
    }

private:
    Surface surface_;
};

}  // namespace tolvane::test
