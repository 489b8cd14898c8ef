#include "studio/ui/Drawing.h"

namespace tolvane::studio {

void setSource(cairo_t* cr, const Rgba& color) { cairo_set_source_rgba(cr, color.r, color.g, color.b, color.a); }

void fillRect(cairo_t* cr, const Rect& rect, const Rgba& color) {
    setSource(cr, color);
    cairo_rectangle(cr, rect.x, rect.y, rect.width, rect.height);
    cairo_fill(cr);
}

void fillRoundedRect(cairo_t* cr, const Rect& rect, double radius, const Rgba& color) {
    setSource(cr, color);
    roundedRectangle(cr, rect.x, rect.y, rect.width, rect.height, radius);
    cairo_fill(cr);
}

void drawText(cairo_t* cr, const BundleFonts& fonts, const TextRun& run) {
    setSource(cr, run.color);
    drawTextLine(cr, fonts.font(run.font), run.size, run.text, run.frame.x, run.frame.y);
}

void drawPushButton(cairo_t* cr, const BundleFonts& fonts, const Rect& frame, const TextRun& title, bool enabled,
                    bool pressed) {
    cairo_save(cr);
    // A soft top-lit bezel with a hairline edge.
    cairo_pattern_t* bezel = cairo_pattern_create_linear(0, frame.y, 0, frame.y + frame.height);
    const double top = pressed ? 0.30 : 0.40, bottom = pressed ? 0.26 : 0.34;
    cairo_pattern_add_color_stop_rgb(bezel, 0, top, top, top);
    cairo_pattern_add_color_stop_rgb(bezel, 1, bottom, bottom, bottom);
    roundedRectangle(cr, frame.x, frame.y, frame.width, frame.height, 5);
    cairo_set_source(cr, bezel);
    cairo_fill_preserve(cr);
    cairo_pattern_destroy(bezel);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.10);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    TextRun run = title;
    if (!enabled) run.color = run.color.withAlpha(0.4);
    drawText(cr, fonts, run);
    cairo_restore(cr);
}

}  // namespace tolvane::studio
