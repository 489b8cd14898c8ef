#pragma once

#include "panel/layout/TextMetrics.h"
#include "panel/render/CairoSupport.h"
#include "platform/foundation/Bundle.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

// Font faces by the names views use, read with FreeType from the font files a bundle carries
// (nothing is registered with the system). A name whose file is missing or unreadable gets a
// plain sans-serif face, so text still shows.
class BundleFonts {
public:
    // `files` maps each face name to a file name among the bundle's resources.
    BundleFonts(const Bundle& bundle, const std::map<std::string, std::string>& files);

    cairo_font_face_t* font(std::string_view name) const;
    // File names the bundle lacked, and what went wrong reading the others.
    const std::vector<std::string>& missing() const { return missing_; }
    const std::vector<std::string>& problems() const { return problems_; }

private:
    std::map<std::string, FontFace, std::less<>> fonts_;
    FontFace fallback_;
    std::vector<std::string> missing_;
    std::vector<std::string> problems_;
};

// Sets text on `cr` unhinted, with the advances and extents of the faces unrounded (whatever the
// surface's default), as the text metrics below measure them.
void useUnroundedTextMetrics(cairo_t* cr);

// Text sizes as the faces set them, for layouts (what is hit is what is drawn).
class CairoTextMetrics final : public TextMetrics {
public:
    explicit CairoTextMetrics(const BundleFonts& fonts);
    double width(std::string_view font, double size, std::string_view text) const override;
    double lineHeight(std::string_view font, double size) const override;

private:
    const BundleFonts& fonts_;
    Surface surface_;
    Context cr_;
};

// Draws one line of text in a face with the top of its line box at `top`.
void drawTextLine(cairo_t* cr, cairo_font_face_t* face, double size, std::string_view text, double x, double top);
