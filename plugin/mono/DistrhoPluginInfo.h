#pragma once

// The mono plug-in: one input, one output. DPF reads its build-time description from these
// macros; the rest of the plug-in comes from the audio unit at run time.

#include <cstdint>

#define DISTRHO_PLUGIN_NAME "Tolvane Mono"
#define DISTRHO_PLUGIN_URI "urn:marlowen:tolvane-mono"
#define DISTRHO_PLUGIN_CLAP_ID "com.marlowen.tolvane.mono"

#define DISTRHO_PLUGIN_NUM_INPUTS 1
#define DISTRHO_PLUGIN_NUM_OUTPUTS 1

#define DISTRHO_PLUGIN_HAS_UI 0
#define DISTRHO_PLUGIN_IS_RT_SAFE 1
#define DISTRHO_PLUGIN_IS_SYNTH 0
#define DISTRHO_PLUGIN_WANT_LATENCY 1
#define DISTRHO_PLUGIN_WANT_MIDI_INPUT 0
#define DISTRHO_PLUGIN_WANT_MIDI_OUTPUT 0
#define DISTRHO_PLUGIN_WANT_PROGRAMS 0
#define DISTRHO_PLUGIN_WANT_STATE 0
#define DISTRHO_PLUGIN_WANT_TIMEPOS 0

#define DISTRHO_PLUGIN_LV2_CATEGORY "lv2:SimulatorPlugin"
#define DISTRHO_PLUGIN_VST3_CATEGORIES "Fx|Distortion|Mono"
#define DISTRHO_PLUGIN_CLAP_FEATURES "audio-effect", "distortion", "mono"

namespace tolvane::plugin::variant {
inline constexpr const char* kLabel = "TolvaneMono";
inline constexpr const char* kDescription = "Vinyl-record and lo-fi character effect with eight modes (mono)";
// Distinct per variant: VST3 derives its class identifiers from it.
inline constexpr int64_t kUniqueId = int64_t{'v'} << 24 | int64_t{'n'} << 16 | int64_t{'y'} << 8 | int64_t{'m'};
}  // namespace tolvane::plugin::variant
