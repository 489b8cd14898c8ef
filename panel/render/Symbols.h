#pragma once

#include <cairo.h>

// The panel's three symbols drawn as vector paths in the current source colour, centred on
// (cx, cy) and sized like text of `size`: "gearshape.fill", "checkmark" and "trash".

void drawGearSymbol(cairo_t* cr, double cx, double cy, double size);
void drawCheckmarkSymbol(cairo_t* cr, double cx, double cy, double size);
void drawTrashSymbol(cairo_t* cr, double cx, double cy, double size);
