#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

// The platform's standard audio format: 32-bit float samples, one non-interleaved buffer per
// channel, at a given sample rate and channel count.
class AVAudioFormat {
public:
    // The standard format, or nothing when the rate is not a positive finite number or the
    // channel count is 0.
    static std::optional<AVAudioFormat> standardFormat(double sampleRate, uint32_t channels) {
        if (!(std::isfinite(sampleRate) && sampleRate > 0.0) || channels == 0) return std::nullopt;
        return AVAudioFormat(sampleRate, channels);
    }

    double sampleRate() const { return sampleRate_; }
    uint32_t channelCount() const { return channelCount_; }
    bool isInterleaved() const { return false; }

    bool operator==(const AVAudioFormat&) const = default;

private:
    AVAudioFormat(double sampleRate, uint32_t channels) : sampleRate_(sampleRate), channelCount_(channels) {}

    double sampleRate_;
    uint32_t channelCount_;
};
