#include "platform/audiotoolbox/AudioComponentManifest.h"

#include "platform/foundation/DurableFile.h"
#include "platform/foundation/JSONReading.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <system_error>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kDomain = "AudioComponentManifest";
constexpr int64_t kMalformed = -1;
constexpr int64_t kMissingExecutable = -2;
// A manifest is a few hundred bytes; anything far larger is not one.
constexpr std::size_t kManifestReadLimit = 1 << 20;

bool fail(Error* error, int64_t code, std::string message) {
    setError(error, std::string(kDomain), code, std::move(message));
    return false;
}

// Exactly four characters, each one byte of UTF-8 (plain ASCII).
std::optional<uint32_t> strictFourCharCode(const nlohmann::json& value) {
    if (!value.is_string()) return std::nullopt;
    const auto& text = value.get_ref<const std::string&>();
    if (text.find('\0') != std::string::npos) return std::nullopt;
    return checkedFourCharCode(text);
}

bool readCodes(const nlohmann::json& json, AudioComponentDescription& description, Error* error) {
    const std::pair<const char*, uint32_t*> fields[] = {{"type", &description.componentType},
                                                        {"subtype", &description.componentSubType},
                                                        {"manufacturer", &description.componentManufacturer}};
    for (const auto& [key, target] : fields) {
        const auto code = json.contains(key) ? strictFourCharCode(json[key]) : std::nullopt;
        if (!code) return fail(error, kMalformed, std::string("\"") + key + "\" is not a four-character code");
        *target = *code;
    }
    return true;
}

// Text without NUL bytes: the names end up in C strings (a path, a program's arguments), which
// would end at the first NUL and so say less than the manifest does.
bool isCText(const nlohmann::json& value) {
    return value.is_string() && value.get_ref<const std::string&>().find('\0') == std::string::npos;
}

bool readString(const nlohmann::json& json, const char* key, std::string& out, Error* error) {
    if (!json.contains(key) || !json[key].is_string() || json[key].get_ref<const std::string&>().empty())
        return fail(error, kMalformed, std::string("\"") + key + "\" is missing or not a text");
    if (!isCText(json[key])) return fail(error, kMalformed, std::string("\"") + key + "\" holds a NUL character");
    out = json[key].get<std::string>();
    return true;
}

bool readArguments(const nlohmann::json& json, std::vector<std::string>& out, Error* error) {
    if (!json.contains("arguments")) return true;
    const auto& list = json["arguments"];
    if (!list.is_array()) return fail(error, kMalformed, "\"arguments\" is not a list");
    for (const auto& item : list) {
        if (!item.is_string()) return fail(error, kMalformed, "\"arguments\" holds something other than text");
        if (!isCText(item)) return fail(error, kMalformed, "\"arguments\" holds a NUL character");
        out.push_back(item.get<std::string>());
    }
    return true;
}

// True when `path`, with every link resolved, lies strictly inside the resolved `folder`.
bool liesInside(const fs::path& path, const fs::path& folder) {
    std::error_code ec;
    const fs::path resolvedFolder = fs::canonical(folder, ec);
    if (ec) return false;
    const fs::path resolved = fs::canonical(path, ec);
    if (ec) return false;
    const auto [folderEnd, pathAt] =
        std::mismatch(resolvedFolder.begin(), resolvedFolder.end(), resolved.begin(), resolved.end());
    return folderEnd == resolvedFolder.end() && pathAt != resolved.end();
}

// The executable must stay inside its bundle, links resolved: a manifest cannot point the host
// at any program.
bool resolveExecutable(const fs::path& bundle, const std::string& relative, fs::path& out, Error* error) {
    const fs::path path(relative);
    if (path.is_absolute()) return fail(error, kMalformed, "\"executable\" must be relative to the bundle");
    for (const auto& part : path)
        if (part == "..") return fail(error, kMalformed, "\"executable\" leaves the bundle");
    out = bundle / path;
    std::error_code ec;
    if (!fs::is_regular_file(out, ec) || access(out.c_str(), X_OK) != 0)
        return fail(error, kMissingExecutable, "executable " + out.string() + " is missing or cannot run");
    if (!liesInside(out, bundle))
        return fail(error, kMalformed, "executable " + out.string() + " leads out of the bundle through a link");
    return true;
}

}  // namespace

std::optional<AudioComponentManifest> readAudioComponentManifest(const fs::path& bundle, Error* error) {
    const fs::path file = bundle / AudioComponentManifest::kFileName;
    Error readError;
    const std::optional<std::string> text = readWholeFile(file, &readError, kManifestReadLimit);
    if (!text) {
        // A missing file reports no error of its own.
        fail(error, kMalformed, readError.localizedDescription.empty() ? "cannot read " + file.string() + ": no such file"
                                                                      : "cannot " + readError.localizedDescription);
        return std::nullopt;
    }
    const auto json = parseBoundedJSON<nlohmann::json>(*text);
    if (!json.is_object()) {
        fail(error, kMalformed, file.string() + " is not a JSON object");
        return std::nullopt;
    }

    AudioComponentManifest manifest;
    manifest.bundlePath = bundle;
    std::string executable;
    const bool ok = readCodes(json, manifest.description, error) && readString(json, "name", manifest.name, error) &&
                    readString(json, "manufacturerName", manifest.manufacturerName, error) &&
                    readString(json, "version", manifest.versionString, error) &&
                    readString(json, "executable", executable, error) &&
                    readArguments(json, manifest.arguments, error) &&
                    resolveExecutable(bundle, executable, manifest.executablePath, error);
    if (!ok) return std::nullopt;
    return manifest;
}

bool componentMatches(const AudioComponentDescription& component, const AudioComponentDescription& wanted) {
    auto fieldMatches = [](uint32_t have, uint32_t want) { return want == 0 || have == want; };
    return fieldMatches(component.componentType, wanted.componentType) &&
           fieldMatches(component.componentSubType, wanted.componentSubType) &&
           fieldMatches(component.componentManufacturer, wanted.componentManufacturer) &&
           (component.componentFlags & wanted.componentFlagsMask) ==
               (wanted.componentFlags & wanted.componentFlagsMask);
}
