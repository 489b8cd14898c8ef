#pragma once

#include "platform/avfaudio/AVAudioUnit.h"
#include "platform/avfaudio/AVAudioUnitComponentManager.h"

#include <memory>
#include <vector>

namespace tolvane::studio {

// What the playback engine uses of the component system: the registry's lookup and the
// asynchronous instantiation. The platform's by default; tests put their own in its place.
class ComponentSystem {
public:
    virtual ~ComponentSystem() = default;
    // The descriptions of the installed components matching `description`, first match first.
    virtual std::vector<AudioComponentDescription> componentsMatchingDescription(
        const AudioComponentDescription& description) = 0;
    // Completes on any thread.
    virtual void instantiate(const AudioComponentDescription& description, AudioComponentInstantiationOptions options,
                             AVAudioUnit::Completion completion) = 0;
};

// The platform's registry and instantiation, over the default plug-in folders or a registry
// of the caller's.
class PlatformComponentSystem final : public ComponentSystem {
public:
    PlatformComponentSystem() : registry_(AVAudioUnitComponentManager::sharedAudioUnitComponentManager()) {}
    // `remoteOptions`: how long an extension is given; slow builds under test give it longer.
    explicit PlatformComponentSystem(AVAudioUnitComponentManager registry, remote::RemoteAudioUnit::Options remoteOptions = {})
        : registry_(std::move(registry)), remoteOptions_(std::move(remoteOptions)) {}

    std::vector<AudioComponentDescription> componentsMatchingDescription(
        const AudioComponentDescription& description) override;
    void instantiate(const AudioComponentDescription& description, AudioComponentInstantiationOptions options,
                     AVAudioUnit::Completion completion) override;

private:
    AVAudioUnitComponentManager registry_;
    remote::RemoteAudioUnit::Options remoteOptions_;
};

}  // namespace tolvane::studio
