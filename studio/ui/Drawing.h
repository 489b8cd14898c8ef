#pragma once

#include "panel/render/BundleFonts.h"
#include "studio/ui/StudioStyle.h"

#include <cairo.h>

namespace tolvane::studio {

void setSource(cairo_t* cr, const Rgba& color);
void fillRect(cairo_t* cr, const Rect& rect, const Rgba& color);
void fillRoundedRect(cairo_t* cr, const Rect& rect, double radius, const Rgba& color);
void drawText(cairo_t* cr, const BundleFonts& fonts, const TextRun& run);
// A push button's bezel with its title; a disabled one is dimmed, a pressed one darker.
void drawPushButton(cairo_t* cr, const BundleFonts& fonts, const Rect& frame, const TextRun& title, bool enabled = true,
                    bool pressed = false);

}  // namespace tolvane::studio
