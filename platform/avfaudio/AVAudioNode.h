#pragma once

#include "platform/avfaudio/AVAudioFormat.h"

#include <cstdint>
#include <memory>
#include <optional>

class AUAudioUnit;
class AVAudioEngine;

using AVAudioNodeBus = uint32_t;

// A node of an engine's graph. Nodes are made on their own, attached to one engine, and
// connected bus to bus with a format per connection. All calls belong to the thread that
// drives the engine (the main thread); the engine's audio thread sees the graph only through
// the render plan it publishes.
class AVAudioNode : public std::enable_shared_from_this<AVAudioNode> {
public:
    virtual ~AVAudioNode();
    AVAudioNode(const AVAudioNode&) = delete;
    AVAudioNode& operator=(const AVAudioNode&) = delete;

    // The engine the node is attached to, or null.
    AVAudioEngine* engine() const { return engine_; }

    // A unit node has its unit's buses; other nodes say their own.
    virtual uint32_t numberOfInputs() const;
    virtual uint32_t numberOfOutputs() const;

    // The format of a bus: its connection's format when connected, else the node's own.
    std::optional<AVAudioFormat> inputFormatForBus(AVAudioNodeBus bus) const;
    std::optional<AVAudioFormat> outputFormatForBus(AVAudioNodeBus bus) const;

    // Removes the tap on a bus. This engine installs no taps, so there is never one to remove.
    void removeTapOnBus(AVAudioNodeBus bus);

    // The audio unit a unit node renders through; null for every other node.
    const std::shared_ptr<AUAudioUnit>& hostedAudioUnit() const { return unit_; }

protected:
    AVAudioNode() = default;
    explicit AVAudioNode(std::shared_ptr<AUAudioUnit> unit);

    // The format of an unconnected bus; for a unit node, the unit's bus format.
    virtual std::optional<AVAudioFormat> unconnectedInputFormat(AVAudioNodeBus bus) const;
    virtual std::optional<AVAudioFormat> unconnectedOutputFormat(AVAudioNodeBus bus) const;

private:
    friend class AVAudioEngine;
    AVAudioEngine* engine_ = nullptr;
    std::shared_ptr<AUAudioUnit> unit_;
};

// Sums its inputs into one output. An input with another channel count is mapped: mono goes
// to every channel, more channels fold onto fewer by averaging. No sample-rate conversion:
// every connection of a graph runs at the device's rate.
class AVAudioMixerNode final : public AVAudioNode {
public:
    static constexpr uint32_t kInputBusCount = 64;
    AVAudioMixerNode() = default;
    uint32_t numberOfInputs() const override { return kInputBusCount; }
    uint32_t numberOfOutputs() const override { return 1; }
};

// The engine's way out to the output device. Its output bus stands for the device: its format
// is the device's (the rate the graph will run the device at, and the device's channels).
class AVAudioOutputNode final : public AVAudioNode {
public:
    uint32_t numberOfInputs() const override { return 1; }
    uint32_t numberOfOutputs() const override { return 1; }

protected:
    std::optional<AVAudioFormat> unconnectedOutputFormat(AVAudioNodeBus bus) const override;
};

// The engine's capture side. No live input is recorded: its format only reports the default
// capture device, when the output device layer knows one.
class AVAudioInputNode final : public AVAudioNode {
public:
    uint32_t numberOfInputs() const override { return 0; }
    uint32_t numberOfOutputs() const override { return 1; }

protected:
    std::optional<AVAudioFormat> unconnectedOutputFormat(AVAudioNodeBus bus) const override;
};
