#pragma once

#include "platform/audiotoolbox/AudioComponentManifest.h"

#include <filesystem>
#include <string>
#include <vector>

// One installed component, as the registry found it.
class AVAudioUnitComponent {
public:
    explicit AVAudioUnitComponent(AudioComponentManifest manifest) : manifest_(std::move(manifest)) {}

    const std::string& name() const { return manifest_.name; }
    const std::string& manufacturerName() const { return manifest_.manufacturerName; }
    const std::string& versionString() const { return manifest_.versionString; }
    const AudioComponentDescription& audioComponentDescription() const { return manifest_.description; }
    const std::filesystem::path& bundleURL() const { return manifest_.bundlePath; }
    const AudioComponentManifest& manifest() const { return manifest_; }

private:
    AudioComponentManifest manifest_;
};

// The component registry: the bundles in the plug-in folders that carry a component manifest.
// Each query scans the folders afresh, so bundles installed meanwhile are found.
class AVAudioUnitComponentManager {
public:
    // A registry over the given folders, in order.
    explicit AVAudioUnitComponentManager(std::vector<std::filesystem::path> folders);

    // The registry over the default folders (defaultSearchFolders, read at each query).
    static AVAudioUnitComponentManager& sharedAudioUnitComponentManager();

    // $LV2_PATH (colon-separated) when set and not empty; otherwise ~/.lv2, /usr/local/lib/lv2
    // and /usr/lib/lv2.
    static std::vector<std::filesystem::path> defaultSearchFolders();

    // Every component matching `description` (zero fields match anything), ordered by name and
    // then bundle path, so the first match is the same on every query. A bundle reached through
    // two folders is listed once. A malformed manifest is skipped with one log line.
    std::vector<AVAudioUnitComponent> componentsMatchingDescription(const AudioComponentDescription& description) const;

private:
    std::vector<std::filesystem::path> folders() const;

    bool usesDefaultFolders_ = false;
    std::vector<std::filesystem::path> folders_;
};
