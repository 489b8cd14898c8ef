#pragma once

#include "platform/foundation/Error.h"
#include "platform/os/Log.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// A user's defaults for one domain, kept as one JSON object in "<folder>/<domain>.json": each key
// holds a data value as a JSON string. Any number of processes share the file: every write
// replaces it atomically (a temporary file in the same folder, flushed, renamed over it, the
// folder flushed) while holding an advisory lock on "<folder>/.<domain>.lock", and a change is a
// read-modify-write under that lock, so writers never lose each other's changes.
class UserDefaults {
public:
    // The product's domain, shared by every plug-in instance and the studio.
    static constexpr std::string_view kStandardDomain = "com.marlowen.tolvane";

    UserDefaults(std::filesystem::path folder, std::string domain);

    // The standard domain in the product's configuration folder.
    static UserDefaults standardUserDefaults();
    // "$XDG_CONFIG_HOME/tolvane", or "$HOME/.config/tolvane" when that variable is unset, empty or
    // not an absolute path.
    static std::filesystem::path configurationFolder();

    const std::filesystem::path& folder() const { return folder_; }
    const std::filesystem::path& filePath() const { return file_; }

    // The data value under `key`; nothing when the file or the key does not exist, or when the
    // file cannot be read or parsed (then `error` says why). A value that a person stored by hand
    // as JSON other than a string reads as that JSON's text. Only a regular file is read, and
    // JSON nested deeper than kMaxJSONNesting counts as unreadable.
    std::optional<std::string> dataForKey(std::string_view key, Error* error = nullptr) const;

    // Stores `bytes`, which must be UTF-8 text, under `key`, keeping every other key.
    std::optional<Error> setData(std::string_view key, std::string bytes);

    // What a read of the file found under the key.
    struct StoredData {
        std::optional<std::string> value;  // nothing when the file or the key does not exist
        // Where `modifyDataForKey` moved an unusable file; the file holds nothing more unless the
        // change returns a value to store.
        std::optional<std::filesystem::path> movedAside;
        // Set when the file is there but cannot be used as it stands (not JSON, nested too deep,
        // not a regular file, too large): why. `value` is then what could still be read of the
        // key's value in it (possibly cut short); nothing is read of a file that is not a regular
        // file or is too large (the error is then in kUnusableFileDomain).
        std::optional<Error> unusable = std::nullopt;
    };

    // One read of the file without the lock, so it never waits for a writer: writers replace the
    // file by rename, so this finds one whole version of it. Nothing when the file could not be
    // read for a passing reason (then `error` says why).
    std::optional<StoredData> readDataForKey(std::string_view key, Error* error) const;

    // The change that `modifyDataForKey` applies: given what is stored, the value to store, or
    // nothing to leave the file untouched. It runs with the lock held, so it may also write files
    // of its own beside the store before the store is written.
    using DataChange = std::function<std::optional<std::string>(const StoredData& stored)>;

    // Reads the value, applies `change` and writes the result, all under the lock, which it waits
    // for as long as it takes or for at most `lockPatience` (see ExclusiveFileLock; `isLockBusy`
    // tells that failure apart). An unusable file is first renamed aside
    // ("<domain>.unreadable-<time>.json", with a log line) so that nothing in it is lost.
    // Returns the failure, if any; when the file could not be read for another reason, `change`
    // is not called.
    std::optional<Error> modifyDataForKey(std::string_view key, const DataChange& change,
                                          std::optional<std::chrono::milliseconds> lockPatience = std::nullopt);

private:
    std::filesystem::path folder_;
    std::string domain_;
    std::filesystem::path file_;
    OSLog log_;
};
