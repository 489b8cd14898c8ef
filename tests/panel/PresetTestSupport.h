#pragma once

#include "panel/model/EffectsTable.h"
#include "panel/model/StoredPreset.h"
#include "platform/foundation/UUID.h"

#include <ostream>
#include <string>

namespace tolvane::test {

// A preset as the panel captures one: the table defaults everywhere but the selected effect,
// whose knobs carry `seed` so that presets built from different seeds differ.
inline StoredPreset samplePreset(const std::string& name, float seed = 10, int64_t effect = 1) {
    StoredPreset preset;
    preset.id = newUUIDString();
    preset.name = name;
    preset.selectedEffect = effect;
    preset.outputLevel = 70.5f;
    preset.monoSumEnabled = true;
    preset.hissOn = true;
    preset.hissLevel = 12.25f;
    preset.amFmMode = 1;
    for (const auto& row : effectsTable()) preset.effectValues.emplace_back(row.defaults.begin(), row.defaults.end());
    preset.effectValues[static_cast<std::size_t>(effect)] = {seed, seed / 3, 100 - seed};
    return preset;
}

}  // namespace tolvane::test

// Failures print a preset by its fields, not by its bytes.
inline void PrintTo(const StoredPreset& p, std::ostream* out) {
    *out << "{" << p.id << " \"" << p.name << "\" effect " << p.selectedEffect << " out " << p.outputLevel << " mono "
         << p.monoSumEnabled << " hiss " << p.hissOn << "/" << p.hissLevel << " amFm " << p.amFmMode << " values";
    for (const auto& knobs : p.effectValues) {
        *out << " [";
        for (const float v : knobs) *out << " " << v;
        *out << " ]";
    }
    *out << "}";
}
