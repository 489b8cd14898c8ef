#include "panel/render/PanelRenderer.h"

#include "platform/os/Log.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Rgb {
    double r, g, b;
};
constexpr Rgb kReadoutLit{1.0, 0.15, 0.15};
constexpr Rgb kReadoutUnlit{0.216, 0.01, 0.11};
// Around the panel when the view's aspect differs from it.
constexpr Rgb kSurround{0.05, 0.05, 0.055};

const std::vector<std::string>& imageNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> n{"background_panel_1344x835", "dividerline", "ticks", "ticks_white", "knobbase2",
                                   "pointer2", "AMswitch", "FMswitch"};
        for (const EffectRow& row : effectsTable()) {
            n.push_back(row.imageOff);
            n.push_back(row.imageOn);
        }
        return n;
    }();
    return names;
}

const OSLog& renderLog() {
    static const OSLog log("com.marlowen.Kessrin-VinylExtension", "PanelRenderer");
    return log;
}

// Paints an image at (x, y) scaled by (kx, ky) of its full size.
void paintScaled(cairo_t* cr, const MipImage& image, double x, double y, double kx, double ky) {
    double levelScale = 1;
    cairo_surface_t* level = image.level(std::min(kx, ky), levelScale);
    const double lx = kx * (image.width() / cairo_image_surface_get_width(level));
    const double ly = ky * (image.height() / cairo_image_surface_get_height(level));
    cairo_save(cr);
    cairo_translate(cr, x, y);
    cairo_scale(cr, lx, ly);
    cairo_set_source_surface(cr, level, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_BILINEAR);
    cairo_paint(cr);
    cairo_restore(cr);
}

// Paints an image fitted into `frame` keeping its aspect, then scaled about the frame's centre
// and moved by (dx, dy).
void paintLayer(cairo_t* cr, const MipImage* image, const Rect& frame, double scale, double dx, double dy) {
    if (!image) return;
    const double k = std::min(frame.width / image->width(), frame.height / image->height()) * scale;
    paintScaled(cr, *image, frame.midX() + dx - image->width() * k / 2, frame.midY() + dy - image->height() * k / 2,
                k, k);
}

// Paints an image stretched over a frame.
void paintStretched(cairo_t* cr, const MipImage* image, const Rect& frame) {
    if (!image) return;
    paintScaled(cr, *image, frame.x, frame.y, frame.width / image->width(), frame.height / image->height());
}

// The baseline that centres the digits' box ("8") vertically on y.
double centredBaseline(cairo_t* cr, double y) {
    cairo_text_extents_t e;
    cairo_text_extents(cr, "8", &e);
    return y - (e.y_bearing + e.height / 2);
}

}  // namespace

MipImage::MipImage(Surface image) {
    levels_.push_back(std::move(image));
    for (;;) {
        cairo_surface_t* last = levels_.back().get();
        const int w = cairo_image_surface_get_width(last) / 2, h = cairo_image_surface_get_height(last) / 2;
        if (w < 8 || h < 8) break;
        Surface half = makeImageSurface(w, h);
        Context cr = makeContext(half.get());
        cairo_scale(cr.get(), static_cast<double>(w) / cairo_image_surface_get_width(last),
                    static_cast<double>(h) / cairo_image_surface_get_height(last));
        cairo_set_source_surface(cr.get(), last, 0, 0);
        cairo_pattern_set_filter(cairo_get_source(cr.get()), CAIRO_FILTER_GOOD);
        cairo_paint(cr.get());
        levels_.push_back(std::move(half));
    }
}

cairo_surface_t* MipImage::level(double scale, double& levelScale) const {
    std::size_t index = 0;
    levelScale = scale;
    // Each level halves; stop at the one that is still at least as large as what is drawn.
    while (index + 1 < levels_.size() && levelScale <= 0.5) {
        levelScale *= 2;
        ++index;
    }
    return levels_[index].get();
}

const std::map<std::string, std::string>& PanelResources::fontFiles() {
    static const std::map<std::string, std::string> files{
        {"DSEG7Classic-BoldItalic", "DSEG7Classic-BoldItalic.ttf"},
        {"ALoveofThunder", "BebasNeue-Regular.otf"},
        {"Digital-7MonoItalic", "DSEG14Classic-Italic.ttf"},
        {"SystemFont", "DejaVuSans.ttf"},
    };
    return files;
}

PanelResources::PanelResources(const Bundle& bundle) : fonts_(bundle, fontFiles()) {
    for (const std::string& name : imageNames()) {
        try {
            if (auto path = bundle.URLForResource(name, "png")) {
                images_.emplace(name, MipImage(loadPng(*path)));
                continue;
            }
        } catch (const std::exception& e) {
            renderLog().error(e.what());
        }
        missing_.push_back(name + ".png");
    }
    for (const std::string& problem : fonts_.problems()) renderLog().error(problem);
    missing_.insert(missing_.end(), fonts_.missing().begin(), fonts_.missing().end());
    for (const std::string& name : missing_) renderLog().error("The panel's bundle lacks " + name);
}

const MipImage* PanelResources::image(const std::string& name) const {
    const auto found = images_.find(name);
    return found == images_.end() ? nullptr : &found->second;
}

void PanelRenderer::invalidateCaches() {
    staticKey_.clear();
    staticLayer_.reset();
    for (Readout& r : readouts_) r = Readout{};
    displayKey_.clear();
    displayLayer_.reset();
}

void PanelRenderer::draw(cairo_t* cr, const PanelLayout& layout, Kessrin_VinylExtensionMainView& view) {
    // Text is measured and set with the same unrounded advances on every surface, so that it
    // scales with the panel and fills the places the layout gave it.
    useUnroundedTextMetrics(cr);
    const auto knobs = view.knobSection(layout.scale);
    std::ostringstream key;
    key << layout.view.width << 'x' << layout.view.height << ' ' << view.effectMode() << ' ' << knobs.has_value();
    for (const auto& caption : view.knobCaptions()) key << '|' << caption;
    if (key.str() != staticKey_ || !staticLayer_) {
        staticLayer_ = makeImageSurface(static_cast<int>(std::ceil(layout.view.width)),
                                        static_cast<int>(std::ceil(layout.view.height)));
        Context layer = makeContext(staticLayer_.get());
        useUnhintedText(layer.get());
        drawStaticLayer(layer.get(), layout, view, knobs);
        staticKey_ = key.str();
    }
    cairo_save(cr);
    cairo_set_source_surface(cr, staticLayer_.get(), 0, 0);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_paint(cr);
    cairo_restore(cr);

    if (knobs) {
        for (std::size_t k = 0; k < layout.knobs.size(); ++k) {
            const KnobView& knob = (*knobs)[k];
            drawKnobFace(cr, layout.knobs[k].face, knob, true);
            if (knob.state->isEditing) {
                drawEntryField(cr, layout.knobs[k], knob);
            } else {
                drawReadout(cr, layout.knobs[k], knob, k);
            }
        }
    }
    // The layers above, back to front.
    const double s = layout.scale;
    if (layout.presetBar) drawPresetBar(cr, *layout.presetBar, view, s);
    if (layout.settingsOverlay) drawSettingsOverlay(cr, *layout.settingsOverlay, view, s);
    if (layout.amFmSwitch) drawAmFmSwitch(cr, *layout.amFmSwitch, view, s);
    if (layout.presetDialog) drawPresetDialog(cr, *layout.presetDialog, view, s);
    if (layout.presetChooser) drawPresetChooser(cr, *layout.presetChooser, view, s);
}

void PanelRenderer::drawStaticLayer(cairo_t* cr, const PanelLayout& layout, Kessrin_VinylExtensionMainView& view,
                                    const std::optional<std::array<KnobView, 4>>& knobs) {
    cairo_set_source_rgb(cr, kSurround.r, kSurround.g, kSurround.b);
    cairo_paint(cr);
    paintStretched(cr, resources_.image("background_panel_1344x835"), layout.panel);
    const double s = layout.scale;
    if (knobs) {
        for (std::size_t k = 0; k < layout.knobs.size(); ++k) {
            drawKnobFace(cr, layout.knobs[k].face, (*knobs)[k], false);
            drawCaption(cr, layout.knobs[k].caption, (*knobs)[k].label, s);
        }
    }
    paintStretched(cr, resources_.image("dividerline"), layout.divider);
    for (const EffectButtonLayout& button : layout.buttons) {
        if (button.effectIndex < 0 || static_cast<std::size_t>(button.effectIndex) >= view.effects.size()) continue;
        const EffectRow& row = view.effects[static_cast<std::size_t>(button.effectIndex)];
        paintLayer(cr, resources_.image(view.isEffectActive(button.effectIndex) ? row.imageOn : row.imageOff),
                   button.frame, 1, 0, 0);
    }
}

void PanelRenderer::drawKnobFace(cairo_t* cr, const Rect& face, const KnobView& knob, bool pointer) {
    const double s = knob.scale;
    if (!pointer) {
        paintLayer(cr, resources_.image(knob.tickImage), face, knob.tickScale, knob.tickOffsetWidth * s,
                   knob.tickOffsetHeight * s);
        paintLayer(cr, resources_.image("knobbase2"), face, 0.75, 0.9 * s, 2.5 * s);
        return;
    }
    // The pointer turns about a fixed point of the face, not about its own centre.
    const double ax = face.x + 0.505 * face.width;
    const double ay = face.y + 0.533 * face.height;
    cairo_save(cr);
    cairo_translate(cr, ax, ay);
    cairo_rotate(cr, knob.angle() * kPi / 180);
    cairo_translate(cr, -ax, -ay);
    paintLayer(cr, resources_.image("pointer2"), face, 0.6, 0.5 * s, -6 * s);
    cairo_restore(cr);
}

void PanelRenderer::drawCaption(cairo_t* cr, const Rect& frame, const std::string& text, double s) {
    cairo_save(cr);
    cairo_set_font_face(cr, resources_.font(PanelFonts::caption));
    double size = 18 * s;
    const double tracking = 1.5 * s;
    cairo_set_font_size(cr, size);
    // One line, shrinking down to half size when it does not fit.
    const double width = trackedTextWidth(cr, text, tracking);
    if (width > frame.width && width > 0) {
        size *= std::max(0.5, frame.width / width);
        cairo_set_font_size(cr, size);
    }
    const double fitted = trackedTextWidth(cr, text, tracking * size / (18 * s));
    cairo_font_extents_t fe;
    cairo_font_extents(cr, &fe);
    cairo_move_to(cr, frame.midX() - fitted / 2, frame.midY() + (fe.ascent - fe.descent) / 2);
    cairo_set_source_rgb(cr, 0.7, 0.7, 0.7);
    showTrackedText(cr, text, tracking * size / (18 * s));
    cairo_restore(cr);
}

void PanelRenderer::drawReadout(cairo_t* cr, const KnobLayout& frame, const KnobView& knob, std::size_t index) {
    const double s = knob.scale;
    const std::string text = knob.readout();
    std::ostringstream key;
    key << text << '@' << s;
    Readout& cached = readouts_[index];
    if (cached.key != key.str() || !cached.surface) {
        // The readout with its glows drawn once into its own surface, kept while the text stays.
        const double size = 36 * s;
        const double pad = std::ceil(30 * s);
        Surface probe = makeImageSurface(1, 1);
        Context pc = makeContext(probe.get());
        useUnhintedText(pc.get());
        cairo_set_font_face(pc.get(), resources_.font(PanelFonts::readout));
        cairo_set_font_size(pc.get(), size);
        cairo_text_extents_t dim, lit;
        cairo_text_extents(pc.get(), "888", &dim);
        cairo_text_extents(pc.get(), text.c_str(), &lit);
        const double textWidth = std::max(dim.x_advance, lit.x_advance);
        const int w = static_cast<int>(std::ceil(textWidth + 2 * pad));
        const int h = static_cast<int>(std::ceil(frame.readout.height + 2 * pad));
        cached.surface = makeImageSurface(w, h);
        Context c = makeContext(cached.surface.get());
        cairo_t* rc = c.get();
        useUnhintedText(rc);
        cairo_set_font_face(rc, resources_.font(PanelFonts::readout));
        cairo_set_font_size(rc, size);
        const double right = pad + textWidth;
        const double baseline = centredBaseline(rc, h / 2.0);
        cairo_set_source_rgb(rc, kReadoutUnlit.r, kReadoutUnlit.g, kReadoutUnlit.b);
        cairo_move_to(rc, right - dim.x_advance, baseline);
        showText(rc, "888");
        // Three glows of the lit colour: one alpha mask blurred in steps, each step adding the
        // spread that takes it from one glow's radius to the next.
        Surface glow = makeImageSurface(w, h, CAIRO_FORMAT_A8);
        {
            Context gc = makeContext(glow.get());
            useUnhintedText(gc.get());
            cairo_set_font_face(gc.get(), resources_.font(PanelFonts::readout));
            cairo_set_font_size(gc.get(), size);
            cairo_move_to(gc.get(), right - lit.x_advance, baseline);
            showText(gc.get(), text);
        }
        double blurred = 0;
        cairo_set_source_rgb(rc, kReadoutLit.r, kReadoutLit.g, kReadoutLit.b);
        for (auto [opacity, radius] : std::array<std::array<double, 2>, 3>{{{0.7, 3}, {0.5, 6}, {0.3, 12}}}) {
            const double sigma = radius * s / 2;
            blurSurface(glow.get(), std::sqrt(sigma * sigma - blurred * blurred));
            blurred = sigma;
            cairo_save(rc);
            cairo_push_group(rc);
            cairo_set_source_rgb(rc, kReadoutLit.r, kReadoutLit.g, kReadoutLit.b);
            cairo_mask_surface(rc, glow.get(), 0, 0);
            cairo_pop_group_to_source(rc);
            cairo_paint_with_alpha(rc, opacity);
            cairo_restore(rc);
        }
        cairo_set_source_rgb(rc, kReadoutLit.r, kReadoutLit.g, kReadoutLit.b);
        cairo_move_to(rc, right - lit.x_advance, baseline);
        showText(rc, text);
        cached.key = key.str();
        cached.x = -pad - textWidth / 2;
        cached.y = -h / 2.0;
    }
    cairo_set_source_surface(cr, cached.surface.get(), std::round(frame.readout.midX() + cached.x),
                             std::round(frame.readout.midY() + cached.y));
    cairo_paint(cr);
}

void PanelRenderer::drawEntryField(cairo_t* cr, const KnobLayout& frame, const KnobView& knob) {
    const double s = knob.scale;
    const Rect field = centredRect(frame.readout.midX(), frame.readout.midY(), 80 * s, 40 * s);
    cairo_save(cr);
    roundedRectangle(cr, field.x, field.y, field.width, field.height, 4 * s);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.55);
    cairo_fill_preserve(cr);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.18);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    cairo_set_font_face(cr, resources_.font(PanelFonts::readout));
    cairo_set_font_size(cr, 36 * s);
    const std::string& text = knob.state->editText;
    const TextFieldState& entry = knob.state->editField;
    cairo_text_extents_t e, before;
    cairo_text_extents(cr, text.c_str(), &e);
    cairo_text_extents(cr, text.substr(0, std::min(entry.caret, text.size())).c_str(), &before);
    const double x = field.midX() - e.x_advance / 2;
    if (entry.allSelected && !text.empty()) {
        cairo_rectangle(cr, x - 2 * s, field.y + 5 * s, e.x_advance + 4 * s, field.height - 10 * s);
        cairo_set_source_rgba(cr, 0.24, 0.42, 0.78, 0.75);
        cairo_fill(cr);
    }
    cairo_set_source_rgb(cr, kReadoutLit.r, kReadoutLit.g, kReadoutLit.b);
    cairo_move_to(cr, x, centredBaseline(cr, field.midY()));
    showText(cr, text);
    if (!entry.allSelected) {
        cairo_rectangle(cr, x + before.x_advance + s, field.y + 7 * s, 2 * s, field.height - 14 * s);
        cairo_fill(cr);
    }
    cairo_restore(cr);
}
