// The plug-in's editor in every format (LV2 UI, VST3 editor, CLAP gui): the front panel over a
// mirror unit that the view controller's factory creates (it never renders), joined to the host
// through the plug-in's parameters.

#include "DistrhoPluginInfo.h"
#include "DistrhoUI.hpp"
#include "panel/window/PanelWidget.h"
#include "plugin/PanelHostBridge.h"
#include "plugin/TolvaneUnit.h"
#include "platform/os/Log.h"

#include <cmath>
#include <memory>

START_NAMESPACE_DISTRHO

namespace {

constexpr uint kWidth = 672;
constexpr uint kHeight = 418;

const void* addressInThisBinary() { return reinterpret_cast<const void*>(&addressInThisBinary); }

}  // namespace

class TolvaneUI : public tolvane::panel::PanelWidget<UI> {
public:
    TolvaneUI()
        : PanelWidget(std::make_shared<AudioUnitViewController>(std::nullopt,
                                                                Bundle::containingAddress(addressInThisBinary())),
                      kWidth, kHeight) {
        // This editor's thread runs the main queue; it drains it from the idle callback.
        MainQueue::drain();
        const auto& controller = panelView().controller();
        Error error;
        const auto mirror = controller->createAudioUnit(tolvane::plugin::tolvaneComponentDescription(), &error);
        if (!mirror) {
            OSLog("com.marlowen.Kessrin-VinylExtension", "AudioUnitViewController")
                .error("Cannot create the panel's unit: " + error.description());
        }
        bridge_ = std::make_unique<tolvane::plugin::PanelHostBridge>(
            mirror, tolvane::plugin::tolvaneValueNames(),
            tolvane::plugin::PanelHostBridge::HostEdits{
                [this](uint32_t index, bool started) { editParameter(index, started); },
                [this](uint32_t index, float value) { setParameterValue(index, value); }});
        panelIdle();

        // HiDPI: the host's scale factor sets the first size; any size keeps the panel's aspect.
        const double scale = getScaleFactor();
        panelView().setPixelsPerPoint(scale);
        if (std::fabs(scale - 1) > 1e-6) setSize(std::lround(kWidth * scale), std::lround(kHeight * scale));
        setGeometryConstraints(std::lround(kWidth * scale / 2), std::lround(kHeight * scale / 2), true, false);
    }

protected:
    void parameterChanged(uint32_t index, float value) override { bridge_->hostParameterChanged(index, value); }
#if DISTRHO_PLUGIN_WANT_PROGRAMS
    void programLoaded(uint32_t) override {}
#endif
#if DISTRHO_PLUGIN_WANT_STATE
    void stateChanged(const char*, const char*) override {}
#endif
    void uiIdle() override { panelIdle(); }
    void uiScaleFactorChanged(double scale) override { panelView().setPixelsPerPoint(scale); }

private:
    std::unique_ptr<tolvane::plugin::PanelHostBridge> bridge_;
};

UI* createUI() { return new TolvaneUI(); }

END_NAMESPACE_DISTRHO
