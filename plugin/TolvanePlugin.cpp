// The entry DPF calls to create a plug-in instance: the effect unit behind the generic adapter,
// with this variant's channel count and identity (DistrhoPluginInfo.h of the variant).

#include "DistrhoPluginInfo.h"
#include "plugin/AudioUnitPlugin.h"
#include "plugin/CreatedAdapter.h"
#include "plugin/TolvaneUnit.h"

#include <cstdio>
#include <cstdlib>

START_NAMESPACE_DISTRHO

Plugin* createPlugin() {
    using namespace tolvane::plugin;
    Error error;
    std::shared_ptr<AUAudioUnit> unit = makeTolvaneUnit(&error);
    if (!unit) {
        // Nothing can be hosted without the unit; DPF has no way to report a failed creation.
        std::fprintf(stderr, "%s: cannot create the effect unit: %s\n", DISTRHO_PLUGIN_NAME, error.description().c_str());
        std::abort();
    }
    auto adapter = std::make_unique<AudioUnitAdapter>(std::move(unit), DISTRHO_PLUGIN_NUM_INPUTS, tolvaneValueNames());
    CreatedAdapterCapture::offer(adapter.get());
    return new AudioUnitPlugin(std::move(adapter), PluginIdentity{variant::kLabel, variant::kDescription,
                                                                  "Proprietary", d_version(1, 0, 0),
                                                                  variant::kUniqueId});
}

END_NAMESPACE_DISTRHO
