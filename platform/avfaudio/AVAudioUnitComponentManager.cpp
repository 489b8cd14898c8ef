#include "platform/avfaudio/AVAudioUnitComponentManager.h"

#include "platform/os/Log.h"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

namespace {

const OSLog& registryLog() {
    static const OSLog log("com.marlowen.tolvane", "AudioComponentRegistry");
    return log;
}

std::vector<fs::path> splitSearchPath(const std::string& text) {
    std::vector<fs::path> folders;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(':', start), text.size());
        if (end > start) folders.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return folders;
}

// The bundle folders directly inside `folder` that carry a manifest, in name order.
std::vector<fs::path> bundlesWithManifests(const fs::path& folder) {
    std::vector<fs::path> bundles;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code statError;
        if (it->is_directory(statError) && fs::exists(it->path() / AudioComponentManifest::kFileName, statError))
            bundles.push_back(it->path());
    }
    std::ranges::sort(bundles);
    return bundles;
}

fs::path canonicalOr(const fs::path& path) {
    std::error_code ec;
    fs::path resolved = fs::canonical(path, ec);
    return ec ? path : resolved;
}

}  // namespace

AVAudioUnitComponentManager::AVAudioUnitComponentManager(std::vector<fs::path> folders)
    : folders_(std::move(folders)) {}

AVAudioUnitComponentManager& AVAudioUnitComponentManager::sharedAudioUnitComponentManager() {
    static AVAudioUnitComponentManager shared = [] {
        AVAudioUnitComponentManager manager({});
        manager.usesDefaultFolders_ = true;
        return manager;
    }();
    return shared;
}

std::vector<fs::path> AVAudioUnitComponentManager::defaultSearchFolders() {
    if (const char* path = std::getenv("LV2_PATH"); path != nullptr && *path != '\0') return splitSearchPath(path);
    std::vector<fs::path> folders;
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') folders.push_back(fs::path(home) / ".lv2");
    folders.emplace_back("/usr/local/lib/lv2");
    folders.emplace_back("/usr/lib/lv2");
    return folders;
}

std::vector<fs::path> AVAudioUnitComponentManager::folders() const {
    return usesDefaultFolders_ ? defaultSearchFolders() : folders_;
}

std::vector<AVAudioUnitComponent> AVAudioUnitComponentManager::componentsMatchingDescription(
    const AudioComponentDescription& description) const {
    std::vector<AVAudioUnitComponent> found;
    std::set<fs::path> seen;
    for (const fs::path& folder : folders()) {
        for (const fs::path& bundle : bundlesWithManifests(folder)) {
            if (!seen.insert(canonicalOr(bundle)).second) continue;
            Error error;
            auto manifest = readAudioComponentManifest(bundle, &error);
            if (!manifest) {
                registryLog().error("skipping " + bundle.string() + ": " + error.localizedDescription);
                continue;
            }
            if (componentMatches(manifest->description, description)) found.emplace_back(std::move(*manifest));
        }
    }
    std::ranges::stable_sort(found, [](const AVAudioUnitComponent& a, const AVAudioUnitComponent& b) {
        return std::tie(a.name(), a.bundleURL()) < std::tie(b.name(), b.bundleURL());
    });
    return found;
}
