#pragma once

// What both plug-in variants declare alike; each variant's DistrhoPluginInfo.h adds its name,
// identifiers and channel counts. DPF reads its build-time description from these macros; the
// rest of the plug-in comes from the audio unit at run time.

#include <cstdint>

// The editor: the front panel, drawn with Cairo, resizable at the panel's aspect.
#define DISTRHO_PLUGIN_HAS_UI 1
#define DISTRHO_UI_USE_CAIRO 1
#define DISTRHO_UI_USER_RESIZABLE 1
#define DISTRHO_UI_FILE_BROWSER 0
#define DISTRHO_PLUGIN_IS_RT_SAFE 1
#define DISTRHO_PLUGIN_IS_SYNTH 0
#define DISTRHO_PLUGIN_WANT_LATENCY 1
#define DISTRHO_PLUGIN_WANT_MIDI_INPUT 0
#define DISTRHO_PLUGIN_WANT_MIDI_OUTPUT 0
#define DISTRHO_PLUGIN_WANT_PROGRAMS 0
#define DISTRHO_PLUGIN_WANT_STATE 0
#define DISTRHO_PLUGIN_WANT_TIMEPOS 0

#define DISTRHO_PLUGIN_LV2_CATEGORY "lv2:SimulatorPlugin"

// Four-character unique id, distinct per variant: VST3 derives its class identifiers from it.
constexpr int64_t tolvaneVariantId(char last) {
    return int64_t{'v'} << 24 | int64_t{'n'} << 16 | int64_t{'y'} << 8 | int64_t{last};
}
