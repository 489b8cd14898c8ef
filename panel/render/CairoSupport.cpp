#include "panel/render/CairoSupport.h"

#include <cairo-ft.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

Surface makeImageSurface(int width, int height, cairo_format_t format) {
    Surface surface(cairo_image_surface_create(format, std::max(1, width), std::max(1, height)));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) throw std::runtime_error("cannot make a surface");
    return surface;
}

Context makeContext(cairo_surface_t* surface) { return Context(cairo_create(surface)); }

Surface loadPng(const std::filesystem::path& path) {
    Surface surface(cairo_image_surface_create_from_png(path.c_str()));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
        throw std::runtime_error("cannot read the image " + path.string());
    }
    return surface;
}

void writePng(cairo_surface_t* surface, const std::filesystem::path& path) {
    if (cairo_surface_write_to_png(surface, path.c_str()) != CAIRO_STATUS_SUCCESS) {
        throw std::runtime_error("cannot write the image " + path.string());
    }
}

namespace {

// What a Cairo face made from a FreeType face must keep alive, freed when Cairo lets go of it.
struct FreeTypeHandles {
    FT_Library library = nullptr;
    FT_Face face = nullptr;
    ~FreeTypeHandles() {
        if (face) FT_Done_Face(face);
        if (library) FT_Done_FreeType(library);
    }
};

const cairo_user_data_key_t kFreeTypeKey{};

}  // namespace

FontFace loadFontFace(const std::filesystem::path& path) {
    auto handles = std::make_unique<FreeTypeHandles>();
    if (FT_Init_FreeType(&handles->library) != 0) throw std::runtime_error("cannot start FreeType");
    if (FT_New_Face(handles->library, path.c_str(), 0, &handles->face) != 0) {
        throw std::runtime_error("cannot read the font " + path.string());
    }
    FontFace face(cairo_ft_font_face_create_for_ft_face(handles->face, 0));
    const cairo_status_t status = cairo_font_face_set_user_data(
        face.get(), &kFreeTypeKey, handles.get(), [](void* p) { delete static_cast<FreeTypeHandles*>(p); });
    if (status != CAIRO_STATUS_SUCCESS) throw std::runtime_error("cannot attach the font " + path.string());
    handles.release();
    return face;
}

namespace {

// The byte length of the UTF-8 character that starts at text[i].
std::size_t characterLength(std::string_view text, std::size_t i) {
    std::size_t n = 1;
    while (i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80) ++n;
    return n;
}

template <class Visit>
void forEachCharacter(std::string_view text, Visit visit) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = characterLength(text, i);
        visit(std::string(text.substr(i, n)));
        i += n;
    }
}

}  // namespace

double trackedTextWidth(cairo_t* cr, std::string_view text, double tracking) {
    double width = 0;
    int count = 0;
    forEachCharacter(text, [&](const std::string& c) {
        cairo_text_extents_t extents;
        cairo_text_extents(cr, c.c_str(), &extents);
        width += extents.x_advance;
        ++count;
    });
    return width + tracking * std::max(0, count - 1);
}

void showTrackedText(cairo_t* cr, std::string_view text, double tracking) {
    forEachCharacter(text, [&](const std::string& c) {
        cairo_show_text(cr, c.c_str());
        cairo_rel_move_to(cr, tracking, 0);
    });
}

namespace {

// One box pass of radius r along rows or columns, over pixels of `channels` bytes.
template <int channels>
void boxPass(uint8_t* data, int length, int lines, int step, int lineStep, int r) {
    const int window = 2 * r + 1;
    std::vector<uint8_t> line(static_cast<std::size_t>(length) * channels);
    for (int l = 0; l < lines; ++l) {
        uint8_t* base = data + static_cast<std::ptrdiff_t>(l) * lineStep;
        for (int i = 0; i < length; ++i) {
            for (int c = 0; c < channels; ++c) {
                line[static_cast<std::size_t>(i) * channels + c] = base[static_cast<std::ptrdiff_t>(i) * step + c];
            }
        }
        uint32_t sums[channels] = {};
        // Outside the surface counts as transparent.
        for (int i = 0; i <= r && i < length; ++i) {
            for (int c = 0; c < channels; ++c) sums[c] += line[static_cast<std::size_t>(i) * channels + c];
        }
        for (int i = 0; i < length; ++i) {
            uint8_t* out = base + static_cast<std::ptrdiff_t>(i) * step;
            for (int c = 0; c < channels; ++c) out[c] = static_cast<uint8_t>(sums[c] / window);
            const int add = i + r + 1;
            const int drop = i - r;
            for (int c = 0; c < channels; ++c) {
                if (add < length) sums[c] += line[static_cast<std::size_t>(add) * channels + c];
                if (drop >= 0) sums[c] -= line[static_cast<std::size_t>(drop) * channels + c];
            }
        }
    }
}

template <int channels>
void boxBlur(uint8_t* data, int width, int height, int stride, int r) {
    for (int pass = 0; pass < 3; ++pass) boxPass<channels>(data, width, height, channels, stride, r);
    for (int pass = 0; pass < 3; ++pass) boxPass<channels>(data, height, width, stride, channels, r);
}

}  // namespace

void blurSurface(cairo_surface_t* surface, double sigma) {
    if (sigma <= 0.3) return;
    cairo_surface_flush(surface);
    const int width = cairo_image_surface_get_width(surface);
    const int height = cairo_image_surface_get_height(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    uint8_t* data = cairo_image_surface_get_data(surface);
    // Three boxes of width w give a variance of 3 (w^2 - 1) / 12.
    const int r = std::max(1, static_cast<int>(std::lround((std::sqrt(4 * sigma * sigma + 1) - 1) / 2)));
    if (cairo_image_surface_get_format(surface) == CAIRO_FORMAT_A8) {
        boxBlur<1>(data, width, height, stride, r);
    } else {
        boxBlur<4>(data, width, height, stride, r);
    }
    cairo_surface_mark_dirty(surface);
}

void roundedRectangle(cairo_t* cr, double x, double y, double width, double height, double radius) {
    radius = std::min({radius, width / 2, height / 2});
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + width - radius, y + radius, radius, -M_PI / 2, 0);
    cairo_arc(cr, x + width - radius, y + height - radius, radius, 0, M_PI / 2);
    cairo_arc(cr, x + radius, y + height - radius, radius, M_PI / 2, M_PI);
    cairo_arc(cr, x + radius, y + radius, radius, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

void paintImageFit(cairo_t* cr, cairo_surface_t* image, double x, double y, double width, double height, double alpha) {
    const double iw = cairo_image_surface_get_width(image);
    const double ih = cairo_image_surface_get_height(image);
    const double k = std::min(width / iw, height / ih);
    cairo_save(cr);
    cairo_translate(cr, x + (width - iw * k) / 2, y + (height - ih * k) / 2);
    cairo_scale(cr, k, k);
    cairo_set_source_surface(cr, image, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
    cairo_paint_with_alpha(cr, alpha);
    cairo_restore(cr);
}
