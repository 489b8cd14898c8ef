#pragma once

#include "panel/AudioUnitViewController.h"
#include "panel/layout/PanelLayout.h"
#include "panel/render/PanelRenderer.h"
#include "platform/dispatch/DispatchQueue.h"

#include <memory>
#include <optional>

namespace tolvane::test {

// The panel's layout in the state a panel shown by another process is in, from our own layout
// code over the same preset store and bundle, so a test that drives that panel with the mouse
// knows where to click without guessing.
class PanelLayoutModel {
public:
    PanelLayoutModel() {
        MainQueue::drain();
        controller_->createAudioUnit({fourCharCode("aufx"), fourCharCode("vnyl"), fourCharCode("MrLw"), 0, 0});
        MainQueue::drain();
    }
    Kessrin_VinylExtensionMainView& view() { return *controller_->currentPanel(); }
    PanelLayout layout() { return layoutPanel(672, 418, view(), renderer_.textMetrics()); }
    // What the store holds now.
    void reload() {
        view().hasLoadedPresets = false;
        view().loadUserPresets();
    }

private:
    std::shared_ptr<AudioUnitViewController> controller_ =
        std::make_shared<AudioUnitViewController>(std::nullopt, Bundle(TOLVANE_RESOURCE_DIR));
    PanelRenderer renderer_{Bundle(TOLVANE_RESOURCE_DIR)};
};

}  // namespace tolvane::test
