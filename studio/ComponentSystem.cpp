#include "studio/ComponentSystem.h"

namespace tolvane::studio {

std::vector<AudioComponentDescription> PlatformComponentSystem::componentsMatchingDescription(
    const AudioComponentDescription& description) {
    std::vector<AudioComponentDescription> found;
    for (const auto& component : registry_.componentsMatchingDescription(description))
        found.push_back(component.audioComponentDescription());
    return found;
}

void PlatformComponentSystem::instantiate(const AudioComponentDescription& description,
                                          AudioComponentInstantiationOptions options,
                                          AVAudioUnit::Completion completion) {
    AVAudioUnit::instantiateWithComponentDescription(description, options, registry_, remoteOptions_, std::move(completion));
}

}  // namespace tolvane::studio
