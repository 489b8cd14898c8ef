#pragma once

#include "platform/audiotoolbox/AUParameters.h"
#include "platform/audiotoolbox/AudioTypes.h"
#include "platform/avfaudio/AVAudioFormat.h"
#include "platform/foundation/Error.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class AUAudioUnit;
class AUViewController;

// Posted on the default notification centre, with the unit (a std::shared_ptr<AUAudioUnit>) as
// its object, when a unit served by another process dies or stops answering.
inline constexpr std::string_view kAudioComponentInstanceInvalidationNotification =
    "AudioComponentInstanceInvalidationNotification";

// One input or output bus of a unit: its format and the channel counts it supports.
class AUAudioUnitBus {
public:
    // initWithFormat: refused (nothing, error filled in) for a format with no channels.
    static std::shared_ptr<AUAudioUnitBus> initWithFormat(const AVAudioFormat& format, Error* error);

    const AVAudioFormat& format() const { return format_; }
    // Asks the owning unit (shouldChangeToFormat); refused while the unit's render resources are
    // allocated. Without an owner, the supported channel counts decide.
    bool setFormat(const AVAudioFormat& format, Error* error);

    const std::vector<uint32_t>& supportedChannelCounts() const { return supportedChannelCounts_; }
    void setSupportedChannelCounts(std::vector<uint32_t> counts) { supportedChannelCounts_ = std::move(counts); }

    AUAudioUnit* ownerAudioUnit() const { return owner_; }
    std::optional<AUAudioUnitBusType> busType() const { return busType_; }
    NSInteger index() const { return index_; }

    explicit AUAudioUnitBus(const AVAudioFormat& format) : format_(format) {}

private:
    friend class AUAudioUnitBusArray;

    AVAudioFormat format_;
    std::vector<uint32_t> supportedChannelCounts_;
    AUAudioUnit* owner_ = nullptr;
    std::optional<AUAudioUnitBusType> busType_;
    NSInteger index_ = 0;
};

// The input or the output buses of one unit.
class AUAudioUnitBusArray {
public:
    AUAudioUnitBusArray(AUAudioUnit& owner, AUAudioUnitBusType type, std::vector<std::shared_ptr<AUAudioUnitBus>> busses);

    std::size_t count() const { return busses_.size(); }
    AUAudioUnitBus& operator[](std::size_t index) const { return *busses_.at(index); }
    AUAudioUnitBusType busType() const { return busType_; }
    AUAudioUnit& ownerAudioUnit() const { return owner_; }

private:
    AUAudioUnit& owner_;
    AUAudioUnitBusType busType_;
    std::vector<std::shared_ptr<AUAudioUnitBus>> busses_;
};

// The base class of audio-unit effects. A unit is created with std::make_shared and then
// initialised (two phases, so that the unit can hand out weak references to itself while it
// sets itself up).
class AUAudioUnit : public std::enable_shared_from_this<AUAudioUnit> {
public:
    AUAudioUnit() = default;
    virtual ~AUAudioUnit();
    AUAudioUnit(const AUAudioUnit&) = delete;
    AUAudioUnit& operator=(const AUAudioUnit&) = delete;

    // The base initialiser: records the description. Fails with paramErr for a description
    // without a component type.
    virtual bool initWithComponentDescription(const AudioComponentDescription& description,
                                              AudioComponentInstantiationOptions options, Error* error);
    const AudioComponentDescription& componentDescription() const { return componentDescription_; }

    virtual std::string audioUnitName() const { return {}; }
    virtual std::string audioUnitShortName() const { return audioUnitName(); }
    virtual std::string manufacturerName() const { return {}; }
    virtual AUAudioUnitBusArray* inputBusses() { return nullptr; }
    virtual AUAudioUnitBusArray* outputBusses() { return nullptr; }
    // Pairs of (input channels, output channels); empty when the unit does not restrict them.
    virtual std::vector<int> channelCapabilities() const { return {}; }
    // Seconds.
    virtual double latency() const { return 0; }
    virtual double tailTime() const { return 0; }
    virtual std::vector<std::string> MIDIOutputNames() const { return {}; }
    // Where a unit that names MIDI outputs sends its MIDI; set by the host.
    const AUMIDIOutputEventBlock& MIDIOutputEventBlock() const { return midiOutputEventBlock_; }
    void setMIDIOutputEventBlock(AUMIDIOutputEventBlock block) { midiOutputEventBlock_ = std::move(block); }
    // How a host schedules MIDI for the unit; none (the default) for a unit that takes no MIDI.
    virtual AUMIDIEventListBlock scheduleMIDIEventListBlock() const { return {}; }

    // Consulted by the buses before they change format. The base accepts a channel count listed
    // in the bus's supported channel counts (any count when the list is empty).
    virtual bool shouldChangeToFormat(const AVAudioFormat& format, AUAudioUnitBus& bus);

    AUAudioFrameCount maximumFramesToRender() const { return maximumFramesToRender_; }
    // Refused (false) while render resources are allocated.
    bool setMaximumFramesToRender(AUAudioFrameCount frames);

    // The base checks that every input bus runs at the output bus's sample rate; on failure it
    // returns false with kAudioUnitErr_FormatNotSupported.
    virtual bool allocateRenderResources(Error* error);
    virtual void deallocateRenderResources();
    bool renderResourcesAllocated() const { return renderResourcesAllocated_.load(); }

    // A render block for the host's real-time thread. Subclasses provide it.
    virtual AUInternalRenderBlock internalRenderBlock();

    std::shared_ptr<AUParameterTree> parameterTree() const { return parameterTree_; }
    virtual void setParameterTree(std::shared_ptr<AUParameterTree> tree) { parameterTree_ = std::move(tree); }

    // Observers of "every parameter value may have changed" (preset loads, state restores).
    using ObserverToken = uint64_t;
    ObserverToken observeAllParameterValues(std::function<void()> observer);
    void removeAllParameterValuesObserver(ObserverToken token);
    void notifyAllParameterValuesChanged();

    // A name the hosting context gives the unit ("standalone" in the standalone application).
    std::optional<std::string> contextName() const;
    virtual void setContextName(std::optional<std::string> name);
    // Observers of contextName, called after each change on the thread that made it.
    ObserverToken observeContextName(std::function<void()> observer);
    void removeContextNameObserver(ObserverToken token);

    // Hands the host a view controller for the unit, later. The base has none and answers null.
    virtual void requestViewControllerWithCompletionHandler(std::function<void(std::shared_ptr<AUViewController>)> completion);

private:
    AudioComponentDescription componentDescription_;
    AUAudioFrameCount maximumFramesToRender_ = 512;
    AUMIDIOutputEventBlock midiOutputEventBlock_;
    std::atomic<bool> renderResourcesAllocated_{false};
    std::shared_ptr<AUParameterTree> parameterTree_;

    mutable std::mutex mutex_;
    std::optional<std::string> contextName_;
    ObserverToken nextToken_ = 1;
    using ObserverList = std::vector<std::pair<ObserverToken, std::function<void()>>>;
    ObserverToken addObserver(ObserverList& list, std::function<void()> observer);
    void removeObserver(ObserverList& list, ObserverToken token);
    void notify(const ObserverList& list);

    ObserverList allValuesObservers_;
    ObserverList contextNameObservers_;
};
