#pragma once

// A small unit for the component system's tests: a fixed gain with a few parameters whose
// reactions make the travel of values and names between processes visible. The tests run it in
// process and, through the test extension executable, in a process of its own.

#include "platform/audiotoolbox/AUAudioUnit.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

namespace tolvane::test {

namespace gain {
inline constexpr AUParameterAddress kGain = 0;
inline constexpr AUParameterAddress kEchoIn = 1;   // set from outside: the unit answers on kEchoOut
inline constexpr AUParameterAddress kEchoOut = 2;  // 2 x kEchoIn, with the same event type
inline constexpr AUParameterAddress kContextLength = 3;  // the length of the unit's contextName
inline constexpr AUParameterAddress kStep = 4;
// Given this contextName, the unit renames itself to kRenamed.
inline constexpr const char* kRenameMe = "rename-me";
inline constexpr const char* kRenamed = "renamed by the unit";
inline constexpr int kLatencyFrames = 16;
}  // namespace gain

inline AudioComponentDescription gainDescription() {
    return {fourCharCode("aufx"), fourCharCode("gain"), fourCharCode("Test"), 0, 0};
}

class GainTestUnit : public AUAudioUnit {
public:
    static std::shared_ptr<GainTestUnit> make() {
        auto unit = std::make_shared<GainTestUnit>();
        unit->initWithComponentDescription(gainDescription(), 0, nullptr);
        unit->setUp();
        return unit;
    }

    std::string audioUnitName() const override { return "Gain"; }
    std::string audioUnitShortName() const override { return "Gn"; }
    std::string manufacturerName() const override { return "Test"; }
    AUAudioUnitBusArray* inputBusses() override { return inputs_.get(); }
    AUAudioUnitBusArray* outputBusses() override { return outputs_.get(); }
    std::vector<int> channelCapabilities() const override { return {1, 1, 2, 2}; }
    double latency() const override { return gain::kLatencyFrames / output_->format().sampleRate(); }

    bool allocateRenderResources(Error* error) override {
        if (!AUAudioUnit::allocateRenderResources(error)) return false;
        scratch_->assign(output_->format().channelCount() * maximumFramesToRender(), 0.0f);
        return true;
    }

    AUInternalRenderBlock internalRenderBlock() override {
        return [gain = gain_, scratch = scratch_, maxFrames = maximumFramesToRender(),
                channels = output_->format().channelCount()](
                   AudioUnitRenderActionFlags* flags, const AudioTimeStamp* timestamp, AUAudioFrameCount frames,
                   NSInteger, AudioBufferList* output, const AURenderEvent* events,
                   const AURenderPullInputBlock* pull) -> AUAudioUnitStatus {
            if (frames > maxFrames) return kAudioUnitErr_TooManyFramesToProcess;
            for (uint32_t b = 0; b < output->mNumberBuffers; ++b)
                if (output->mBuffers[b].mData == nullptr) output->mBuffers[b].mData = scratch->data() + b * maxFrames;
            if (!pull || !*pull) return kAudioUnitErr_NoConnection;
            if (const auto status = (*pull)(flags, timestamp, frames, 0, output); status != noErr) return status;
            // A parameter event takes effect at its sample within the block.
            uint32_t start = 0;
            auto applyUntil = [&](uint32_t end) {
                const float g = gain->load();
                for (uint32_t b = 0; b < std::min(output->mNumberBuffers, channels); ++b) {
                    auto* data = static_cast<float*>(output->mBuffers[b].mData);
                    for (uint32_t i = start; i < end; ++i) data[i] *= g;
                }
                start = end;
            };
            const auto blockStart = static_cast<int64_t>(timestamp ? timestamp->mSampleTime : 0);
            for (const AURenderEvent* e = events; e != nullptr; e = e->head.next) {
                if (e->head.eventType != AURenderEventType::parameter || e->parameter.parameterAddress != gain::kGain)
                    continue;
                const auto at = std::clamp<int64_t>(e->parameter.eventSampleTime - blockStart, start, frames);
                applyUntil(static_cast<uint32_t>(at));
                gain->store(e->parameter.value);
            }
            applyUntil(frames);
            return noErr;
        };
    }

private:
    void setUp() {
        const auto stereo = *AVAudioFormat::standardFormat(44100, 2);
        input_ = AUAudioUnitBus::initWithFormat(stereo, nullptr);
        output_ = AUAudioUnitBus::initWithFormat(stereo, nullptr);
        input_->setSupportedChannelCounts({1, 2});
        output_->setSupportedChannelCounts({1, 2});
        inputs_ = std::make_unique<AUAudioUnitBusArray>(*this, AUAudioUnitBusType::input, std::vector{input_});
        outputs_ = std::make_unique<AUAudioUnitBusArray>(*this, AUAudioUnitBusType::output, std::vector{output_});

        constexpr auto rw = kAudioUnitParameterFlag_IsReadable | kAudioUnitParameterFlag_IsWritable;
        auto make = [](const char* id, const char* name, AUParameterAddress address, AUValue max,
                       AudioUnitParameterUnit unit, std::optional<std::vector<std::string>> strings = std::nullopt) {
            return AUParameterTree::createParameterWithIdentifier(id, name, address, 0, max, unit,
                                                    unit == kAudioUnitParameterUnit_Indexed ? std::optional<std::string>("step")
                                                                                            : std::nullopt,
                                                    rw, std::move(strings), std::nullopt);
        };
        auto echo = AUParameterTree::createGroupWithIdentifier(
            "echo", "Echo",
            {make("echoIn", "Echo In", gain::kEchoIn, 1, kAudioUnitParameterUnit_Generic),
             make("echoOut", "Echo Out", gain::kEchoOut, 2, kAudioUnitParameterUnit_Generic)});
        auto tree = AUParameterTree::createTreeWithChildren({make("gain", "Gain", gain::kGain, 4, kAudioUnitParameterUnit_Generic),
                                                 echo,
                                                 make("contextLength", "Context Length", gain::kContextLength, 1000,
                                                      kAudioUnitParameterUnit_Generic),
                                                 make("step", "Step", gain::kStep, 2, kAudioUnitParameterUnit_Indexed,
                                                      std::vector<std::string>{"A", "B", "C"})});
        tree->parameterWithAddress(gain::kGain)->setValue(1.0f);
        tree->setImplementorValueObserver([gain = gain_](AUParameter& p, AUValue v) {
            if (p.address() == gain::kGain) gain->store(v);
        });
        setParameterTree(tree);

        std::weak_ptr<AUParameterTree> weakTree = tree;
        ownToken_ = tree->tokenByAddingParameterAutomationObserver(
            [weakTree, this](AUParameterAddress address, AUValue value, AUParameterAutomationEventType type) {
                auto t = weakTree.lock();
                if (t && address == gain::kEchoIn) t->parameterWithAddress(gain::kEchoOut)->setValue(2 * value, ownToken_, 0, type);
            });
        observeContextName([this, weakTree] {
            const auto name = contextName();
            if (name && *name == gain::kRenameMe) {
                setContextName(std::string(gain::kRenamed));  // that change sets the length itself
                return;
            }
            if (auto t = weakTree.lock())
                t->parameterWithAddress(gain::kContextLength)->setValue(name ? static_cast<AUValue>(name->size()) : 0, ownToken_);
        });
    }

    std::shared_ptr<std::atomic<float>> gain_ = std::make_shared<std::atomic<float>>(1.0f);
    std::shared_ptr<std::vector<float>> scratch_ = std::make_shared<std::vector<float>>();
    std::shared_ptr<AUAudioUnitBus> input_, output_;
    std::unique_ptr<AUAudioUnitBusArray> inputs_, outputs_;
    AUParameterObserverToken ownToken_ = 0;
};

}  // namespace tolvane::test
