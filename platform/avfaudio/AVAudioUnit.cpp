#include "platform/avfaudio/AVAudioUnit.h"

#include "platform/dispatch/DispatchQueue.h"

namespace {

std::string codeText(uint32_t code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto c = static_cast<char>((code >> shift) & 0xFF);
        text.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    }
    return text;
}

// Instantiations wait for a process to start; they run here, one at a time, off the caller's thread.
DispatchQueue& instantiationQueue() {
    static DispatchQueue queue("com.marlowen.tolvane.instantiation", DispatchQoS::userInitiated);
    return queue;
}

struct Instantiation {
    AudioComponentDescription description;
    AudioComponentInstantiationOptions options = 0;
    AVAudioUnitComponentManager registry;
    remote::RemoteAudioUnit::Options remoteOptions;
    AVAudioUnit::Completion completion;
};

}  // namespace

std::string describeComponent(const AudioComponentDescription& description) {
    return codeText(description.componentType) + " " + codeText(description.componentSubType) + " " +
           codeText(description.componentManufacturer);
}

std::shared_ptr<AUAudioUnit> AVAudioUnit::instantiateNow(const AudioComponentDescription& description,
                                                         AudioComponentInstantiationOptions options,
                                                         const AVAudioUnitComponentManager& registry,
                                                         remote::RemoteAudioUnit::Options remoteOptions, Error* error) {
    const auto components = registry.componentsMatchingDescription(description);
    if (components.empty()) {
        setError(error, std::string(kOSStatusErrorDomain), kAudioComponentErr_ComponentNotFound,
                 "no installed component matches " + describeComponent(description));
        return nullptr;
    }
    return remote::RemoteAudioUnit::launch(components.front().manifest(), options, remoteOptions, error);
}

void AVAudioUnit::instantiateWithComponentDescription(const AudioComponentDescription& description,
                                                      AudioComponentInstantiationOptions options, Completion completion) {
    instantiateWithComponentDescription(description, options,
                                        AVAudioUnitComponentManager::sharedAudioUnitComponentManager(), {},
                                        std::move(completion));
}

void AVAudioUnit::instantiateWithComponentDescription(const AudioComponentDescription& description,
                                                      AudioComponentInstantiationOptions options,
                                                      const AVAudioUnitComponentManager& registry,
                                                      remote::RemoteAudioUnit::Options remoteOptions,
                                                      Completion completion) {
    auto job = std::make_unique<Instantiation>(
        Instantiation{description, options, registry, remoteOptions, std::move(completion)});
    instantiationQueue().async([job = std::shared_ptr<Instantiation>(std::move(job))] {
        Error error;
        auto unit = instantiateNow(job->description, job->options, job->registry, job->remoteOptions, &error);
        if (!job->completion) return;
        if (unit) job->completion(std::make_shared<AVAudioUnit>(std::move(unit)), std::nullopt);
        else job->completion(nullptr, error);
    });
}
