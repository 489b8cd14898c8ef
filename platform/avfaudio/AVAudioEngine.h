#pragma once

#include "platform/avfaudio/AVAudioNode.h"
#include "platform/avfaudio/RealtimeHandoff.h"
#include "platform/avfaudio/RenderPlan.h"
#include "platform/avfaudio/devices/AudioOutputDevice.h"
#include "platform/foundation/Error.h"

#include <memory>
#include <optional>
#include <vector>

class AVAudioPlayerNode;

// A small pull graph run by an output device: players, mixers and audio units, connected bus to
// bus with a format per connection, ending in the output node. Every call belongs to one thread
// (the main thread). The device's thread renders from an immutable render plan that the engine
// publishes whenever the graph changes while running (and at prepare and start); an old plan is
// freed on the engine's thread once the audio thread has let go of it. The audio thread never
// locks, allocates or reads files.
//
// No sample rates are converted: the device runs at the graph's rate, the rate of the main
// mixer's inputs. A device that cannot run at that rate (or at all) is, for engines made with
// the fallback, replaced by the null output at the same rate, and the log says so.
//
// The units of the graph get their bus formats and frame limit from their connections and the
// device, and their render resources are allocated before the plan that renders them is
// published; the engine deallocates what it allocated once a unit leaves the graph.
class AVAudioEngine final : private AudioRenderCallback {
public:
    // With the fallback, a device that does not open is replaced by the null output at the same
    // rate. The application passes makeAudioOutputDevice(audioOutputChoiceFromEnvironment())
    // with the fallback.
    explicit AVAudioEngine(std::shared_ptr<AudioOutputDevice> device, bool fallbackToNullOutput = false);
    ~AVAudioEngine();
    AVAudioEngine(const AVAudioEngine&) = delete;
    AVAudioEngine& operator=(const AVAudioEngine&) = delete;

    // Attaching a node attached elsewhere, or connecting a node that is not attached, is a
    // programming error (std::invalid_argument). Detaching a node that is not attached does nothing.
    void attachNode(const std::shared_ptr<AVAudioNode>& node);
    void detachNode(const std::shared_ptr<AVAudioNode>& node);
    const std::vector<std::shared_ptr<AVAudioNode>>& attachedNodes() const { return attached_; }

    // Connects output bus 0 of `source` to `destination` (a mixer's next free input bus, else
    // bus 0). Without a format, the source's output format. A connection already on either bus
    // is replaced.
    void connect(const std::shared_ptr<AVAudioNode>& source, const std::shared_ptr<AVAudioNode>& destination,
                 std::optional<AVAudioFormat> format);
    void connect(const std::shared_ptr<AVAudioNode>& source, const std::shared_ptr<AVAudioNode>& destination,
                 AVAudioNodeBus sourceBus, AVAudioNodeBus destinationBus, std::optional<AVAudioFormat> format);
    // Every input bus of the node / one input bus.
    void disconnectNodeInput(const std::shared_ptr<AVAudioNode>& node);
    void disconnectNodeInput(const std::shared_ptr<AVAudioNode>& node, AVAudioNodeBus bus);
    void disconnectNodeOutput(const std::shared_ptr<AVAudioNode>& node);

    // Made on first use and connected to the output node in the output node's format.
    const std::shared_ptr<AVAudioMixerNode>& mainMixerNode();
    const std::shared_ptr<AVAudioOutputNode>& outputNode() const { return outputNode_; }
    const std::shared_ptr<AVAudioInputNode>& inputNode() const { return inputNode_; }

    // Opens the device and allocates what the graph needs, so start has less to do. Start does
    // the same when needed and reports what fails.
    void prepare();
    bool startAndReturnError(Error* error);
    void stop();
    bool isRunning() const;

    // The device the engine plays to now (after any fallback).
    const std::shared_ptr<AudioOutputDevice>& outputDevice() const { return device_; }
    // The rate the device runs at, or will run at for the graph as it stands, and its channels.
    std::optional<AVAudioFormat> deviceFormat() const;
    std::optional<AVAudioFormat> deviceInputFormat() const { return device_->inputFormat(); }

    enum class Side { input, output };
    // The format of a node's connection on one bus, when it has one.
    std::optional<AVAudioFormat> connectionFormat(const AVAudioNode& node, AVAudioNodeBus bus, Side side) const;

    // Render calls a unit failed since the engine was made.
    uint64_t unitFailureCount() const;

    struct CompletionPump;

private:
    void renderAudio(float* const* channels, uint32_t channelCount, uint32_t frames) noexcept override;

    void requireAttached(const AVAudioNode& node) const;
    void graphChanged();
    double graphSampleRate() const;
    bool openDevice(Error* error);
    bool openDeviceAtGraphRate(Error* error);
    void followDeviceRate();
    RenderPlan::Limits deviceLimits() const;
    bool planIsCurrent() const;
    bool rebuild(Error* error);
    bool configureUnits(const RenderPlan& plan, Error* error);
    void releaseUnitsNotIn(const RenderPlan* plan);
    void publish(std::unique_ptr<RenderPlan> plan);

    std::shared_ptr<AudioOutputDevice> device_;
    bool fallbackToNullOutput_;
    std::vector<std::shared_ptr<AVAudioNode>> attached_;
    std::vector<AVAudioConnection> connections_;
    std::shared_ptr<AVAudioOutputNode> outputNode_;
    std::shared_ptr<AVAudioInputNode> inputNode_;
    std::shared_ptr<AVAudioMixerNode> mainMixer_;
    std::vector<std::shared_ptr<AUAudioUnit>> allocatedUnits_;
    bool planCurrent_ = false;
    RenderPlan::Limits builtFor_;
    uint64_t retiredUnitFailures_ = 0;

    RealtimeHandoff<RenderPlan> plan_;
    double sampleTime_ = 0;  // the audio thread's
    std::unique_ptr<CompletionPump> pump_;
};
