#include "studio/settings/SettingsRenderer.h"

#include "studio/ui/Drawing.h"

#include <cmath>

namespace tolvane::studio {

namespace {

const Rgba& label() { return SettingsView::labelColor; }

}  // namespace

void SettingsRenderer::draw(cairo_t* cr, const SettingsSheetLayout& layout, SheetControl pressed) const {
    cairo_save(cr);
    useUnroundedTextMetrics(cr);
    fillRect(cr, layout.sheet, Rgba::grey(0));

    drawText(cr, fonts_, layout.title);
    if (layout.version) drawText(cr, fonts_, *layout.version);
    drawPushButton(cr, fonts_, layout.done.frame, layout.done.title, true, pressed == SheetControl::done);
    fillRect(cr, layout.divider, label().withAlpha(0.3));

    for (const SheetCard& card : layout.cards) drawCard(cr, card);
    for (const SheetPill& pill : layout.pills) drawPill(cr, pill);
    for (const TextRun& text : layout.texts) drawText(cr, fonts_, text);
    if (layout.slider.frame.width > 0) drawSlider(cr, layout.slider);
    if (layout.rate) {
        const Rgba plate = Rgba::grey(pressed == SheetControl::rate ? 0.26 : 0.18);
        fillRoundedRect(cr, layout.rate->frame, 8, plate);
        drawText(cr, fonts_, layout.rate->title);
    }
    if (layout.link) {
        drawText(cr, fonts_, *layout.link);
        // Links are underlined, so they read as something to click.
        const Rect& f = layout.link->frame;
        fillRect(cr, Rect{f.x, std::round(f.y + f.height - 1), f.width, 1}, layout.link->color.withAlpha(0.6));
    }
    cairo_restore(cr);
}

void SettingsRenderer::drawCard(cairo_t* cr, const SheetCard& card) const {
    const Rect& f = card.frame;
    cairo_save(cr);
    roundedRectangle(cr, f.x, f.y, f.width, f.height, 10);
    cairo_clip(cr);
    fillRect(cr, f, Rgba::grey(0.08));
    // The stroke is centred on the outline and clipped to it, as the plate is.
    roundedRectangle(cr, f.x, f.y, f.width, f.height, 10);
    setSource(cr, label().withAlpha(0.18));
    cairo_set_line_width(cr, 1);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_MITER);
    cairo_set_miter_limit(cr, 10);
    cairo_stroke(cr);
    cairo_restore(cr);
    drawText(cr, fonts_, card.title);
}

void SettingsRenderer::drawPill(cairo_t* cr, const SheetPill& pill) const {
    fillRoundedRect(cr, pill.frame, 6, Rgba::grey(pill.selected ? 0.7 : 0.15));
    drawText(cr, fonts_, pill.caption);
}

void SettingsRenderer::drawSlider(cairo_t* cr, const SheetSlider& slider) const {
    const Rect& t = slider.track;
    // The track, filled with the tint up to the thumb.
    fillRoundedRect(cr, t, t.height / 2, Rgba::grey(0.28));
    fillRoundedRect(cr, Rect{t.x, t.y, slider.thumbX - t.x, t.height}, t.height / 2, label());
    const double cy = t.midY();
    cairo_save(cr);
    cairo_arc(cr, slider.thumbX, cy + 0.5, 8, 0, 2 * M_PI);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.35);
    cairo_fill(cr);
    cairo_arc(cr, slider.thumbX, cy, 7.5, 0, 2 * M_PI);
    cairo_set_source_rgb(cr, 0.86, 0.86, 0.86);
    cairo_fill(cr);
    cairo_restore(cr);
}

}  // namespace tolvane::studio
