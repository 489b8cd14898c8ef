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

void useUnhintedText(cairo_t* cr) {
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_set_font_options(cr, options);
    cairo_font_options_destroy(options);
}

void showText(cairo_t* cr, std::string_view text) {
    useUnhintedText(cr);
    if (cairo_has_current_point(cr)) {
        // Letters keep their fractional places along the line; the baseline sits on a whole
        // pixel, so flat strokes stay sharp and a line reads the same wherever it is drawn.
        double x = 0, y = 0;
        cairo_get_current_point(cr, &x, &y);
        cairo_user_to_device(cr, &x, &y);
        y = std::round(y);
        cairo_device_to_user(cr, &x, &y);
        cairo_move_to(cr, x, y);
    }
    const std::string line(text);
    cairo_text_path(cr, line.c_str());
    double x = 0, y = 0;
    cairo_get_current_point(cr, &x, &y);
    cairo_fill(cr);
    cairo_move_to(cr, x, y);
}

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
        showText(cr, c);
        cairo_rel_move_to(cr, tracking, 0);
    });
}

namespace {

// Three box passes of radius r down every byte column of a packed rows x cols image, each reading
// one buffer and writing the other; the result ends in `b`. Outside the image counts as
// transparent. Columns are independent, so each row's update is a plain vector loop.
void boxPassesDown(std::vector<uint8_t>& a, std::vector<uint8_t>& b, int rows, int cols, int r) {
    const int window = 2 * r + 1;
    // sum * scale >> 16 divides by the window: 255 * 65536 still fits in 32 bits.
    const auto scale = static_cast<uint32_t>(std::lround(65536.0 / window));
    std::vector<uint32_t> sums(static_cast<std::size_t>(cols));
    const auto cols_ = static_cast<std::size_t>(cols);
    for (int pass = 0; pass < 3; ++pass) {
        const uint8_t* src = pass % 2 == 0 ? a.data() : b.data();
        uint8_t* dst = pass % 2 == 0 ? b.data() : a.data();
        std::fill(sums.begin(), sums.end(), 0u);
        for (int y = 0; y <= r && y < rows; ++y) {
            const uint8_t* row = src + static_cast<std::size_t>(y) * cols_;
            for (std::size_t c = 0; c < cols_; ++c) sums[c] += row[c];
        }
        for (int y = 0; y < rows; ++y) {
            uint8_t* out = dst + static_cast<std::size_t>(y) * cols_;
            for (std::size_t c = 0; c < cols_; ++c) out[c] = static_cast<uint8_t>((sums[c] * scale + 32768u) >> 16);
            if (y + r + 1 < rows) {
                const uint8_t* add = src + static_cast<std::size_t>(y + r + 1) * cols_;
                for (std::size_t c = 0; c < cols_; ++c) sums[c] += add[c];
            }
            if (y - r >= 0) {
                const uint8_t* drop = src + static_cast<std::size_t>(y - r) * cols_;
                for (std::size_t c = 0; c < cols_; ++c) sums[c] -= drop[c];
            }
        }
    }
    // Three passes leave the result in `b`.
}

// Swaps rows and columns of a packed image of `channels`-byte pixels.
void transpose(const std::vector<uint8_t>& src, std::vector<uint8_t>& dst, int rows, int cols, int channels) {
    const auto ch = static_cast<std::size_t>(channels);
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < cols; ++x) {
            const uint8_t* from = src.data() + (static_cast<std::size_t>(y) * cols + x) * ch;
            uint8_t* to = dst.data() + (static_cast<std::size_t>(x) * rows + y) * ch;
            for (std::size_t c = 0; c < ch; ++c) to[c] = from[c];
        }
    }
}

}  // namespace

void blurSurface(cairo_surface_t* surface, double sigma) {
    if (sigma <= 0.3) return;
    cairo_surface_flush(surface);
    const int width = cairo_image_surface_get_width(surface);
    const int height = cairo_image_surface_get_height(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const int channels = cairo_image_surface_get_format(surface) == CAIRO_FORMAT_A8 ? 1 : 4;
    uint8_t* data = cairo_image_surface_get_data(surface);
    // Three boxes of width w give a variance of 3 (w^2 - 1) / 12.
    const int r = std::max(1, static_cast<int>(std::lround((std::sqrt(4 * sigma * sigma + 1) - 1) / 2)));
    const std::size_t rowBytes = static_cast<std::size_t>(width) * channels;
    std::vector<uint8_t> a(rowBytes * height), b(a.size());
    for (int y = 0; y < height; ++y) std::copy_n(data + static_cast<std::ptrdiff_t>(y) * stride, rowBytes, a.data() + y * rowBytes);
    // Down the columns, then across the rows as the columns of the transposed image.
    boxPassesDown(a, b, height, static_cast<int>(rowBytes), r);
    transpose(b, a, height, width, channels);
    boxPassesDown(a, b, width, height * channels, r);
    transpose(b, a, width, height, channels);
    for (int y = 0; y < height; ++y) std::copy_n(a.data() + y * rowBytes, rowBytes, data + static_cast<std::ptrdiff_t>(y) * stride);
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
