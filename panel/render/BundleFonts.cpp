#include "panel/render/BundleFonts.h"

#include <exception>

BundleFonts::BundleFonts(const Bundle& bundle, const std::map<std::string, std::string>& files) {
    for (const auto& [name, file] : files) {
        const auto dot = file.rfind('.');
        try {
            if (auto path = bundle.URLForResource(file.substr(0, dot), file.substr(dot + 1))) {
                fonts_.emplace(name, loadFontFace(*path));
                continue;
            }
        } catch (const std::exception& e) {
            problems_.emplace_back(e.what());
        }
        missing_.push_back(file);
    }
    fallback_.reset(cairo_toy_font_face_create("sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL));
}

cairo_font_face_t* BundleFonts::font(std::string_view name) const {
    const auto found = fonts_.find(name);
    return found == fonts_.end() ? fallback_.get() : found->second.get();
}

void useUnroundedTextMetrics(cairo_t* cr) { useUnhintedText(cr); }

CairoTextMetrics::CairoTextMetrics(const BundleFonts& fonts)
    : fonts_(fonts), surface_(makeImageSurface(1, 1)), cr_(makeContext(surface_.get())) {
    useUnroundedTextMetrics(cr_.get());
}

double CairoTextMetrics::width(std::string_view font, double size, std::string_view text) const {
    cairo_set_font_face(cr_.get(), fonts_.font(font));
    cairo_set_font_size(cr_.get(), size);
    cairo_text_extents_t e;
    cairo_text_extents(cr_.get(), std::string(text).c_str(), &e);
    return e.x_advance;
}

double CairoTextMetrics::lineHeight(std::string_view font, double size) const {
    cairo_set_font_face(cr_.get(), fonts_.font(font));
    cairo_set_font_size(cr_.get(), size);
    cairo_font_extents_t e;
    cairo_font_extents(cr_.get(), &e);
    return e.ascent + e.descent;
}

void drawTextLine(cairo_t* cr, cairo_font_face_t* face, double size, std::string_view text, double x, double top) {
    useUnhintedText(cr);
    cairo_set_font_face(cr, face);
    cairo_set_font_size(cr, size);
    cairo_font_extents_t fe;
    cairo_font_extents(cr, &fe);
    cairo_move_to(cr, x, top + fe.ascent);
    showText(cr, text);
}
