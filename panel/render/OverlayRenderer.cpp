// The layers over the panel: the AM/FM switch, the settings overlay, the preset-name dialog and
// the preset chooser.

#include "panel/render/PanelRenderer.h"
#include "panel/render/Symbols.h"

#include <algorithm>
#include <cmath>

namespace {

// The dark layers round the panel's corners by a fixed amount at every scale.
constexpr double kCoverCornerRadius = 6;

void fillCover(cairo_t* cr, const Rect& r, double alpha) {
    roundedRectangle(cr, r.x, r.y, r.width, r.height, kCoverCornerRadius);
    cairo_set_source_rgba(cr, 0, 0, 0, alpha);
    cairo_fill(cr);
}

void setWhite(cairo_t* cr, double level, double alpha = 1) { cairo_set_source_rgba(cr, level, level, level, alpha); }

}  // namespace

void PanelRenderer::drawAmFmSwitch(cairo_t* cr, const AmFmSwitchLayout& layout,
                                   const Kessrin_VinylExtensionMainView& view, double s) {
    setWhite(cr, 0.7);
    drawTextLine(cr, PanelFonts::caption, 8 * s, "AM/FM", layout.caption.x, layout.caption.y);
    if (const MipImage* image = resources_.image(view.isAmFmModeFM() ? "FMswitch" : "AMswitch")) {
        double levelScale = 1;
        const double k = std::min(layout.button.width / image->width(), layout.button.height / image->height());
        cairo_surface_t* level = image->level(k, levelScale);
        paintImageFit(cr, level, layout.button.x, layout.button.y, layout.button.width, layout.button.height);
    }
}

void PanelRenderer::drawSettingsOverlay(cairo_t* cr, const SettingsOverlayLayout& o,
                                        const Kessrin_VinylExtensionMainView& view, double s) {
    cairo_save(cr);
    fillCover(cr, o.cover, 0.92);
    setWhite(cr, 0.7);
    drawTextLine(cr, PanelFonts::caption, 16 * s, "SETTINGS", o.title.x, o.title.y);
    if (o.version) {
        setWhite(cr, 1, 0.72);
        drawTextLine(cr, PanelFonts::system, 9 * s, view.versionLabel(), o.version->x, o.version->y);
    }
    setWhite(cr, 1);
    drawTextLine(cr, PanelFonts::caption, 13 * s, "Done", o.done.x, o.done.y);
    setWhite(cr, 0.25);
    cairo_rectangle(cr, o.divider.x, o.divider.y, o.divider.width, o.divider.height);
    cairo_fill(cr);

    setWhite(cr, 0.55);
    drawTextLine(cr, PanelFonts::caption, 10 * s, "DEVICE HISS", o.hissCaption.x, o.hissCaption.y);
    drawToggleButtonLabel(cr, o.hissOff, s);
    drawToggleButtonLabel(cr, o.hissOnButton, s);

    // The slider: the track, its filled part in the accent colour, and the thumb.
    const Rect& t = o.sliderTrack;
    const double fraction = std::clamp(static_cast<double>(view.hissLevelForSlider()) / 100, 0.0, 1.0);
    const double thumbX = t.x + fraction * t.width;
    roundedRectangle(cr, t.x, t.y, t.width, t.height, t.height / 2);
    setWhite(cr, 1, 0.18);
    cairo_fill(cr);
    roundedRectangle(cr, t.x, t.y, thumbX - t.x, t.height, t.height / 2);
    setWhite(cr, 0.6);
    cairo_fill(cr);
    cairo_arc(cr, thumbX, t.midY(), 7 * s, 0, 2 * M_PI);
    setWhite(cr, 0.86);
    cairo_fill_preserve(cr);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.35);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);

    setWhite(cr, 1, 0.78);
    drawTextLine(cr, PanelFonts::system, 9 * s, Kessrin_VinylExtensionMainView::makerSiteHost(), o.link.x, o.link.y);
    cairo_restore(cr);
}

void PanelRenderer::drawNameField(cairo_t* cr, const Rect& f, const Kessrin_VinylExtensionMainView& view, double s) {
    cairo_save(cr);
    roundedRectangle(cr, f.x, f.y, f.width, f.height, 6 * s);
    cairo_clip_preserve(cr);
    setWhite(cr, 1, 0.08);
    cairo_fill(cr);
    roundedRectangle(cr, f.x + 0.5, f.y + 0.5, f.width - 1, f.height - 1, 6 * s);
    setWhite(cr, 1, 0.12);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);

    const std::string& text = view.presetDraftName;
    const TextFieldState& field = view.presetDraftField;
    const double size = 14 * s;
    const double inner = f.width - 20 * s;
    const double lineHeight = metrics_.lineHeight(PanelFonts::system, size);
    const double textWidth = metrics_.width(PanelFonts::system, size, text);
    const double caretX = field.allSelected ? textWidth
                                            : metrics_.width(PanelFonts::system, size,
                                                             std::string_view(text).substr(0, std::min(field.caret, text.size())));
    // A long name slides left so the caret stays in sight.
    const double shift = std::max(0.0, caretX - inner + 2 * s);
    const double x = f.x + 10 * s - shift;
    const double top = f.y + (f.height - lineHeight) / 2;
    cairo_rectangle(cr, f.x + 4 * s, f.y, f.width - 8 * s, f.height);
    cairo_clip(cr);
    if (field.allSelected && !text.empty()) {
        cairo_rectangle(cr, x, top, textWidth, lineHeight);
        cairo_set_source_rgba(cr, 0.24, 0.42, 0.78, 0.75);
        cairo_fill(cr);
    }
    setWhite(cr, 1);
    drawTextLine(cr, PanelFonts::system, size, text, x, top);
    if (!field.allSelected) {
        cairo_rectangle(cr, x + caretX, top, std::max(1.0, 1.5 * s), lineHeight);
        setWhite(cr, 0.92);
        cairo_fill(cr);
    }
    cairo_restore(cr);
}

void PanelRenderer::drawPresetDialog(cairo_t* cr, const PresetDialogLayout& d,
                                     const Kessrin_VinylExtensionMainView& view, double s) {
    cairo_save(cr);
    fillCover(cr, d.cover, 0.9);
    roundedRectangle(cr, d.box.x, d.box.y, d.box.width, d.box.height, 8 * s);
    cairo_set_source_rgb(cr, 0.08, 0.08, 0.1);
    cairo_fill(cr);
    roundedRectangle(cr, d.box.x + 0.5, d.box.y + 0.5, d.box.width - 1, d.box.height - 1, 8 * s);
    setWhite(cr, 1, 0.12);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);

    setWhite(cr, 0.75);
    drawTextLine(cr, PanelFonts::caption, 16 * s, Kessrin_VinylExtensionMainView::presetDialogTitle(d.mode), d.title.x,
                 d.title.y);
    if (d.field) {
        drawNameField(cr, *d.field, view, s);
    } else {
        setWhite(cr, 1, 0.8);
        const double line = metrics_.lineHeight(PanelFonts::system, 13 * s);
        for (std::size_t i = 0; i < d.messageLines.size(); ++i) {
            drawTextLine(cr, PanelFonts::system, 13 * s, d.messageLines[i], d.message.x,
                         d.message.y + static_cast<double>(i) * line);
        }
    }
    drawPanelButtonLabel(cr, d.cancel, s);
    drawPanelButtonLabel(cr, d.confirm, s);
    cairo_restore(cr);
}

void PanelRenderer::drawPresetChooser(cairo_t* cr, const PresetChooserLayout& c,
                                      const Kessrin_VinylExtensionMainView& view, double s) {
    cairo_save(cr);
    fillCover(cr, c.dim, 0.38);
    cairo_rectangle(cr, c.box.x, c.box.y, c.box.width, c.box.height);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_fill(cr);

    const double size = 13 * s;
    if (c.emptyText) {
        const std::string text = "No Saved Presets";
        const double w = metrics_.width(PanelFonts::system, 12 * s, text);
        setWhite(cr, 1, 0.78);
        drawTextLine(cr, PanelFonts::system, 12 * s, text, c.emptyText->midX() - w / 2, c.emptyText->y + 10 * s);
    } else {
        cairo_save(cr);
        cairo_rectangle(cr, c.list.x, c.list.y, c.list.width, c.list.height);
        cairo_clip(cr);
        for (const PresetRowLayout& row : c.rows) {
            const Rect& r = row.frame;
            if (row.selected) {
                roundedRectangle(cr, r.x, r.y, r.width, r.height, 4 * s);
                setWhite(cr, 1, 0.12);
                cairo_fill(cr);
            }
            // Room for the check mark, and for the scroll indicator beside a long list.
            const double check = (row.selected ? size + 8 * s : 0) + (c.scrollIndicator ? 8 * s : 0);
            setWhite(cr, 1);
            const std::string name = truncatedText(metrics_, PanelFonts::system, size,
                                                   view.presets[row.presetIndex].name, r.width - 16 * s - check);
            drawTextLine(cr, PanelFonts::system, size, name, r.x + 8 * s, r.y + 4 * s);
            if (row.selected) {
                const double right = r.x + r.width - 8 * s - (c.scrollIndicator ? 8 * s : 0);
                drawCheckmarkSymbol(cr, right - size / 2, r.midY(), size);
            }
        }
        cairo_restore(cr);
        if (c.scrollIndicator) {
            const Rect& i = *c.scrollIndicator;
            roundedRectangle(cr, i.x, i.y, i.width, i.height, i.width / 2);
            setWhite(cr, 1, 0.35);
            cairo_fill(cr);
        }
    }
    setWhite(cr, 1, 0.12);
    cairo_rectangle(cr, c.divider.x, c.divider.y, c.divider.width, c.divider.height);
    cairo_fill(cr);
    setWhite(cr, 1, c.trashEnabled ? 0.82 : 0.28);
    drawTrashSymbol(cr, c.trash.midX(), c.trash.midY(), 12 * s);
    cairo_restore(cr);
}
