#pragma once

#include "panel/layout/PanelLayout.h"
#include "platform/coreaudiokit/AUViewController.h"
#include "studio/ui/StudioRenderer.h"

#include <cstdint>
#include <memory>

namespace DGL {
class Application;
}

namespace tolvane::studio {

// The effect's view controller in the effect area of the window: the view of an effect running
// in its own process is embedded as a child window that the effect's process draws; the generic
// view of a unit without one is drawn here.
class EffectViewHost {
public:
    // None for a controller the window cannot show.
    static std::unique_ptr<EffectViewHost> make(DGL::Application& app, uintptr_t parentWindow,
                                                const StudioResources& resources,
                                                std::shared_ptr<AUViewController> controller, const Rect& frame);
    virtual ~EffectViewHost() = default;

    virtual const std::shared_ptr<AUViewController>& controller() const = 0;
    virtual void setFrame(const Rect& frame) = 0;
    virtual void idle() = 0;
};

}  // namespace tolvane::studio
