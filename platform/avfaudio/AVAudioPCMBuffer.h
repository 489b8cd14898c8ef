#pragma once

#include "platform/avfaudio/AVAudioFormat.h"

#include <cstdint>
#include <memory>
#include <vector>

// A block of non-interleaved float audio: frameCapacity frames per channel, of which the first
// frameLength are valid.
class AVAudioPCMBuffer {
public:
    // Nothing when the capacity cannot be held (0 frames, or more samples than memory allows).
    static std::shared_ptr<AVAudioPCMBuffer> initWithPCMFormat(const AVAudioFormat& format, uint32_t frameCapacity);

    const AVAudioFormat& format() const { return format_; }
    uint32_t frameCapacity() const { return frameCapacity_; }
    uint32_t frameLength() const { return frameLength_; }
    // Clamped to the capacity.
    void setFrameLength(uint32_t frames) { frameLength_ = frames < frameCapacity_ ? frames : frameCapacity_; }

    // One pointer per channel, each to frameCapacity samples; nothing when the buffer has no channels.
    float* const* floatChannelData() { return channelPointers_.empty() ? nullptr : channelPointers_.data(); }
    const float* const* floatChannelData() const {
        return channelPointers_.empty() ? nullptr : channelPointers_.data();
    }

    AVAudioPCMBuffer(const AVAudioFormat& format, uint32_t frameCapacity);

private:
    AVAudioFormat format_;
    uint32_t frameCapacity_;
    uint32_t frameLength_ = 0;
    std::vector<float> samples_;
    std::vector<float*> channelPointers_;
};
