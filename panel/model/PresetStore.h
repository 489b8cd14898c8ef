#pragma once

#include "panel/model/EffectsTable.h"
#include "panel/model/StoredPreset.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/os/Log.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The user presets in the user defaults, under "TolvaneStudioUserPresets", shared by every panel
// in every process. Nothing a user stored is ever lost:
// - each change re-reads the stored list, applies itself by preset id and writes the result, all
//   under the defaults' lock, so panels never write over each other's presets;
// - a load reads without the lock (the store is replaced by rename, so it finds one whole list):
//   a process stopped while it holds the lock, such as a host frozen in a debugger, delays no
//   load. Only a load that must write (seed, repair, move a damaged file aside) tries the lock,
//   and when it is busy it shows the list as read and leaves the writing to a later load;
// - a change waits a few seconds at most for the lock, then fails as a failed write does;
// - an unreadable object costs only itself: the stored bytes are first copied into a backup file
//   beside the store (with a log line), then the readable presets are kept;
// - a defaults file that cannot be read as a whole is moved aside by the defaults, and the
//   complete presets still in it are kept (the factory presets when there are none);
// - the factory presets are seeded only when nothing readable was stored (a stored empty list
//   stays empty);
// - a failed write is logged and leaves the caller with what the store still holds.
// Main thread only; each operation blocks for one read and at most one durable write, and a
// change for at most kChangeLockPatience before that.
class PresetStore {
public:
    static constexpr std::string_view kDefaultsKey = "TolvaneStudioUserPresets";
    // How long a change waits for another process's write; past it, that process is taken to be
    // stopped, and the change fails.
    static constexpr std::chrono::milliseconds kChangeLockPatience{3000};

    PresetStore(UserDefaults defaults, std::vector<EffectRow> effects);

    // The list after an operation: what the store holds, which includes the change unless the
    // write failed (then `error` says why).
    struct Result {
        std::vector<StoredPreset> presets;
        std::optional<Error> error;
    };

    // The stored list, repaired or seeded (and written) when it has to be.
    Result load();
    // Appends `preset` (SAVE AS).
    Result add(const StoredPreset& preset);
    // Replaces the first preset with `preset.id` in its place (SAVE, overwrite); when no stored
    // preset has that id any more (another panel deleted it), appends it, so the save is kept.
    Result overwrite(const StoredPreset& preset);
    // Removes the first preset with `id`; nothing is written when there is none.
    Result remove(const std::string& id);

    // The backup files that unreadable stored bytes were copied to are named
    // "<kDefaultsKey>.unreadable-<time>.json" in the defaults' folder; a whole defaults file that
    // could not be read goes to "<domain>.unreadable-<time>.json" there.
    const UserDefaults& defaults() const { return defaults_; }

private:
    // Changes the stored list in place; returns false to leave the store untouched.
    using ListChange = std::function<bool(std::vector<StoredPreset>& presets)>;
    // Applies `apply` under the lock, waiting for it at most `lockPatience`; logs nothing.
    Result change(const ListChange& apply, std::chrono::milliseconds lockPatience);
    // A change by the user: fails with a log line when the store cannot be written.
    Result save(const ListChange& apply);
    // The list as the store holds it, read without the lock and kept as a load would keep it,
    // though nothing is written.
    std::vector<StoredPreset> listAsStored() const;
    // Copies stored bytes that could not all be read into a new backup file beside the store.
    std::optional<Error> backUpUnreadable(const std::string& stored, std::size_t unreadable);
    // Says where a defaults file that could not be read as a whole went, and what was kept of it.
    void reportDamagedDefaults(const UserDefaults::StoredData& stored, std::size_t kept);

    UserDefaults defaults_;
    std::vector<EffectRow> effects_;
    OSLog log_;
};
