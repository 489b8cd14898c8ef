#pragma once

#include "platform/audiotoolbox/AUAudioUnit.h"
#include "platform/audiotoolbox/remote/RemoteAudioUnit.h"
#include "platform/avfaudio/AVAudioNode.h"
#include "platform/avfaudio/AVAudioUnitComponentManager.h"

#include <functional>
#include <memory>
#include <optional>

// An audio unit as an engine holds it: a node of the engine's graph that renders through the unit.
class AVAudioUnit : public AVAudioNode {
public:
    explicit AVAudioUnit(std::shared_ptr<AUAudioUnit> unit) : AVAudioNode(std::move(unit)) {}

    const std::shared_ptr<AUAudioUnit>& auAudioUnit() const { return hostedAudioUnit(); }

    using Completion = std::function<void(std::shared_ptr<AVAudioUnit>, std::optional<Error>)>;

    // Finds the installed component (the first match in the component registry), starts its
    // extension executable and completes, on a thread of the component system, with a unit
    // served by that process or with the error. Every option value loads out of process: the
    // component ships only as its extension executable.
    static void instantiateWithComponentDescription(const AudioComponentDescription& description,
                                                    AudioComponentInstantiationOptions options, Completion completion);
    // The same over a registry of the caller's and with the caller's timing.
    static void instantiateWithComponentDescription(const AudioComponentDescription& description,
                                                    AudioComponentInstantiationOptions options,
                                                    const AVAudioUnitComponentManager& registry,
                                                    remote::RemoteAudioUnit::Options remoteOptions,
                                                    Completion completion);

    // The same, blocking, for callers that have a thread to spare.
    static std::shared_ptr<AUAudioUnit> instantiateNow(const AudioComponentDescription& description,
                                                       AudioComponentInstantiationOptions options,
                                                       const AVAudioUnitComponentManager& registry,
                                                       remote::RemoteAudioUnit::Options remoteOptions, Error* error);
};

// "aufx vnyl MrLw": a description's codes as text, for messages.
std::string describeComponent(const AudioComponentDescription& description);
