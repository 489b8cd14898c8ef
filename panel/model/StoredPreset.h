#pragma once

#include "panel/model/EffectsTable.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The range and default of a value a preset holds: those of the parameter it sets.
struct PresetValueRange {
    float minValue;
    float maxValue;
    float defaultValue;
};

namespace PresetValueRanges {
inline constexpr PresetValueRange outputLevel{0, 100, 75};
inline constexpr PresetValueRange hissLevel{0, 100, 40};
inline constexpr PresetValueRange amFmMode{0, 1, 0};
// Knobs 1, 2 and 3 (`compressor`, `crackle`, `wowFlutter`); a knob of an effect in the table
// defaults to that effect's own default instead.
inline constexpr PresetValueRange knobs[3]{{0, 100, 50}, {0, 100, 0}, {0, 100, 0}};
}  // namespace PresetValueRanges

// A user preset: a named snapshot of everything the panel controls.
struct StoredPreset {
    std::string id;  // a UUID in its 36-character text form
    std::string name;
    int64_t selectedEffect = 0;
    float outputLevel = PresetValueRanges::outputLevel.defaultValue;
    bool monoSumEnabled = false;
    bool hissOn = false;
    float hissLevel = PresetValueRanges::hissLevel.defaultValue;
    float amFmMode = PresetValueRanges::amFmMode.defaultValue;
    // One entry per effect of the effects table, three knob values each.
    std::vector<std::vector<float>> effectValues;

    // Field by field in declaration order; floats compare as numbers, so NaN equals nothing.
    bool operator==(const StoredPreset&) const = default;
};

enum class PresetDialogMode { saveAs, confirmOverwrite };

// `preset` with every value that is not a finite number replaced by its default and every value
// clamped to its range, so that a preset can always be written and applied as it reads.
StoredPreset sanitizedPreset(StoredPreset preset, const std::vector<EffectRow>& effects);

// Every value at its default and the first effect selected, with neither id nor name: the state
// the panel resets to.
StoredPreset defaultPreset(const std::vector<EffectRow>& effects);

// The text upper-cased, keeping only the characters that are letters or digits ("Lo Fi" and
// "LO-FI" give "LOFI").
std::string normalizedEffectName(std::string_view text);

// One row of the factory presets.
struct FactoryPresetRow {
    std::string_view name;
    std::string_view effect;  // spelled as in the effects table
    float knobs[3];
    float outputLevel;
    float amFmMode;
    bool hissOn;
    float hissLevel;
};

const std::vector<FactoryPresetRow>& factoryPresets();

// The factory presets for `effects`, each with a fresh identifier; a row whose effect is not in
// the table is skipped.
std::vector<StoredPreset> makeDefaultPresets(const std::vector<EffectRow>& effects);
