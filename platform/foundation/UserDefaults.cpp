#include "platform/foundation/UserDefaults.h"

#include "platform/foundation/DurableFile.h"
#include "platform/foundation/JSONReading.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <utility>

namespace {

using Json = nlohmann::ordered_json;

constexpr std::string_view kErrorDomain = "UserDefaults";
constexpr int64_t kUnreadableFile = -1;
constexpr int64_t kNotText = -2;

// The domain's keys, or nothing when the bytes are not a JSON object.
std::optional<Json> parseDomain(const std::string& bytes) {
    Json parsed = parseBoundedJSON<Json>(bytes);
    if (!parsed.is_object()) return std::nullopt;
    return std::optional<Json>(std::move(parsed));
}

Error unreadableFile(const std::filesystem::path& file) {
    return Error{std::string(kErrorDomain), kUnreadableFile,
                 file.string() + " does not hold a JSON object (or one nested deeper than " +
                     std::to_string(kMaxJSONNesting) + " levels)"};
}

bool isUnusable(const Error& error) { return error.domain == kUnusableFileDomain; }

std::optional<std::string> dataValue(const Json& domain, std::string_view key) {
    const auto found = domain.find(key);
    if (found == domain.end()) return std::nullopt;
    return found->is_string() ? found->get<std::string>() : found->dump();
}

// One read of `file`: what it holds under `key`, with its keys in `domain` when it is usable;
// nothing when it could not be read for a passing reason.
std::optional<UserDefaults::StoredData> readStored(const std::filesystem::path& file, std::string_view key, Json* domain,
                                                   Error* error) {
    UserDefaults::StoredData stored;
    Error readError;
    const auto bytes = readWholeFile(file, &readError);
    if (!bytes) {
        if (readError.domain.empty()) return stored;  // no file yet
        if (!isUnusable(readError)) {
            if (error) *error = std::move(readError);
            return std::nullopt;
        }
        stored.unusable = std::move(readError);
        return stored;
    }
    auto parsed = parseDomain(*bytes);
    if (!parsed) {
        stored.unusable = unreadableFile(file);
        stored.value = salvageObjectMember(*bytes, key);
        return stored;
    }
    stored.value = dataValue(*parsed, key);
    if (domain) *domain = std::move(*parsed);
    return stored;
}

// The domain as the file holds it: two-space indentation, one key per line, a final line feed.
std::optional<std::string> serialised(const Json& domain, std::string_view key, Error* error) {
    try {
        return domain.dump(2) + "\n";
    } catch (const Json::type_error&) {
        *error = Error{std::string(kErrorDomain), kNotText, "the data for \"" + std::string(key) + "\" is not UTF-8 text"};
        return std::nullopt;
    }
}

}  // namespace

UserDefaults::UserDefaults(std::filesystem::path folder, std::string domain)
    : folder_(std::move(folder)),
      domain_(std::move(domain)),
      file_(folder_ / (domain_ + ".json")),
      log_("com.marlowen.tolvane", "UserDefaults") {}

UserDefaults UserDefaults::standardUserDefaults() {
    return UserDefaults(configurationFolder(), std::string(kStandardDomain));
}

std::filesystem::path UserDefaults::configurationFolder() {
    // Relative paths in the variable are invalid and ignored, as the base-directory rules say.
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg && std::filesystem::path(xdg).is_absolute())
        return std::filesystem::path(xdg) / "tolvane";
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : "/") / ".config" / "tolvane";
}

std::optional<std::string> UserDefaults::dataForKey(std::string_view key, Error* error) const {
    auto stored = readDataForKey(key, error);
    if (!stored) return std::nullopt;
    if (stored->unusable) {
        if (error) *error = std::move(*stored->unusable);
        return std::nullopt;
    }
    return std::move(stored->value);
}

std::optional<UserDefaults::StoredData> UserDefaults::readDataForKey(std::string_view key, Error* error) const {
    return readStored(file_, key, nullptr, error);
}

std::optional<Error> UserDefaults::setData(std::string_view key, std::string bytes) {
    return modifyDataForKey(key, [&](const StoredData&) { return std::optional<std::string>(bytes); });
}

std::optional<Error> UserDefaults::modifyDataForKey(std::string_view key, const DataChange& change,
                                                   std::optional<std::chrono::milliseconds> lockPatience) {
    if (auto failure = createPrivateFolders(folder_)) return failure;
    Error error;
    const auto lock = ExclusiveFileLock::acquire(folder_ / ("." + domain_ + ".lock"), &error, lockPatience);
    if (!lock) return error;

    Json domain = Json::object();
    auto stored = readStored(file_, key, &domain, &error);
    if (!stored) return error;
    if (stored->unusable) {
        const auto aside = timestampedFreePath(folder_, domain_ + ".unreadable", "json");
        std::error_code renameError;
        std::filesystem::rename(file_, aside, renameError);
        if (renameError) return Error{"NSPOSIXErrorDomain", renameError.value(), "rename " + file_.string() + ": " + renameError.message()};
        log_.error("The defaults file " + file_.string() + " could not be read (" + stored->unusable->localizedDescription +
                   "); it was moved to " + aside.string());
        stored->movedAside = aside;
    }

    const auto next = change(*stored);
    if (!next) return std::nullopt;
    domain[std::string(key)] = *next;
    const auto text = serialised(domain, key, &error);
    if (!text) return error;
    return replaceFileDurably(file_, folder_ / ("." + domain_ + ".json.tmp"), *text);
}
