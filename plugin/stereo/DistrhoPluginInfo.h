#pragma once

// The stereo plug-in: two inputs, two outputs.

#include "plugin/DistrhoPluginInfoShared.h"

#define DISTRHO_PLUGIN_NAME "Tolvane"
#define DISTRHO_PLUGIN_URI "urn:marlowen:tolvane"
#define DISTRHO_PLUGIN_CLAP_ID "com.marlowen.tolvane"

#define DISTRHO_PLUGIN_NUM_INPUTS 2
#define DISTRHO_PLUGIN_NUM_OUTPUTS 2

#define DISTRHO_PLUGIN_VST3_CATEGORIES "Fx|Distortion|Stereo"
#define DISTRHO_PLUGIN_CLAP_FEATURES "audio-effect", "distortion", "stereo"

namespace tolvane::plugin::variant {
inline constexpr const char* kLabel = "Tolvane";
inline constexpr const char* kDescription = "Vinyl-record and lo-fi character effect with eight modes (stereo)";
inline constexpr int64_t kUniqueId = tolvaneVariantId('l');
}  // namespace tolvane::plugin::variant
