#pragma once

#include "panel/layout/PanelLayout.h"
#include "panel/model/MainViewModel.h"
#include "panel/render/BundleFonts.h"
#include "panel/render/CairoSupport.h"
#include "platform/foundation/Bundle.h"

#include <array>
#include <map>
#include <optional>
#include <string>

// An image with its halvings made once, so that drawing it small is a cheap bilinear scale of
// the nearest larger level instead of a filtered reduction of the whole image on every frame.
class MipImage {
public:
    explicit MipImage(Surface image);
    double width() const { return cairo_image_surface_get_width(levels_.front().get()); }
    double height() const { return cairo_image_surface_get_height(levels_.front().get()); }
    // The level to draw at `scale` of the full size, and the scale to draw that level at.
    cairo_surface_t* level(double scale, double& levelScale) const;

private:
    std::vector<Surface> levels_;
};

// The panel's images and fonts, read once from the bundle. Fonts are looked up by the names the
// panel uses and read from the font files the bundle carries.
class PanelResources {
public:
    explicit PanelResources(const Bundle& bundle);

    // The image of that name, or null when the bundle lacks it (it is then not drawn).
    const MipImage* image(const std::string& name) const;
    // The face of that name; a plain face when the bundle lacks its file.
    cairo_font_face_t* font(std::string_view name) const { return fonts_.font(name); }
    const BundleFonts& fonts() const { return fonts_; }
    // Names of what the bundle lacked.
    const std::vector<std::string>& missing() const { return missing_; }

    // The font files that stand for each face name.
    static const std::map<std::string, std::string>& fontFiles();

private:
    BundleFonts fonts_;
    std::map<std::string, MipImage> images_;
    std::vector<std::string> missing_;
};

// Draws the panel with Cairo from a layout and the model. What does not change between frames
// (the plate, the buttons, the captions, the knob bodies) is kept in a cached layer and each
// readout's glow is kept until its text changes, so a frame where only a knob turned costs a blit,
// four pointers and the readouts.
class PanelRenderer {
public:
    explicit PanelRenderer(const Bundle& bundle) : resources_(bundle), metrics_(resources_.fonts()) {}
    // The metrics refer to the resources they sit beside.
    PanelRenderer(const PanelRenderer&) = delete;
    PanelRenderer& operator=(const PanelRenderer&) = delete;

    const PanelResources& resources() const { return resources_; }
    // The sizes of text as this renderer sets it; give them to the layout.
    const TextMetrics& textMetrics() const { return metrics_; }

    // Draws into `cr`, whose user space is the view in pixels.
    void draw(cairo_t* cr, const PanelLayout& layout, Kessrin_VinylExtensionMainView& view);
    // Forgets the cached layers (the next draw makes them again).
    void invalidateCaches();

private:
    struct Readout {
        std::string key;
        Surface surface;
        double x = 0;
        double y = 0;
    };

    void drawStaticLayer(cairo_t* cr, const PanelLayout& layout, Kessrin_VinylExtensionMainView& view,
                         const std::optional<std::array<KnobView, 4>>& knobs);
    void drawKnobFace(cairo_t* cr, const Rect& face, const KnobView& knob, bool pointer);
    void drawCaption(cairo_t* cr, const Rect& frame, const std::string& text, double s);
    void drawReadout(cairo_t* cr, const KnobLayout& frame, const KnobView& knob, std::size_t index);
    void drawEntryField(cairo_t* cr, const KnobLayout& frame, const KnobView& knob);

    // The preset bar and its display (PresetBarRenderer.cpp).
    void drawPresetBar(cairo_t* cr, const PresetBarLayout& bar, const Kessrin_VinylExtensionMainView& view, double s);
    void drawDisplay(cairo_t* cr, const PresetBarLayout& bar, const Kessrin_VinylExtensionMainView& view, double s);
    void drawPanelButtonLabel(cairo_t* cr, const LabelButtonLayout& button, double s);
    void drawToggleButtonLabel(cairo_t* cr, const LabelButtonLayout& button, double s);
    // One line of text with the top of its line box at `top`.
    void drawTextLine(cairo_t* cr, std::string_view font, double size, std::string_view text, double x, double top);

    // The layers over the panel (OverlayRenderer.cpp).
    void drawAmFmSwitch(cairo_t* cr, const AmFmSwitchLayout& layout, const Kessrin_VinylExtensionMainView& view,
                        double s);
    void drawSettingsOverlay(cairo_t* cr, const SettingsOverlayLayout& overlay,
                             const Kessrin_VinylExtensionMainView& view, double s);
    void drawPresetDialog(cairo_t* cr, const PresetDialogLayout& dialog, const Kessrin_VinylExtensionMainView& view,
                          double s);
    void drawNameField(cairo_t* cr, const Rect& field, const Kessrin_VinylExtensionMainView& view, double s);
    void drawPresetChooser(cairo_t* cr, const PresetChooserLayout& chooser,
                           const Kessrin_VinylExtensionMainView& view, double s);

    PanelResources resources_;
    CairoTextMetrics metrics_;
    std::string staticKey_;
    Surface staticLayer_;
    std::array<Readout, 4> readouts_;
    // The display with its glow, kept while its cells, colour and size stay.
    std::string displayKey_;
    Surface displayLayer_;
    double displayLayerX_ = 0;
    double displayLayerY_ = 0;
};
