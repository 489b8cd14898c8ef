#pragma once

#include "platform/avfaudio/AVAudioUnit.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "tests/support/TempFolder.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

namespace tolvane::test {

// A plug-in folder holding one bundle whose manifest names `executable` (hard-linked into the
// bundle, or copied where that cannot be: a symbolic link out of the bundle is refused) and the
// `arguments` it is started with.
class ComponentFolder {
public:
    explicit ComponentFolder(const std::filesystem::path& executable, const std::string& subtype = "gain",
                             const std::string& manufacturer = "Test", const std::vector<std::string>& arguments = {}) {
        bundle_ = folder_.path() / "gain.lv2";
        std::filesystem::create_directories(bundle_);
        std::error_code ec;
        std::filesystem::create_hard_link(executable, bundle_ / "extension", ec);
        if (ec) std::filesystem::copy_file(executable, bundle_ / "extension");
        const nlohmann::json manifest{{"type", "aufx"},           {"subtype", subtype},     {"manufacturer", manufacturer},
                                      {"name", "Gain"},           {"manufacturerName", "Test"}, {"version", "1.2.3"},
                                      {"executable", "extension"}, {"arguments", arguments}};
        folder_.write("gain.lv2/component.json", manifest.dump());
    }

    AVAudioUnitComponentManager registry() const { return AVAudioUnitComponentManager({folder_.path()}); }
    const std::filesystem::path& bundle() const { return bundle_; }
    AudioComponentManifest manifest() const { return *readAudioComponentManifest(bundle_, nullptr); }

private:
    TempFolder folder_;
    std::filesystem::path bundle_;
};

// One line per parameter: group, identifier, name, address, range, unit, flags, value, value
// texts; equal lines mean equal trees as a host sees them.
inline std::vector<std::string> describeTree(const AUAudioUnit& unit) {
    std::vector<std::string> lines;
    for (const auto& p : unit.parameterTree()->allParameters()) {
        std::string line = (p->parentNode() ? p->parentNode()->identifier() + "/" + p->parentNode()->displayName() : "-") +
                           " " + p->identifier() + " " + p->displayName() + " " + std::to_string(p->address()) + " " +
                           std::to_string(p->minValue()) + ".." + std::to_string(p->maxValue()) + " unit " +
                           std::to_string(p->unit()) + " " + p->unitName().value_or("") + " flags " +
                           std::to_string(p->flags()) + " value " + std::to_string(p->value());
        for (const auto& s : p->valueStrings().value_or(std::vector<std::string>{})) line += " " + s;
        lines.push_back(line);
    }
    return lines;
}

// Records the invalidation notifications posted while it lives.
class InvalidationRecorder {
public:
    InvalidationRecorder() {
        token_ = NSNotificationCenter::defaultCenter().addObserverForName(
            std::string(kAudioComponentInstanceInvalidationNotification), [this](const NSNotification& n) {
                std::lock_guard lock(mutex_);
                if (const auto* unit = std::any_cast<std::shared_ptr<AUAudioUnit>>(&n.object)) units_.push_back(unit->get());
                else units_.push_back(nullptr);
                posted_.notify_all();
            });
    }
    ~InvalidationRecorder() { NSNotificationCenter::defaultCenter().removeObserver(token_); }

    // Waits up to `limit` for a notification about `unit`.
    bool waitFor(const AUAudioUnit* unit, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return posted_.wait_for(lock, limit, [&] { return std::ranges::find(units_, unit) != units_.end(); });
    }
    std::size_t count() {
        std::lock_guard lock(mutex_);
        return units_.size();
    }

private:
    NSNotificationCenter::ObserverToken token_ = 0;
    std::mutex mutex_;
    std::condition_variable posted_;
    std::vector<const AUAudioUnit*> units_;
};

}  // namespace tolvane::test
