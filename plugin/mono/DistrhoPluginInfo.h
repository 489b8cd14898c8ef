#pragma once

// The mono plug-in: one input, one output.

#include "plugin/DistrhoPluginInfoShared.h"

#define DISTRHO_PLUGIN_NAME "Tolvane Mono"
#define DISTRHO_PLUGIN_URI "urn:marlowen:tolvane-mono"
#define DISTRHO_PLUGIN_CLAP_ID "com.marlowen.tolvane.mono"

#define DISTRHO_PLUGIN_NUM_INPUTS 1
#define DISTRHO_PLUGIN_NUM_OUTPUTS 1

#define DISTRHO_PLUGIN_VST3_CATEGORIES "Fx|Distortion|Mono"
#define DISTRHO_PLUGIN_CLAP_FEATURES "audio-effect", "distortion", "mono"

namespace tolvane::plugin::variant {
inline constexpr const char* kLabel = "TolvaneMono";
inline constexpr const char* kDescription = "Vinyl-record and lo-fi character effect with eight modes (mono)";
inline constexpr int64_t kUniqueId = tolvaneVariantId('m');
}  // namespace tolvane::plugin::variant
