#include "platform/foundation/Bundle.h"

#include "platform/foundation/DurableFile.h"
#include "platform/foundation/JSONReading.h"
#include "platform/os/Log.h"

#include <array>
#include <system_error>
#include <utility>

#include <dlfcn.h>
#include <link.h>

#include <nlohmann/json.hpp>

namespace fs = std::filesystem;

namespace {

// The information dictionary holds a handful of short strings written at build time; a file far
// larger than that is not one.
constexpr std::size_t kInfoDictionaryReadLimit = std::size_t{64} << 10;

const OSLog& bundleLog() {
    static const OSLog log("com.marlowen.tolvane", "Bundle");
    return log;
}

// The parsed information file; a discarded value when it is missing or unusable. A file that is
// there but refused (a FIFO, a device, too large, not a JSON object) reads as a missing one, and
// the log says which file and why.
nlohmann::json readInfoDictionary(const fs::path& file) {
    Error error;
    const std::optional<std::string> text = readWholeFile(file, &error, kInfoDictionaryReadLimit);
    if (!text) {
        if (!error.localizedDescription.empty())
            bundleLog().error("ignoring the information file: " + error.localizedDescription);
        return nlohmann::json(nlohmann::json::value_t::discarded);
    }
    nlohmann::json info = parseBoundedJSON<nlohmann::json>(*text);
    if (!info.is_object()) bundleLog().error("ignoring the information file " + file.string() + ": not a JSON object");
    return info;
}

// The running executable, resolved by the kernel (argv[0] may be relative or a bare name).
fs::path executablePath() {
    std::error_code ec;
    fs::path path = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path{} : path;
}

// The file of the executable or shared object that maps `address`; empty when none does.
fs::path binaryContaining(const void* address) {
    Dl_info info{};
    link_map* map = nullptr;
    if (dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0) return {};
    // The main program's link map has an empty name.
    if (map == nullptr || map->l_name == nullptr || map->l_name[0] == '\0') return executablePath();
    return fs::path(map->l_name);
}

fs::path canonicalOrAbsolute(const fs::path& path) {
    std::error_code ec;
    fs::path resolved = fs::weakly_canonical(path, ec);
    if (!ec) return resolved;
    resolved = fs::absolute(path, ec);
    return ec ? path : resolved;
}

bool isDirectory(const fs::path& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

bool isRegularFile(const fs::path& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

// A resource name is one file name inside the resource folder, never a way out of it.
bool isPlainFileNamePart(std::string_view part) {
    if (part.find('/') != std::string_view::npos) return false;
    if (part.find('\0') != std::string_view::npos) return false;
    return part.find("..") == std::string_view::npos;
}

}  // namespace

Bundle::Bundle(fs::path resourceDirectory) : resourcePath_(std::move(resourceDirectory)) {}

Bundle Bundle::containingAddress(const void* address) {
    fs::path binary = binaryContaining(address);
    if (binary.empty()) binary = executablePath();
    const fs::path binaryDirectory = canonicalOrAbsolute(binary).parent_path();
    const std::array candidates = {binaryDirectory / "resources", binaryDirectory / ".." / "Resources"};
    for (const fs::path& candidate : candidates) {
        if (isDirectory(candidate)) return Bundle(canonicalOrAbsolute(candidate));
    }
    return Bundle(binaryDirectory);
}

std::optional<fs::path> Bundle::URLForResource(std::string_view name, std::string_view extension) const {
    if (name.empty() || !isPlainFileNamePart(name) || !isPlainFileNamePart(extension)) return std::nullopt;
    std::string fileName(name);
    if (!extension.empty()) {
        fileName += '.';
        fileName += extension;
    }
    fs::path path = resourcePath_ / fileName;
    if (!isRegularFile(path)) return std::nullopt;
    return path;
}

std::optional<std::string> Bundle::objectForInfoDictionaryKey(std::string_view key) const {
    const nlohmann::json info = readInfoDictionary(resourcePath_ / "Info.json");
    if (!info.is_object()) return std::nullopt;
    const auto found = info.find(key);
    if (found == info.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}
