#pragma once

#include "panel/render/BundleFonts.h"
#include "platform/foundation/Bundle.h"
#include "studio/content/ContentLayout.h"
#include "studio/settings/SettingsRenderer.h"
#include "studio/ui/Alert.h"
#include "studio/ui/Menu.h"

#include <cairo.h>

#include <optional>

namespace tolvane::studio {

// The studio's faces, read once from its bundle, and the text sizes they set.
class StudioResources {
public:
    explicit StudioResources(const Bundle& bundle);
    StudioResources(const StudioResources&) = delete;
    StudioResources& operator=(const StudioResources&) = delete;

    const BundleFonts& fonts() const { return fonts_; }
    const TextMetrics& metrics() const { return metrics_; }

private:
    BundleFonts fonts_;
    CairoTextMetrics metrics_;
};

// Draws the window's parts with Cairo from their layouts.
class StudioRenderer {
public:
    explicit StudioRenderer(const StudioResources& resources) : fonts_(resources.fonts()), sheet_(fonts_) {}

    void drawContent(cairo_t* cr, const ContentLayout& layout, bool playPressed) const;
    void drawMenuBar(cairo_t* cr, const MenuBarLayout& layout, bool menuOpen) const;
    void drawMenu(cairo_t* cr, const MenuLayout& layout, std::optional<std::size_t> highlighted) const;
    void drawAlert(cairo_t* cr, const AlertLayout& layout, std::optional<std::size_t> pressed) const;
    const SettingsRenderer& sheet() const { return sheet_; }

private:
    const BundleFonts& fonts_;
    SettingsRenderer sheet_;
};

}  // namespace tolvane::studio
