#include "panel/model/PresetStore.h"

#include "panel/model/PresetJSON.h"
#include "platform/foundation/DurableFile.h"

#include <algorithm>
#include <utility>

namespace {

auto firstWithId(std::vector<StoredPreset>& presets, const std::string& id) {
    return std::find_if(presets.begin(), presets.end(), [&](const StoredPreset& p) { return p.id == id; });
}

}  // namespace

PresetStore::PresetStore(UserDefaults defaults, std::vector<EffectRow> effects)
    : defaults_(std::move(defaults)), effects_(std::move(effects)), log_("com.marlowen.Kessrin-VinylExtension", "PresetStore") {}

PresetStore::Result PresetStore::load() {
    return change([](std::vector<StoredPreset>&) { return false; });
}

PresetStore::Result PresetStore::add(const StoredPreset& preset) {
    return change([&](std::vector<StoredPreset>& presets) {
        presets.push_back(preset);
        return true;
    });
}

PresetStore::Result PresetStore::overwrite(const StoredPreset& preset) {
    return change([&](std::vector<StoredPreset>& presets) {
        if (const auto found = firstWithId(presets, preset.id); found != presets.end()) *found = preset;
        else presets.push_back(preset);
        return true;
    });
}

PresetStore::Result PresetStore::remove(const std::string& id) {
    return change([&](std::vector<StoredPreset>& presets) {
        const auto found = firstWithId(presets, id);
        if (found == presets.end()) return false;
        presets.erase(found);
        return true;
    });
}

PresetStore::Result PresetStore::change(const ListChange& apply) {
    Result result;
    std::optional<std::vector<StoredPreset>> written;
    auto failure = defaults_.modifyDataForKey(kDefaultsKey, [&](const UserDefaults::StoredData& data) -> std::optional<std::string> {
        const auto& stored = data.value;
        DecodedPresets decoded = stored ? decodePresets(*stored, effects_) : DecodedPresets{{}, 0, false};
        result.presets = decoded.presets;  // what the store holds, should nothing be written
        if (data.movedAside) {
            // The whole file is kept aside already; what was readable in it is written back.
            reportDamagedDefaults(*data.movedAside, decoded.presets.size());
        } else if (stored && !decoded.complete()) {
            // The bytes go aside before anything is written over them; without a backup, nothing is.
            if (auto backupFailure = backUpUnreadable(*stored, decoded.unreadable)) {
                result.error = std::move(backupFailure);
                return std::nullopt;
            }
        }
        // Factory presets only when nothing readable was stored: a stored empty list is a choice.
        const bool seed = decoded.presets.empty() && !(stored && decoded.complete());
        std::vector<StoredPreset> presets = seed ? makeDefaultPresets(effects_) : std::move(decoded.presets);
        const bool changed = apply(presets);
        if (!changed && !seed && decoded.complete() && !data.movedAside) return std::nullopt;
        for (auto& preset : presets) preset = sanitizedPreset(std::move(preset), effects_);
        std::string bytes = encodePresets(presets, effects_);
        written = std::move(presets);
        return bytes;
    });
    if (failure) {
        log_.error("The presets could not be saved: " + failure->description());
        result.error = std::move(failure);
    } else if (written) {
        result.presets = std::move(*written);
    }
    return result;
}

std::optional<Error> PresetStore::backUpUnreadable(const std::string& stored, std::size_t unreadable) {
    const auto backup = timestampedFreePath(defaults_.folder(), std::string(kDefaultsKey) + ".unreadable", "json");
    if (auto failure = createFileDurably(backup, stored)) {
        log_.error("Stored presets could not be read, and their backup failed, so they are left as they are: " +
                   failure->description());
        return failure;
    }
    log_.error(std::to_string(unreadable) + " stored preset entries could not be read; the stored presets were copied to " +
               backup.string() + " before the readable ones were kept");
    return std::nullopt;
}

void PresetStore::reportDamagedDefaults(const std::filesystem::path& aside, std::size_t kept) {
    const std::string outcome = kept > 0 ? std::to_string(kept) + " complete presets in it were kept"
                                         : "no complete preset was left in it, so the factory presets replace them";
    log_.error("The defaults file holding the presets could not be read; it was moved to " + aside.string() + ", and " +
               outcome);
}
