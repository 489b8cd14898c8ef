#pragma once

#include <cairo.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

// Small owning handles and helpers over Cairo, shared by the panel's renderer and the art the
// resource generator draws.

struct SurfaceDeleter {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

struct ContextDeleter {
    void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
using Context = std::unique_ptr<cairo_t, ContextDeleter>;

struct FontFaceDeleter {
    void operator()(cairo_font_face_t* f) const { cairo_font_face_destroy(f); }
};
using FontFace = std::unique_ptr<cairo_font_face_t, FontFaceDeleter>;

Surface makeImageSurface(int width, int height, cairo_format_t format = CAIRO_FORMAT_ARGB32);
Context makeContext(cairo_surface_t* surface);

// A PNG file as an image surface; throws std::runtime_error when it cannot be read.
Surface loadPng(const std::filesystem::path& path);
// Writes a surface as PNG; throws std::runtime_error on failure.
void writePng(cairo_surface_t* surface, const std::filesystem::path& path);

// A font face read with FreeType straight from its file, for this process's drawing only (nothing
// is registered with the system's font configuration). Throws std::runtime_error on failure.
FontFace loadFontFace(const std::filesystem::path& path);

// Lays text out unhinted on `cr`: outlines as drawn and advances unrounded, whatever the
// surface's default, so spacing is the face's own at every size and scale.
void useUnhintedText(cairo_t* cr);
// Draws text unhinted with its baseline starting at the current point (moved onto a whole pixel
// row), and moves the point past it. The glyphs are filled as outlines: the image surface would snap each glyph drawn as text to
// a whole pixel, which at caption sizes makes the gaps between letters visibly uneven.
void showText(cairo_t* cr, std::string_view text);

// Text set letter by letter with `tracking` extra units after each letter but the last.
double trackedTextWidth(cairo_t* cr, std::string_view text, double tracking);
// Draws it with its baseline starting at the current point.
void showTrackedText(cairo_t* cr, std::string_view text, double tracking);

// Blurs an ARGB or A8 image surface in place (every channel, premultiplied): three box passes per axis that
// approach a Gaussian of standard deviation `sigma` pixels.
void blurSurface(cairo_surface_t* surface, double sigma);

// Adds a rounded-rectangle path.
void roundedRectangle(cairo_t* cr, double x, double y, double width, double height, double radius);

// Paints `image` scaled to fit inside (x, y, width, height) keeping its aspect, centred.
void paintImageFit(cairo_t* cr, cairo_surface_t* image, double x, double y, double width, double height,
                   double alpha = 1);
