#pragma once

#include "panel/render/BundleFonts.h"
#include "studio/settings/SettingsLayout.h"

#include <cairo.h>

namespace tolvane::studio {

// Draws the settings sheet with Cairo from its layout.
class SettingsRenderer {
public:
    explicit SettingsRenderer(const BundleFonts& fonts) : fonts_(fonts) {}

    // `pressed`: the control under a press that has not been released yet.
    void draw(cairo_t* cr, const SettingsSheetLayout& layout, SheetControl pressed = SheetControl::none) const;

private:
    void drawCard(cairo_t* cr, const SheetCard& card) const;
    void drawPill(cairo_t* cr, const SheetPill& pill) const;
    void drawSlider(cairo_t* cr, const SheetSlider& slider) const;

    const BundleFonts& fonts_;
};

}  // namespace tolvane::studio
