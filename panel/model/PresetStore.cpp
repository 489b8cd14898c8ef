#include "panel/model/PresetStore.h"

#include "panel/model/PresetJSON.h"
#include "platform/foundation/DurableFile.h"

#include <algorithm>
#include <utility>

namespace {

auto firstWithId(std::vector<StoredPreset>& presets, const std::string& id) {
    return std::find_if(presets.begin(), presets.end(), [&](const StoredPreset& p) { return p.id == id; });
}

DecodedPresets decodeStored(const UserDefaults::StoredData& stored, const std::vector<EffectRow>& effects) {
    return stored.value ? decodePresets(*stored.value, effects) : DecodedPresets{{}, 0, false};
}

// Factory presets only when nothing readable was stored: a stored empty list is a choice.
bool needsSeeding(const DecodedPresets& decoded, const UserDefaults::StoredData& stored) {
    return decoded.presets.empty() && !(stored.value && decoded.complete());
}

std::vector<StoredPreset> listToKeep(DecodedPresets decoded, const UserDefaults::StoredData& stored,
                                     const std::vector<EffectRow>& effects) {
    return needsSeeding(decoded, stored) ? makeDefaultPresets(effects) : std::move(decoded.presets);
}

// A store that a load leaves as it is: nothing to seed, back up, repair or move aside.
bool isSound(const DecodedPresets& decoded, const UserDefaults::StoredData& stored) {
    return stored.value && !stored.unusable && decoded.complete();
}

constexpr std::chrono::milliseconds kTryOnce{0};

}  // namespace

PresetStore::PresetStore(UserDefaults defaults, std::vector<EffectRow> effects)
    : defaults_(std::move(defaults)), effects_(std::move(effects)), log_("com.marlowen.Kessrin-VinylExtension", "PresetStore") {}

PresetStore::Result PresetStore::load() {
    Error readError;
    const auto stored = defaults_.readDataForKey(kDefaultsKey, &readError);
    if (!stored) {
        log_.error("The presets could not be read: " + readError.description());
        return {{}, std::move(readError)};
    }
    DecodedPresets decoded = decodeStored(*stored, effects_);
    if (isSound(decoded, *stored)) return {std::move(decoded.presets), std::nullopt};

    // Writing needs the lock, which is only tried: its holder may be stopped for good.
    Result written = change([](std::vector<StoredPreset>&) { return false; }, kTryOnce);
    if (!written.error || !isLockBusy(*written.error)) return written;
    log_.info("Another process holds the presets' lock, so the presets are shown as read, and seeding, repairing or "
              "moving aside what needs it is left to a later load");
    return {listToKeep(std::move(decoded), *stored, effects_), std::nullopt};
}

PresetStore::Result PresetStore::add(const StoredPreset& preset) {
    return save([&](std::vector<StoredPreset>& presets) {
        presets.push_back(preset);
        return true;
    });
}

PresetStore::Result PresetStore::overwrite(const StoredPreset& preset) {
    return save([&](std::vector<StoredPreset>& presets) {
        if (const auto found = firstWithId(presets, preset.id); found != presets.end()) *found = preset;
        else presets.push_back(preset);
        return true;
    });
}

PresetStore::Result PresetStore::remove(const std::string& id) {
    return save([&](std::vector<StoredPreset>& presets) {
        const auto found = firstWithId(presets, id);
        if (found == presets.end()) return false;
        presets.erase(found);
        return true;
    });
}

PresetStore::Result PresetStore::save(const ListChange& apply) {
    Result result = change(apply, kChangeLockPatience);
    if (result.error && isLockBusy(*result.error)) {
        log_.error("The presets could not be saved, since another process holds them locked: " +
                   result.error->description());
        // The change never saw the store, so the list comes from a read of its own.
        result.presets = listAsStored();
    }
    return result;
}

std::vector<StoredPreset> PresetStore::listAsStored() const {
    const auto stored = defaults_.readDataForKey(kDefaultsKey, nullptr);
    if (!stored) return {};
    return listToKeep(decodeStored(*stored, effects_), *stored, effects_);
}

PresetStore::Result PresetStore::change(const ListChange& apply, std::chrono::milliseconds lockPatience) {
    Result result;
    std::optional<std::vector<StoredPreset>> written;
    const auto changeStored = [&](const UserDefaults::StoredData& data) -> std::optional<std::string> {
        DecodedPresets decoded = decodeStored(data, effects_);
        result.presets = decoded.presets;  // what the store holds, should nothing be written
        if (data.movedAside) {
            // The whole file is kept aside already; what was readable in it is written back.
            reportDamagedDefaults(data, decoded.presets.size());
        } else if (data.value && !decoded.complete()) {
            // The bytes go aside before anything is written over them; without a backup, nothing is.
            if (auto backupFailure = backUpUnreadable(*data.value, decoded.unreadable)) {
                result.error = std::move(backupFailure);
                return std::nullopt;
            }
        }
        const bool seed = needsSeeding(decoded, data);
        const bool sound = isSound(decoded, data);
        std::vector<StoredPreset> presets = listToKeep(std::move(decoded), data, effects_);
        const bool changed = apply(presets);
        if (!changed && !seed && sound) return std::nullopt;
        for (auto& preset : presets) preset = sanitizedPreset(std::move(preset), effects_);
        std::string bytes = encodePresets(presets, effects_);
        written = std::move(presets);
        return bytes;
    };
    auto failure = defaults_.modifyDataForKey(kDefaultsKey, changeStored, lockPatience);
    if (failure) {
        // A busy lock is the caller's to report: for a load it is no failure.
        if (!isLockBusy(*failure)) log_.error("The presets could not be saved: " + failure->description());
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

void PresetStore::reportDamagedDefaults(const UserDefaults::StoredData& stored, std::size_t kept) {
    const std::string aside = stored.movedAside->string();
    // A file refused before any of it was read (too large, not a regular file) may hold any
    // number of complete presets: they are all in the file set aside.
    if (stored.unusable->domain == kUnusableFileDomain) {
        log_.error("The defaults file holding the presets was not read (" + stored.unusable->localizedDescription +
                   "); it was moved whole to " + aside +
                   ", and nothing in it was read, so the factory presets stand in for its presets");
        return;
    }
    const std::string outcome = kept > 0 ? std::to_string(kept) + " complete presets in it were kept"
                                         : "no complete preset was left in it, so the factory presets replace them";
    log_.error("The defaults file holding the presets could not be read; it was moved to " + aside + ", and " + outcome);
}
