#include "panel/model/StoredPreset.h"

#include "panel/model/Text.h"
#include "platform/foundation/UUID.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace {

float sanitized(float value, const PresetValueRange& range) {
    if (!std::isfinite(value)) return range.defaultValue;
    return std::clamp(value, range.minValue, range.maxValue);
}

PresetValueRange knobRange(std::size_t effect, std::size_t knob, const std::vector<EffectRow>& effects) {
    PresetValueRange range = PresetValueRanges::knobs[std::min<std::size_t>(knob, 2)];
    if (effect < effects.size() && knob < 3) range.defaultValue = effects[effect].defaults[knob];
    return range;
}

std::vector<std::vector<float>> tableDefaults(const std::vector<EffectRow>& effects) {
    std::vector<std::vector<float>> values;
    values.reserve(effects.size());
    for (const auto& effect : effects) values.emplace_back(effect.defaults.begin(), effect.defaults.end());
    return values;
}

}  // namespace

StoredPreset sanitizedPreset(StoredPreset preset, const std::vector<EffectRow>& effects) {
    preset.outputLevel = sanitized(preset.outputLevel, PresetValueRanges::outputLevel);
    preset.hissLevel = sanitized(preset.hissLevel, PresetValueRanges::hissLevel);
    preset.amFmMode = sanitized(preset.amFmMode, PresetValueRanges::amFmMode);
    for (std::size_t effect = 0; effect < preset.effectValues.size(); ++effect) {
        auto& knobs = preset.effectValues[effect];
        for (std::size_t knob = 0; knob < knobs.size(); ++knob)
            knobs[knob] = sanitized(knobs[knob], knobRange(effect, knob, effects));
    }
    return preset;
}

std::string normalizedEffectName(std::string_view text) {
    std::string key;
    for (const auto& character : userPerceivedCharacters(uppercased(text)))
        if (isLetterOrDigit(character)) key += character;
    return key;
}

const std::vector<FactoryPresetRow>& factoryPresets() {
    static const std::vector<FactoryPresetRow> rows{
        {"Dusty Vinyl", "VINYL", {62, 40, 35}, 75, 0, true, 40},
        {"AM Ghost", "RADIO", {25, 34, 40}, 75, 0, true, 55},
        {"Gentle Chorus", "CHORUS", {23, 23, 68}, 75, 0, false, 40},
        {"On the Radio", "RADIO", {0, 3, 26}, 75, 1, false, 20},
        {"Crushed", "LO-FI", {97, 42, 60}, 75, 0, false, 20},
        {"Police", "FLANGER", {45, 50, 0}, 75, 0, false, 20},
        {"5th Dimension", "PITCH", {64, 64, 50}, 75, 0, false, 20},
        {"Baked", "FILLDRIVE", {63, 50, 54}, 75, 0, false, 20},
        {"Ozempic", "ISOLATOR", {0, 36, 36}, 75, 0, false, 20},
        {"180 Gram", "VINYL", {31, 2, 8}, 75, 0, true, 12},
        {"Whole Steppin", "CHORUS", {100, 50, 100}, 75, 0, false, 40},
    };
    return rows;
}

StoredPreset defaultPreset(const std::vector<EffectRow>& effects) {
    StoredPreset preset;
    preset.effectValues = tableDefaults(effects);
    return preset;
}

std::vector<StoredPreset> makeDefaultPresets(const std::vector<EffectRow>& effects) {
    std::map<std::string, int64_t> indexByKey;
    for (std::size_t i = 0; i < effects.size(); ++i) indexByKey[normalizedEffectName(effects[i].name)] = static_cast<int64_t>(i);

    std::vector<StoredPreset> presets;
    for (const auto& row : factoryPresets()) {
        auto found = indexByKey.find(normalizedEffectName(row.effect));
        if (found == indexByKey.end()) continue;

        StoredPreset preset;
        preset.id = newUUIDString();
        preset.name = std::string(row.name);
        preset.selectedEffect = found->second;
        preset.outputLevel = row.outputLevel;
        preset.monoSumEnabled = false;
        preset.hissOn = row.hissOn;
        preset.hissLevel = row.hissLevel;
        preset.amFmMode = row.amFmMode;
        preset.effectValues = tableDefaults(effects);
        preset.effectValues[static_cast<std::size_t>(found->second)] = {row.knobs[0], row.knobs[1], row.knobs[2]};
        presets.push_back(std::move(preset));
    }
    return presets;
}
