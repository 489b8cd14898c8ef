// The preset bar: its buttons, the gear, and the 30-cell display with its lit characters.

#include "panel/render/PanelRenderer.h"
#include "panel/render/Symbols.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace {

struct Rgb {
    double r, g, b;
};
constexpr Rgb kLitSaved{0, 203 / 255.0, 1};
constexpr Rgb kLitUnsaved{0, 1, 4 / 255.0};
constexpr Rgb kUnlitSegment{0, 50 / 255.0, 5 / 255.0};
// Every segment of a cell: the display face's own glyph for it, standing for the unlit "8" of a
// seven-segment face, so that letters with diagonal strokes have their unlit segments too.
constexpr const char* kAllSegments = "~";
constexpr double kDisplayFontSize = 18;
constexpr double kGlowOpacity = 0.55;
constexpr double kGlowRadius = 2.2;

void setSourceRgb(cairo_t* cr, const Rgb& c, double alpha = 1) { cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha); }

// The display face set at its size and narrowed so that one glyph fits a cell.
void setDisplayFont(cairo_t* cr, cairo_font_face_t* face, double s, double cellWidth) {
    useUnhintedText(cr);
    cairo_set_font_face(cr, face);
    cairo_set_font_size(cr, kDisplayFontSize * s);
    cairo_text_extents_t e;
    cairo_text_extents(cr, kAllSegments, &e);
    const double narrowing = e.x_advance > 0 ? std::min(1.0, 0.92 * cellWidth / e.x_advance) : 1;
    cairo_matrix_t m;
    cairo_matrix_init_scale(&m, kDisplayFontSize * s * narrowing, kDisplayFontSize * s);
    cairo_set_font_matrix(cr, &m);
}

// Where a glyph starts so that the all-segments glyph's ink centres on (cx, cy).
void cellOrigin(cairo_t* cr, double cx, double cy, double& x, double& baseline) {
    cairo_text_extents_t e;
    cairo_text_extents(cr, kAllSegments, &e);
    x = cx - (e.x_bearing + e.width / 2);
    baseline = cy - (e.y_bearing + e.height / 2);
}

// A lit "<" (or ">") as a chevron of segment strokes, leaning like the display's italic face,
// with its ink's outer edge at `edgeX`.
void showArrow(cairo_t* cr, double edgeX, double midY, double inkHeight, double s, bool pointsLeft) {
    const double h = 0.55 * inkHeight, w = 0.5 * h, line = 1.6 * s;
    const double lean = std::tan(7 * M_PI / 180);
    const double tipX = pointsLeft ? edgeX + line / 2 : edgeX - line / 2;
    const double tailX = pointsLeft ? tipX + w : tipX - w;
    cairo_save(cr);
    cairo_new_path(cr);
    cairo_move_to(cr, tailX + lean * h / 2, midY - h / 2);
    cairo_line_to(cr, tipX, midY);
    cairo_line_to(cr, tailX - lean * h / 2, midY + h / 2);
    cairo_set_line_width(cr, line);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_MITER);
    cairo_stroke(cr);
    cairo_restore(cr);
}

}  // namespace

void PanelRenderer::drawTextLine(cairo_t* cr, std::string_view font, double size, std::string_view text, double x,
                                 double top) {
    ::drawTextLine(cr, resources_.font(font), size, text, x, top);
}

void PanelRenderer::drawPanelButtonLabel(cairo_t* cr, const LabelButtonLayout& button, double s) {
    const Rect& f = button.frame;
    cairo_save(cr);
    roundedRectangle(cr, f.x, f.y, f.width, f.height, 5 * s);
    cairo_clip_preserve(cr);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.58);
    cairo_fill(cr);
    const double level = button.highlighted ? 0.78 : 0.38;
    cairo_set_source_rgb(cr, level, level, level);
    drawTextLine(cr, PanelFonts::caption, 10 * s, button.title, f.x + 9 * s, f.y + 6 * s);
    // The border, inside the clip.
    roundedRectangle(cr, f.x + 0.5, f.y + 0.5, f.width - 1, f.height - 1, 5 * s);
    cairo_set_source_rgba(cr, 1, 1, 1, button.highlighted ? 0.12 : 0.06);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    cairo_restore(cr);
}

void PanelRenderer::drawToggleButtonLabel(cairo_t* cr, const LabelButtonLayout& button, double s) {
    const Rect& f = button.frame;
    const bool active = button.highlighted;
    cairo_save(cr);
    roundedRectangle(cr, f.x, f.y, f.width, f.height, 5);
    const double plate = active ? 0.7 : 0.15;
    cairo_set_source_rgb(cr, plate, plate, plate);
    cairo_fill(cr);
    const double text = active ? 0 : 0.7;
    cairo_set_source_rgb(cr, text, text, text);
    drawTextLine(cr, PanelFonts::caption, 12 * s, button.title, f.x + 14 * s, f.y + 7 * s);
    cairo_restore(cr);
}

void PanelRenderer::drawPresetBar(cairo_t* cr, const PresetBarLayout& bar, const Kessrin_VinylExtensionMainView& view,
                                  double s) {
    drawDisplay(cr, bar, view, s);
    drawPanelButtonLabel(cr, bar.mono, s);
    drawPanelButtonLabel(cr, bar.save, s);
    drawPanelButtonLabel(cr, bar.saveAs, s);
    if (bar.gear) {
        cairo_set_source_rgb(cr, 0.7, 0.7, 0.7);
        drawGearSymbol(cr, bar.gear->midX(), bar.gear->midY(), 13 * s);
    }
}

void PanelRenderer::drawDisplay(cairo_t* cr, const PresetBarLayout& bar, const Kessrin_VinylExtensionMainView& view,
                                double s) {
    const bool dirty = view.hasUnsavedChanges();
    const std::vector<std::string> cells =
        Kessrin_VinylExtensionMainView::displayCellsFor(view.currentPresetName(), static_cast<int>(bar.cells.size()), dirty);
    const Rect& d = bar.display;
    std::ostringstream key;
    key << dirty << ' ' << s << ' ' << d.x << ' ' << d.y << ' ';
    for (const std::string& cell : cells) key << cell;
    if (key.str() != displayKey_ || !displayLayer_) {
        // Drawn once into a surface of its own, glow included, and kept while nothing changes.
        const double pad = std::ceil(4 * kGlowRadius * s);
        const double ox = std::floor(d.x - pad), oy = std::floor(d.y - pad);
        displayLayer_ = makeImageSurface(static_cast<int>(std::ceil(d.x + d.width + pad - ox)),
                                         static_cast<int>(std::ceil(d.y + d.height + pad - oy)));
        Context c = makeContext(displayLayer_.get());
        cairo_t* lc = c.get();
        cairo_translate(lc, -ox, -oy);
        roundedRectangle(lc, d.x, d.y, d.width, d.height, 4 * s);
        cairo_set_source_rgba(lc, 0, 0, 0, 0.72);
        cairo_fill(lc);
        roundedRectangle(lc, d.x + 0.5, d.y + 0.5, d.width - 1, d.height - 1, 4 * s);
        cairo_set_source_rgba(lc, 1, 1, 1, 0.08);
        cairo_set_line_width(lc, 1);
        cairo_stroke(lc);

        cairo_font_face_t* face = resources_.font(PanelFonts::display);
        const double cellWidth = bar.cells.empty() ? 8.6 * s : bar.cells.front().width;
        setDisplayFont(lc, face, s, cellWidth);
        setSourceRgb(lc, kUnlitSegment);
        for (const Rect& cell : bar.cells) {
            double x, baseline;
            cellOrigin(lc, cell.midX(), cell.midY(), x, baseline);
            cairo_move_to(lc, x, baseline);
            showText(lc, kAllSegments);
        }
        // The lit characters and arrows: once blurred for their glow, then sharp over it.
        const auto showLit = [&](cairo_t* target) {
            setDisplayFont(target, face, s, cellWidth);
            for (std::size_t i = 0; i < cells.size() && i < bar.cells.size(); ++i) {
                if (cells[i] == " ") continue;
                double x, baseline;
                cellOrigin(target, bar.cells[i].midX(), bar.cells[i].midY(), x, baseline);
                cairo_move_to(target, x, baseline);
                showText(target, cells[i]);
            }
            // The face's own arrows are a few diagonal segments that do not read as arrows.
            cairo_text_extents_t e;
            cairo_text_extents(target, kAllSegments, &e);
            showArrow(target, bar.previousArrow.x + 2 * s, d.midY(), e.height, s, true);
            showArrow(target, bar.nextArrow.x + bar.nextArrow.width - 2 * s, d.midY(), e.height, s, false);
        };
        const Rgb lit = dirty ? kLitUnsaved : kLitSaved;
        Surface glow = makeImageSurface(cairo_image_surface_get_width(displayLayer_.get()),
                                        cairo_image_surface_get_height(displayLayer_.get()), CAIRO_FORMAT_A8);
        {
            Context gc = makeContext(glow.get());
            cairo_translate(gc.get(), -ox, -oy);
            showLit(gc.get());
        }
        blurSurface(glow.get(), kGlowRadius * s / 2);
        setSourceRgb(lc, lit, kGlowOpacity);
        cairo_identity_matrix(lc);
        cairo_mask_surface(lc, glow.get(), 0, 0);
        cairo_translate(lc, -ox, -oy);
        setSourceRgb(lc, lit);
        showLit(lc);
        displayKey_ = key.str();
        displayLayerX_ = ox;
        displayLayerY_ = oy;
    }
    cairo_set_source_surface(cr, displayLayer_.get(), displayLayerX_, displayLayerY_);
    cairo_paint(cr);
}
