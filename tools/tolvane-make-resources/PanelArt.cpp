// The front panel's images, drawn with Cairo at twice the reference size: a dark brushed-metal
// panel, knob parts, tick rings, the divider, the effect buttons (unlit and lit) and the AM/FM
// switch. Pure functions of this code and the caption font file: no clock, fixed seeds.
#include "tools/tolvane-make-resources/Generators.h"

#include "panel/model/EffectsTable.h"
#include "panel/render/CairoSupport.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace tolvane::resources {
namespace {

namespace fs = std::filesystem;

constexpr double kPixelsPerPoint = 2;
constexpr double kPi = 3.14159265358979323846;

// A small deterministic generator (xorshift), the same on every machine.
struct Noise {
    uint64_t state;
    double next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<double>(state >> 11) / 9007199254740992.0;
    }
};

void setGrey(cairo_t* cr, double level, double alpha = 1) { cairo_set_source_rgba(cr, level, level, level, alpha); }

// Fills a disc with a pattern, then lets go of the pattern.
void fillDisc(cairo_t* cr, cairo_pattern_t* pattern, double cx, double cy, double r) {
    cairo_set_source(cr, pattern);
    cairo_arc(cr, cx, cy, r, 0, 2 * kPi);
    cairo_fill(cr);
    cairo_pattern_destroy(pattern);
}

// --- background -----------------------------------------------------------------------------

// Brushed metal: each row has its own slow streak, and fine grain smeared along the row.
void paintBrushedMetal(cairo_surface_t* surface) {
    cairo_surface_flush(surface);
    const int width = cairo_image_surface_get_width(surface);
    const int height = cairo_image_surface_get_height(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    uint8_t* data = cairo_image_surface_get_data(surface);
    Noise noise{0x5eed1234abcdULL};
    std::vector<double> grain(static_cast<std::size_t>(width));
    double streak = 0;
    for (int y = 0; y < height; ++y) {
        streak = 0.82 * streak + 0.18 * (noise.next() - 0.5);
        // Grain smeared along the row: a running mean of white noise.
        double run = 0;
        for (int x = 0; x < width; ++x) {
            run = 0.93 * run + 0.07 * (noise.next() - 0.5);
            grain[static_cast<std::size_t>(x)] = run;
        }
        const double t = static_cast<double>(y) / (height - 1);
        const double base = 0.165 - 0.06 * t;
        auto* row = reinterpret_cast<uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
        for (int x = 0; x < width; ++x) {
            const double u = static_cast<double>(x) / (width - 1);
            // A soft sheen across the plate, brightest a little left of the centre.
            const double sheen = 0.035 * std::exp(-std::pow((u - 0.42) / 0.35, 2));
            double level = base + sheen + 0.05 * streak + 0.16 * grain[static_cast<std::size_t>(x)];
            level = std::clamp(level, 0.0, 1.0);
            const auto g = static_cast<uint32_t>(std::lround(level * 255));
            const auto b = static_cast<uint32_t>(std::min(255.0, std::lround(level * 255) * 1.06));
            row[x] = 0xFF000000u | (g << 16) | (g << 8) | b;
        }
    }
    cairo_surface_mark_dirty(surface);
}

void paintVignette(cairo_t* cr, double width, double height) {
    cairo_pattern_t* p = cairo_pattern_create_radial(width / 2, height * 0.45, height * 0.2, width / 2, height * 0.45,
                                                     width * 0.62);
    cairo_pattern_add_color_stop_rgba(p, 0, 0, 0, 0, 0);
    cairo_pattern_add_color_stop_rgba(p, 1, 0, 0, 0, 0.55);
    cairo_set_source(cr, p);
    cairo_paint(cr);
    cairo_pattern_destroy(p);
}

// A recessed area: darker inside, a shadow along its top edge and a light line along its bottom.
void paintRecess(cairo_t* cr, double x, double y, double w, double h, double radius) {
    roundedRectangle(cr, x, y, w, h, radius);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.38);
    cairo_fill(cr);
    cairo_save(cr);
    roundedRectangle(cr, x, y, w, h, radius);
    cairo_clip(cr);
    cairo_pattern_t* shade = cairo_pattern_create_linear(0, y, 0, y + 14);
    cairo_pattern_add_color_stop_rgba(shade, 0, 0, 0, 0, 0.6);
    cairo_pattern_add_color_stop_rgba(shade, 1, 0, 0, 0, 0);
    cairo_set_source(cr, shade);
    cairo_paint(cr);
    cairo_pattern_destroy(shade);
    cairo_restore(cr);
    roundedRectangle(cr, x + 0.5, y + 1.5, w - 1, h - 1, radius);
    setGrey(cr, 1, 0.07);
    cairo_set_line_width(cr, 2);
    cairo_stroke(cr);
}

// A well behind a knob: a dark disc whose lower rim catches the light.
void paintKnobWell(cairo_t* cr, double cx, double cy, double r) {
    cairo_pattern_t* p = cairo_pattern_create_radial(cx, cy - r * 0.15, r * 0.2, cx, cy, r);
    cairo_pattern_add_color_stop_rgba(p, 0, 0, 0, 0, 0.5);
    cairo_pattern_add_color_stop_rgba(p, 0.85, 0, 0, 0, 0.32);
    cairo_pattern_add_color_stop_rgba(p, 1, 0, 0, 0, 0);
    fillDisc(cr, p, cx, cy, r);
    cairo_set_line_width(cr, 2);
    cairo_arc(cr, cx, cy, r * 0.86, 0.15 * kPi, 0.85 * kPi);
    setGrey(cr, 1, 0.06);
    cairo_stroke(cr);
}

void paintScrew(cairo_t* cr, double cx, double cy, double angle) {
    const double r = 9;
    cairo_pattern_t* p = cairo_pattern_create_radial(cx - 3, cy - 3, 1, cx, cy, r);
    cairo_pattern_add_color_stop_rgb(p, 0, 0.62, 0.62, 0.64);
    cairo_pattern_add_color_stop_rgb(p, 1, 0.2, 0.2, 0.22);
    fillDisc(cr, p, cx, cy, r);
    cairo_set_line_width(cr, 2.4);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    setGrey(cr, 0.08, 0.9);
    cairo_move_to(cr, cx - std::cos(angle) * (r - 2.5), cy - std::sin(angle) * (r - 2.5));
    cairo_line_to(cr, cx + std::cos(angle) * (r - 2.5), cy + std::sin(angle) * (r - 2.5));
    cairo_stroke(cr);
    cairo_arc(cr, cx, cy, r + 0.8, 0, 2 * kPi);
    cairo_set_line_width(cr, 1.5);
    setGrey(cr, 0, 0.5);
    cairo_stroke(cr);
}

// Letters pressed into the plate: dark glyphs with a light edge below them.
void paintEngraved(cairo_t* cr, cairo_font_face_t* font, const std::string& text, double x, double baseline,
                   double size, double tracking) {
    cairo_set_font_face(cr, font);
    cairo_set_font_size(cr, size);
    setGrey(cr, 1, 0.2);
    cairo_move_to(cr, x, baseline + 2);
    showTrackedText(cr, text, tracking);
    cairo_set_source_rgba(cr, 0.01, 0.01, 0.015, 0.9);
    cairo_move_to(cr, x, baseline);
    showTrackedText(cr, text, tracking);
}

void makeBackground(const fs::path& dir, cairo_font_face_t* font) {
    const int width = 1344, height = 835;
    Surface surface = makeImageSurface(width, height, CAIRO_FORMAT_RGB24);
    paintBrushedMetal(surface.get());
    Context c = makeContext(surface.get());
    cairo_t* cr = c.get();
    paintVignette(cr, width, height);
    const double k = kPixelsPerPoint;
    // Knob wells under the four knob faces (their centres in reference points: x 138 + 132 i, y 189).
    for (int i = 0; i < 4; ++i) paintKnobWell(cr, (138.5 + 132 * i) * k, 192 * k, 63 * k);
    // The tray of the effect buttons and the strip of the preset bar.
    paintRecess(cr, 100 * k, 291 * k, 472 * k, 93 * k, 9 * k);
    paintRecess(cr, 12 * k, 4 * k, 648 * k, 28 * k, 6 * k);
    // Bevel: light top edge, dark bottom edge, a fine inner border.
    cairo_set_line_width(cr, 2);
    setGrey(cr, 1, 0.16);
    cairo_move_to(cr, 0, 1);
    cairo_line_to(cr, width, 1);
    cairo_stroke(cr);
    setGrey(cr, 0, 0.7);
    cairo_move_to(cr, 0, height - 1);
    cairo_line_to(cr, width, height - 1);
    cairo_stroke(cr);
    roundedRectangle(cr, 7, 7, width - 14, height - 14, 14);
    setGrey(cr, 0, 0.35);
    cairo_stroke(cr);
    for (auto [x, y, a] : std::array<std::array<double, 3>, 4>{{{22, 22, 0.5}, {width - 22.0, 22, 2.1},
                                                                {22, height - 22.0, 1.2}, {width - 22.0, height - 22.0, 2.7}}}) {
        paintScrew(cr, x, y, a);
    }
    paintEngraved(cr, font, "TOLVANE", 34 * k, 404 * k, 15 * k, 4.5 * k);
    writePng(surface.get(), dir / "background_panel_1344x835.png");
}

// --- divider, ticks, knob ----------------------------------------------------------------------

void makeDivider(const fs::path& dir) {
    const int width = 1076, height = 8;
    Surface surface = makeImageSurface(width, height);
    Context c = makeContext(surface.get());
    cairo_t* cr = c.get();
    cairo_pattern_t* fade = cairo_pattern_create_linear(0, 0, width, 0);
    cairo_pattern_add_color_stop_rgba(fade, 0, 0, 0, 0, 0);
    cairo_pattern_add_color_stop_rgba(fade, 0.15, 0, 0, 0, 1);
    cairo_pattern_add_color_stop_rgba(fade, 0.85, 0, 0, 0, 1);
    cairo_pattern_add_color_stop_rgba(fade, 1, 0, 0, 0, 0);
    // The groove: a dark line over a light one.
    cairo_push_group(cr);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.75);
    cairo_rectangle(cr, 0, 2, width, 2);
    cairo_fill(cr);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.16);
    cairo_rectangle(cr, 0, 4, width, 2);
    cairo_fill(cr);
    cairo_pop_group_to_source(cr);
    cairo_mask(cr, fade);
    cairo_pattern_destroy(fade);
    writePng(surface.get(), dir / "dividerline.png");
}

// A ring of ticks over the knob's 288 degrees. The ring's centre sits at (dx, dy) pixels from the
// image centre, so that after the panel's scale and offset it lands on the pointer's pivot.
void makeTickRing(const fs::path& dir, const std::string& name, double dx, double dy, double r0, double r1,
                  double rMajor, double level, double alpha) {
    const int size = 256;
    Surface surface = makeImageSurface(size, size);
    Context c = makeContext(surface.get());
    cairo_t* cr = c.get();
    cairo_translate(cr, size / 2.0 + dx, size / 2.0 + dy);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    const int ticks = 29;
    for (int i = 0; i < ticks; ++i) {
        const bool major = i % 7 == 0;
        const double a = (-144 + 288.0 * i / (ticks - 1)) * kPi / 180;
        const double sx = std::sin(a), sy = -std::cos(a);
        cairo_set_line_width(cr, major ? 4.2 : 2.6);
        setGrey(cr, level, major ? alpha : alpha * 0.7);
        cairo_move_to(cr, sx * r0, sy * r0);
        cairo_line_to(cr, sx * (major ? rMajor : r1), sy * (major ? rMajor : r1));
        cairo_stroke(cr);
    }
    writePng(surface.get(), dir / (name + ".png"));
}

void makeKnobBase(const fs::path& dir) {
    const int size = 256;
    Surface surface = makeImageSurface(size, size);
    Context c = makeContext(surface.get());
    cairo_t* cr = c.get();
    // Centred on the pointer's pivot once placed (a pixel and a half left, two down).
    const double cx = size / 2.0 - 1.5, cy = size / 2.0 + 2.3;
    const double rim = 114, cap = 90;
    // Drop shadow.
    {
        Surface shadow = makeImageSurface(size, size);
        Context sc = makeContext(shadow.get());
        cairo_set_source_rgba(sc.get(), 0, 0, 0, 0.85);
        cairo_arc(sc.get(), cx, cy + 7, rim - 2, 0, 2 * kPi);
        cairo_fill(sc.get());
        blurSurface(shadow.get(), 5);
        cairo_set_source_surface(cr, shadow.get(), 0, 0);
        cairo_paint(cr);
    }
    // Skirt with knurled ridges.
    cairo_pattern_t* skirt = cairo_pattern_create_linear(0, cy - rim, 0, cy + rim);
    cairo_pattern_add_color_stop_rgb(skirt, 0, 0.30, 0.30, 0.32);
    cairo_pattern_add_color_stop_rgb(skirt, 1, 0.06, 0.06, 0.07);
    fillDisc(cr, skirt, cx, cy, rim);
    cairo_set_line_width(cr, 1.6);
    for (int i = 0; i < 72; ++i) {
        const double a = 2 * kPi * i / 72;
        const double light = 0.5 + 0.5 * std::cos(a + 0.9);
        setGrey(cr, i % 2 ? 0.0 : 0.55, i % 2 ? 0.35 : 0.10 + 0.18 * light);
        cairo_move_to(cr, cx + std::cos(a) * (cap + 3), cy + std::sin(a) * (cap + 3));
        cairo_line_to(cr, cx + std::cos(a) * (rim - 1.5), cy + std::sin(a) * (rim - 1.5));
        cairo_stroke(cr);
    }
    // Cap: spun metal, dark, with light sweeping across it.
    for (int i = 0; i < 180; ++i) {
        const double a0 = 2 * kPi * i / 180, a1 = 2 * kPi * (i + 1) / 180;
        const double spin = 0.5 + 0.5 * std::cos(2 * (a0 + 0.7));
        setGrey(cr, 0.13 + 0.12 * spin);
        cairo_move_to(cr, cx, cy);
        cairo_arc(cr, cx, cy, cap, a0, a1 + 0.01);
        cairo_close_path(cr);
        cairo_fill(cr);
    }
    cairo_pattern_t* dome = cairo_pattern_create_radial(cx - 30, cy - 40, 5, cx, cy, cap);
    cairo_pattern_add_color_stop_rgba(dome, 0, 1, 1, 1, 0.16);
    cairo_pattern_add_color_stop_rgba(dome, 0.6, 1, 1, 1, 0.02);
    cairo_pattern_add_color_stop_rgba(dome, 1, 0, 0, 0, 0.35);
    fillDisc(cr, dome, cx, cy, cap);
    cairo_set_line_width(cr, 2.5);
    cairo_arc(cr, cx, cy, cap, 0, 2 * kPi);
    setGrey(cr, 0, 0.6);
    cairo_stroke(cr);
    cairo_arc(cr, cx, cy, cap - 2.5, 1.1 * kPi, 1.9 * kPi);
    setGrey(cr, 1, 0.18);
    cairo_stroke(cr);
    writePng(surface.get(), dir / "knobbase2.png");
}

// The indicator: a bright bar standing above the pivot, which lies 41 pixels below the image
// centre (the panel turns it about that point).
void makePointer(const fs::path& dir) {
    const int size = 256;
    Surface surface = makeImageSurface(size, size);
    Context c = makeContext(surface.get());
    cairo_t* cr = c.get();
    const double px = size / 2.0 - 0.1, py = size / 2.0 + 41;
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_width(cr, 16);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.5);
    cairo_move_to(cr, px + 1.5, py - 62);
    cairo_line_to(cr, px + 1.5, py - 140);
    cairo_stroke(cr);
    cairo_set_line_width(cr, 12);
    cairo_set_source_rgb(cr, 0.97, 0.95, 0.9);
    cairo_move_to(cr, px, py - 64);
    cairo_line_to(cr, px, py - 142);
    cairo_stroke(cr);
    writePng(surface.get(), dir / "pointer2.png");
}

// --- effect buttons and the AM/FM switch ---------------------------------------------------------

void paintLabel(cairo_t* cr, cairo_font_face_t* font, const std::string& text, double cx, double baseline,
                double size, double tracking) {
    cairo_set_font_face(cr, font);
    cairo_set_font_size(cr, size);
    const double width = trackedTextWidth(cr, text, tracking);
    cairo_move_to(cr, cx - width / 2, baseline);
    showTrackedText(cr, text, tracking);
}

void makeEffectButton(const fs::path& dir, cairo_font_face_t* font, const std::string& label,
                      const std::string& name, bool lit) {
    const int width = 204, height = 82;
    Surface surface = makeImageSurface(width, height);
    Context c = makeContext(surface.get());
    cairo_t* cr = c.get();
    const double x = 3, y = 3, w = width - 6, h = height - 8, radius = 10;
    // Shadow under the cap.
    roundedRectangle(cr, x, y + 4, w, h, radius);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.55);
    cairo_fill(cr);
    // The cap: lit caps glow warm from inside.
    cairo_pattern_t* body = cairo_pattern_create_linear(0, y, 0, y + h);
    if (lit) {
        cairo_pattern_add_color_stop_rgb(body, 0, 0.36, 0.16, 0.12);
        cairo_pattern_add_color_stop_rgb(body, 1, 0.20, 0.06, 0.05);
    } else {
        cairo_pattern_add_color_stop_rgb(body, 0, 0.20, 0.20, 0.22);
        cairo_pattern_add_color_stop_rgb(body, 1, 0.10, 0.10, 0.115);
    }
    roundedRectangle(cr, x, y, w, h, radius);
    cairo_set_source(cr, body);
    cairo_fill(cr);
    cairo_pattern_destroy(body);
    roundedRectangle(cr, x + 1, y + 1, w - 2, h - 2, radius - 1);
    cairo_set_line_width(cr, 2);
    cairo_set_source_rgba(cr, 1, lit ? 0.55 : 1, lit ? 0.45 : 1, lit ? 0.30 : 0.10);
    cairo_stroke(cr);
    roundedRectangle(cr, x, y, w, h, radius);
    cairo_set_line_width(cr, 1.5);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.8);
    cairo_stroke(cr);

    // The lamp at the left.
    const double lx = x + 22, ly = y + h / 2;
    if (lit) {
        cairo_pattern_t* halo = cairo_pattern_create_radial(lx, ly, 2, lx, ly, 20);
        cairo_pattern_add_color_stop_rgba(halo, 0, 1, 0.35, 0.2, 0.75);
        cairo_pattern_add_color_stop_rgba(halo, 1, 1, 0.2, 0.1, 0);
        fillDisc(cr, halo, lx, ly, 20);
    }
    cairo_arc(cr, lx, ly, 6.5, 0, 2 * kPi);
    if (lit) {
        cairo_set_source_rgb(cr, 1, 0.42, 0.3);
    } else {
        cairo_set_source_rgb(cr, 0.22, 0.07, 0.06);
    }
    cairo_fill_preserve(cr);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.6);
    cairo_set_line_width(cr, 1.5);
    cairo_stroke(cr);

    // The caption: dim and grey when off; bright, warm and glowing when on.
    const double cx = x + 22 + (w - 22) / 2, baseline = y + h / 2 + 12;
    if (lit) {
        Surface glow = makeImageSurface(width, height);
        Context gc = makeContext(glow.get());
        cairo_set_source_rgba(gc.get(), 1, 0.3, 0.15, 1);
        paintLabel(gc.get(), font, label, cx, baseline, 34, 2);
        blurSurface(glow.get(), 4);
        cairo_set_source_surface(cr, glow.get(), 0, 0);
        cairo_paint_with_alpha(cr, 0.9);
        cairo_set_source_rgb(cr, 1, 0.78, 0.62);
    } else {
        cairo_set_source_rgb(cr, 0.52, 0.52, 0.55);
    }
    paintLabel(cr, font, label, cx, baseline, 34, 2);
    writePng(surface.get(), dir / (name + ".png"));
}

void makeAmFmSwitch(const fs::path& dir, cairo_font_face_t* font, bool fm) {
    // Narrow enough that, fitted into its 44 x 20 place beside the RADIO button, it stays clear of it.
    const int width = 64, height = 40;
    Surface surface = makeImageSurface(width, height);
    Context c = makeContext(surface.get());
    cairo_t* cr = c.get();
    roundedRectangle(cr, 2, 6, width - 4, height - 12, 12);
    cairo_set_source_rgb(cr, 0.05, 0.05, 0.06);
    cairo_fill_preserve(cr);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.12);
    cairo_set_line_width(cr, 1.5);
    cairo_stroke(cr);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.45);
    paintLabel(cr, font, fm ? "AM" : "FM", fm ? 17 : width - 17, height / 2.0 + 5, 13, 1);
    const double tx = fm ? width - 17 : 17;
    cairo_pattern_t* thumb = cairo_pattern_create_linear(0, 2, 0, height - 2);
    cairo_pattern_add_color_stop_rgb(thumb, 0, 0.78, 0.78, 0.8);
    cairo_pattern_add_color_stop_rgb(thumb, 1, 0.32, 0.32, 0.35);
    roundedRectangle(cr, tx - 15, 2, 30, height - 4, 10);
    cairo_set_source(cr, thumb);
    cairo_fill(cr);
    cairo_pattern_destroy(thumb);
    cairo_set_source_rgba(cr, 1, 0.3, 0.15, 1);
    paintLabel(cr, font, fm ? "FM" : "AM", tx, height / 2.0 + 5, 14, 1);
    writePng(surface.get(), dir / (fm ? "FMswitch.png" : "AMswitch.png"));
}

}  // namespace

void makePanelArt(const fs::path& dir, const fs::path& captionFont) {
    FontFace font = loadFontFace(captionFont);
    makeBackground(dir, font.get());
    makeDivider(dir);
    // Ring centres from the panel's scales and offsets of each ring (see the knob's layout).
    makeTickRing(dir, "ticks", 1.1, 7.0, 96, 104, 112, 0.78, 0.8);
    makeTickRing(dir, "ticks_white", 0.8, -5.9, 88, 96, 103, 1.0, 0.95);
    makeKnobBase(dir);
    makePointer(dir);
    for (const EffectRow& row : effectsTable()) {
        makeEffectButton(dir, font.get(), row.name, row.imageOff, false);
        makeEffectButton(dir, font.get(), row.name, row.imageOn, true);
    }
    makeAmFmSwitch(dir, font.get(), false);
    makeAmFmSwitch(dir, font.get(), true);
}

}  // namespace tolvane::resources
