#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A user preset: a named snapshot of everything the panel controls.
struct StoredPreset {
    std::string id;  // a UUID in its 36-character text form
    std::string name;
    int64_t selectedEffect = 0;
    float outputLevel = 75;
    bool monoSumEnabled = false;
    bool hissOn = false;
    float hissLevel = 40;
    float amFmMode = 0;
    // One entry per effect of the effects table, three knob values each.
    std::vector<std::vector<float>> effectValues;
};

enum class PresetDialogMode { saveAs, confirmOverwrite };
