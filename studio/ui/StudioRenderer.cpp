#include "studio/ui/StudioRenderer.h"

#include "studio/ui/Drawing.h"

#include <cstdio>

namespace tolvane::studio {

StudioResources::StudioResources(const Bundle& bundle) : fonts_(bundle, StudioFonts::files()), metrics_(fonts_) {
    for (const std::string& problem : fonts_.problems()) std::fprintf(stderr, "Tolvane: %s\n", problem.c_str());
    for (const std::string& file : fonts_.missing()) std::fprintf(stderr, "Tolvane: the studio's folder lacks %s\n", file.c_str());
}

void StudioRenderer::drawContent(cairo_t* cr, const ContentLayout& layout, bool playPressed) const {
    cairo_save(cr);
    useUnroundedTextMetrics(cr);
    fillRect(cr, layout.view, StudioStyle::windowBackground);
    for (const TextRun& line : layout.messageLines) drawText(cr, fonts_, line);
    for (const TextRun& part : layout.crashNotice) drawText(cr, fonts_, part);
    if (layout.playCaption) drawText(cr, fonts_, *layout.playCaption);
    if (layout.playButton) drawPushButton(cr, fonts_, *layout.playButton, *layout.playTitle, true, playPressed);
    cairo_restore(cr);
}

void StudioRenderer::drawMenuBar(cairo_t* cr, const MenuBarLayout& layout, bool menuOpen) const {
    cairo_save(cr);
    useUnroundedTextMetrics(cr);
    fillRect(cr, layout.bar, Rgba::grey(0.19));
    fillRect(cr, Rect{layout.bar.x, layout.bar.y + layout.bar.height - 1, layout.bar.width, 1}, Rgba::grey(0.06));
    if (menuOpen) fillRect(cr, Rect{layout.titleFrame.x, 0, layout.titleFrame.width, layout.bar.height - 1}, StudioStyle::selectionBackground);
    drawText(cr, fonts_, layout.title);
    cairo_restore(cr);
}

void StudioRenderer::drawMenu(cairo_t* cr, const MenuLayout& layout, std::optional<std::size_t> highlighted) const {
    cairo_save(cr);
    useUnroundedTextMetrics(cr);
    const Rect& f = layout.frame;
    fillRect(cr, f, Rgba::grey(0.17));
    cairo_rectangle(cr, f.x + 0.5, f.y + 0.5, f.width - 1, f.height - 1);
    setSource(cr, Rgba::grey(0.32));
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    for (const Rect& separator : layout.separators) fillRect(cr, separator, Rgba::grey(0.3));
    for (std::size_t i = 0; i < layout.rows.size(); ++i) {
        const MenuRowLayout& row = layout.rows[i];
        const bool lit = highlighted == i && row.enabled;
        if (lit) fillRoundedRect(cr, row.frame, 4, StudioStyle::selectionBackground);
        TextRun title = row.title;
        if (lit) title.color = Rgba::grey(1);
        drawText(cr, fonts_, title);
        if (row.shortcut) drawText(cr, fonts_, *row.shortcut);
    }
    cairo_restore(cr);
}

void StudioRenderer::drawAlert(cairo_t* cr, const AlertLayout& layout, std::optional<std::size_t> pressed) const {
    cairo_save(cr);
    useUnroundedTextMetrics(cr);
    fillRect(cr, layout.cover, Rgba::grey(0.07));
    const Rect& b = layout.box;
    fillRoundedRect(cr, b, 10, Rgba::grey(0.2));
    roundedRectangle(cr, b.x + 0.5, b.y + 0.5, b.width - 1, b.height - 1, 10);
    setSource(cr, Rgba::grey(0.34));
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    drawText(cr, fonts_, layout.title);
    for (const TextRun& line : layout.messageLines) drawText(cr, fonts_, line);
    const std::size_t count = layout.buttons.size();
    for (std::size_t k = 0; k < count; ++k) {
        const auto& button = layout.buttons[k];
        if (button.isDefault) {
            // The default button carries the accent colour.
            fillRoundedRect(cr, button.frame, 5, pressed == count - 1 - k ? Rgba{0.12, 0.34, 0.72, 1} : StudioStyle::selectionBackground);
            drawText(cr, fonts_, button.title);
        } else {
            drawPushButton(cr, fonts_, button.frame, button.title, true, pressed == count - 1 - k);
        }
    }
    cairo_restore(cr);
}

}  // namespace tolvane::studio
