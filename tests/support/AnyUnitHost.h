#pragma once

// Drives any audio unit the way a host does (formats, frame limit, allocation, a render block
// and a pull-input block), on planar signals. Used alike for units in this process and units
// served by an extension process, so the two can be compared sample for sample.

#include "platform/audiotoolbox/AUAudioUnit.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <vector>

namespace tolvane::test {

using Planes = std::vector<std::vector<float>>;

class AnyUnitHost {
public:
    explicit AnyUnitHost(std::shared_ptr<AUAudioUnit> unit) : unit_(std::move(unit)) {}

    // Both buses at `rate` with `channels`, the frame limit, then allocation and a fresh block.
    bool allocate(double rate, uint32_t channels, uint32_t maxFrames, Error* error = nullptr) {
        const auto format = *AVAudioFormat::standardFormat(rate, channels);
        if (!(*unit_->inputBusses())[0].setFormat(format, error) || !(*unit_->outputBusses())[0].setFormat(format, error))
            return false;
        unit_->setMaximumFramesToRender(maxFrames);
        if (!unit_->allocateRenderResources(error)) return false;
        block_ = unit_->internalRenderBlock();
        channels_ = channels;
        return true;
    }

    // Renders input[c][offset, offset + frames) into output[c] at the same place.
    AUAudioUnitStatus render(const Planes& input, std::size_t offset, uint32_t frames, Planes& output,
                             const AURenderEvent* events = nullptr) {
        if (output.size() < channels_) output.resize(channels_);
        for (auto& plane : output)
            if (plane.size() < offset + frames) plane.resize(offset + frames, 0.0f);
        AURenderPullInputBlock pull = [&](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount n,
                                          NSInteger, AudioBufferList* list) -> AUAudioUnitStatus {
            for (uint32_t b = 0; b < list->mNumberBuffers; ++b) {
                const float* from = input[std::min<std::size_t>(b, input.size() - 1)].data() + offset;
                if (list->mBuffers[b].mData == nullptr) list->mBuffers[b].mData = const_cast<float*>(from);
                else std::copy(from, from + n, static_cast<float*>(list->mBuffers[b].mData));
            }
            return noErr;
        };
        AudioBufferList list;
        list.mNumberBuffers = channels_;
        for (uint32_t c = 0; c < channels_; ++c) list.mBuffers[c] = {1, frames * 4u, output[c].data() + offset};
        AudioUnitRenderActionFlags flags = 0;
        AudioTimeStamp timestamp{static_cast<double>(offset), 0, 0};
        const auto status = block_(&flags, &timestamp, frames, 0, &list, events, &pull);
        // A unit may answer with its own memory.
        for (uint32_t c = 0; c < channels_; ++c) {
            const auto* data = static_cast<const float*>(list.mBuffers[c].mData);
            if (data != output[c].data() + offset) std::copy(data, data + frames, output[c].data() + offset);
        }
        return status;
    }

    // The whole input in consecutive blocks whose sizes cycle through `blocks`.
    Planes renderAll(const Planes& input, const std::vector<uint32_t>& blocks) {
        Planes output;
        const std::size_t total = input.front().size();
        for (std::size_t offset = 0, i = 0; offset < total; ++i) {
            const auto frames = static_cast<uint32_t>(std::min<std::size_t>(blocks[i % blocks.size()], total - offset));
            if (render(input, offset, frames, output) != noErr) throw std::runtime_error("render failed");
            offset += frames;
        }
        return output;
    }

    AUAudioUnit& unit() const { return *unit_; }
    const AUInternalRenderBlock& block() const { return block_; }

private:
    std::shared_ptr<AUAudioUnit> unit_;
    AUInternalRenderBlock block_;
    uint32_t channels_ = 0;
};

}  // namespace tolvane::test
