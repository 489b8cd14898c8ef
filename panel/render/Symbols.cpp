#include "panel/render/Symbols.h"

#include <cmath>
#include <initializer_list>

namespace {

constexpr double kPi = 3.14159265358979323846;

}  // namespace

void drawGearSymbol(cairo_t* cr, double cx, double cy, double size) {
    // Eight square-cut teeth around a solid ring with a round hole.
    constexpr int kTeeth = 8;
    const double outer = 0.54 * size;
    const double root = 0.42 * size;
    const double hole = 0.17 * size;
    const double period = 2 * kPi / kTeeth;
    cairo_save(cr);
    cairo_new_path(cr);
    for (int i = 0; i < kTeeth; ++i) {
        const double a = i * period - kPi / 2;
        // The tooth is a little narrower at its tip than at its root.
        const double rootHalf = 0.27 * period, tipHalf = 0.19 * period;
        cairo_arc(cr, cx, cy, root, a - period / 2, a - rootHalf);
        cairo_line_to(cr, cx + outer * std::cos(a - tipHalf), cy + outer * std::sin(a - tipHalf));
        cairo_arc(cr, cx, cy, outer, a - tipHalf, a + tipHalf);
        cairo_line_to(cr, cx + root * std::cos(a + rootHalf), cy + root * std::sin(a + rootHalf));
        cairo_arc(cr, cx, cy, root, a + rootHalf, a + period / 2);
    }
    cairo_close_path(cr);
    cairo_new_sub_path(cr);
    cairo_arc_negative(cr, cx, cy, hole, 2 * kPi, 0);
    cairo_close_path(cr);
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
    cairo_fill(cr);
    cairo_restore(cr);
}

void drawCheckmarkSymbol(cairo_t* cr, double cx, double cy, double size) {
    cairo_save(cr);
    cairo_new_path(cr);
    cairo_move_to(cr, cx - 0.36 * size, cy + 0.02 * size);
    cairo_line_to(cr, cx - 0.1 * size, cy + 0.3 * size);
    cairo_line_to(cr, cx + 0.38 * size, cy - 0.34 * size);
    cairo_set_line_width(cr, 0.12 * size);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_stroke(cr);
    cairo_restore(cr);
}

void drawTrashSymbol(cairo_t* cr, double cx, double cy, double size) {
    const double line = 0.095 * size;
    cairo_save(cr);
    cairo_new_path(cr);
    cairo_set_line_width(cr, line);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    // The lid with its handle.
    const double lidY = cy - 0.36 * size;
    cairo_move_to(cr, cx - 0.46 * size, lidY);
    cairo_line_to(cr, cx + 0.46 * size, lidY);
    cairo_move_to(cr, cx - 0.15 * size, lidY);
    cairo_line_to(cr, cx - 0.15 * size, lidY - 0.13 * size);
    cairo_line_to(cr, cx + 0.15 * size, lidY - 0.13 * size);
    cairo_line_to(cr, cx + 0.15 * size, lidY);
    // The can, narrowing a little toward its rounded foot.
    const double top = lidY + 0.02 * size, bottom = cy + 0.52 * size, r = 0.08 * size;
    cairo_move_to(cr, cx - 0.36 * size, top);
    cairo_line_to(cr, cx - 0.31 * size, bottom - r);
    cairo_arc_negative(cr, cx - 0.31 * size + r, bottom - r, r, kPi, kPi / 2);
    cairo_line_to(cr, cx + 0.31 * size - r, bottom);
    cairo_arc_negative(cr, cx + 0.31 * size - r, bottom - r, r, kPi / 2, 0);
    cairo_line_to(cr, cx + 0.36 * size, top);
    // Three ribs.
    for (double x : {-0.15, 0.0, 0.15}) {
        cairo_move_to(cr, cx + x * size, lidY + 0.2 * size);
        cairo_line_to(cr, cx + x * size * 0.9, bottom - 0.14 * size);
    }
    cairo_stroke(cr);
    cairo_restore(cr);
}
