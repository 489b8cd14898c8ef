#pragma once

// The in-process host without any test framework, so that tests and benchmarks drive the unit
// the same way. EffectHost (EffectHost.h) adds the test assertions on top.

#include "effect/Kessrin_VinylExtensionAudioUnit.h"
#include "effect/ParameterSpecs.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace tolvane::test {

inline AudioComponentDescription effectDescription() {
    return {fourCharCode("aufx"), fourCharCode("vnyl"), fourCharCode("MrLw"), 0, 0};
}

// Drives a unit the way a host does: formats, allocation, a render block read after allocation,
// and a pull-input block that hands the unit the caller's input samples.
class UnitHost {
public:
    struct Options {
        double sampleRate = 44100;
        uint32_t inputChannels = 2;
        uint32_t outputChannels = 2;
        uint32_t maxFrames = 512;
        std::optional<Bundle> bundle = std::nullopt;  // default: an empty folder, so nothing loads
    };

    UnitHost() : UnitHost(Options{}) {}
    explicit UnitHost(Options options) : options_(std::move(options)) {
        Error error;
        unit = makeAudioUnit(effectDescription(), 0, &error);
        if (!unit) throw std::runtime_error(error.description());
        unit->setResourceBundle(options_.bundle ? *options_.bundle
                                                : Bundle(std::filesystem::temp_directory_path() / "tolvane-no-resources"));
        // The pull block reads through a heap record so that the host can be moved.
        pull_ = [input = input_.get()](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount frames,
                                       NSInteger, AudioBufferList* list) -> AUAudioUnitStatus {
            for (uint32_t b = 0; b < list->mNumberBuffers; ++b) {
                auto* out = static_cast<float*>(list->mBuffers[b].mData);
                const float* in = input->channels[std::min<uint32_t>(b, input->count - 1)];
                if (out && in && out != in) std::copy(in, in + frames, out);
            }
            return input->status;
        };
    }

    // Sets the bus formats and the frame limit; false when a bus refuses its format.
    bool setFormats() {
        const auto rate = options_.sampleRate;
        const bool input = unit->inputBus->setFormat(*AVAudioFormat::standardFormat(rate, options_.inputChannels), nullptr);
        const bool output =
            unit->outputBus->setFormat(*AVAudioFormat::standardFormat(rate, options_.outputChannels), nullptr);
        unit->setMaximumFramesToRender(options_.maxFrames);
        return input && output;
    }

    // Allocates render resources and reads a fresh render block.
    bool allocateResources() {
        Error error;
        const bool ok = unit->allocateRenderResources(&error);
        block = unit->internalRenderBlock();
        return ok;
    }

    // Formats, then allocation; false when either step fails.
    bool allocate() {
        const bool formats = setFormats();
        return allocateResources() && formats;
    }

    void set(AUParameterAddress address, AUValue value) { unit->parameterTree()->parameterWithAddress(address)->setValue(value); }
    AUValue value(AUParameterAddress address) const { return unit->parameterTree()->parameterWithAddress(address)->value(); }

    // Renders in place: the buffers hold the input on entry and the output on return. R may be
    // null for a mono block.
    AUAudioUnitStatus render(float* L, float* R, uint32_t frames, const AURenderEvent* events = nullptr) {
        input_->channels[0] = L;
        input_->channels[1] = R ? R : L;
        input_->count = R ? 2 : 1;
        input_->status = pullStatus;
        AudioBufferList list;
        list.mNumberBuffers = R ? 2 : 1;
        list.mBuffers[0] = {1, frames * 4, L};
        list.mBuffers[1] = {1, frames * 4, R};
        AudioUnitRenderActionFlags flags = 0;
        AudioTimeStamp ts;
        return block(&flags, &ts, frames, 0, &list, events, &pull_);
    }

    // Waits until the model-load queue has run everything queued so far (never on the render thread).
    void finishQueuedLoads() {
        unit->modelLoadQueue.sync([] {});
    }

    std::shared_ptr<Kessrin_VinylExtensionAudioUnit> unit;
    AUInternalRenderBlock block;
    AUAudioUnitStatus pullStatus = noErr;

    const AURenderPullInputBlock& pullBlock() const { return pull_; }

private:
    Options options_;
    AURenderPullInputBlock pull_;
    struct PullInput {
        const float* channels[2] = {nullptr, nullptr};
        uint32_t count = 1;
        AUAudioUnitStatus status = noErr;
    };
    std::unique_ptr<PullInput> input_ = std::make_unique<PullInput>();
};

// A parameter event for a render call's event list.
inline AURenderEvent parameterEvent(AUParameterAddress address, AUValue value,
                                    AURenderEventType type = AURenderEventType::parameter,
                                    const AURenderEvent* next = nullptr) {
    AURenderEvent e{};
    e.parameter.next = next;
    e.parameter.eventType = type;
    e.parameter.parameterAddress = address;
    e.parameter.value = value;
    return e;
}

}  // namespace tolvane::test
