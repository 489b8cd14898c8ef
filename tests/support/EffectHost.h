#pragma once

#include "effect/Kessrin_VinylExtensionAudioUnit.h"
#include "effect/ParameterSpecs.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace tolvane::test {

inline AudioComponentDescription effectDescription() {
    return {fourCharCode("aufx"), fourCharCode("vnyl"), fourCharCode("MrLw"), 0, 0};
}

// Drives a unit the way a host does: formats, allocation, a render block read after allocation,
// and a pull-input block that hands the unit the caller's input samples.
class EffectHost {
public:
    struct Options {
        double sampleRate = 44100;
        uint32_t inputChannels = 2;
        uint32_t outputChannels = 2;
        uint32_t maxFrames = 512;
        std::optional<Bundle> bundle = std::nullopt;  // default: an empty folder, so nothing loads
    };

    EffectHost() : EffectHost(Options{}) {}
    explicit EffectHost(Options options) : options_(std::move(options)) {
        Error error;
        unit = makeAudioUnit(effectDescription(), 0, &error);
        if (!unit) throw std::runtime_error(error.description());
        unit->setResourceBundle(options_.bundle ? *options_.bundle : Bundle(std::filesystem::temp_directory_path() / "tolvane-no-resources"));
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

    // Sets the bus formats and the frame limit, allocates and reads a fresh render block.
    bool allocate() {
        const auto rate = options_.sampleRate;
        EXPECT_TRUE(unit->inputBus->setFormat(*AVAudioFormat::standardFormat(rate, options_.inputChannels), nullptr));
        EXPECT_TRUE(unit->outputBus->setFormat(*AVAudioFormat::standardFormat(rate, options_.outputChannels), nullptr));
        unit->setMaximumFramesToRender(options_.maxFrames);
        Error error;
        const bool ok = unit->allocateRenderResources(&error);
        block = unit->internalRenderBlock();
        return ok;
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

    // Renders a whole signal in blocks of `blockSize`, returning the output.
    std::pair<std::vector<float>, std::vector<float>> process(std::vector<float> left, std::vector<float> right,
                                                              uint32_t blockSize) {
        const bool stereo = !right.empty();
        for (std::size_t start = 0; start < left.size(); start += blockSize) {
            const auto n = static_cast<uint32_t>(std::min<std::size_t>(blockSize, left.size() - start));
            EXPECT_EQ(render(left.data() + start, stereo ? right.data() + start : nullptr, n), noErr);
        }
        return {std::move(left), std::move(right)};
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
