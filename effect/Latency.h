#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The delay a host compensates. VINYL delays by its delay line's nominal 512 (read at d = 512,
// which is 511 samples behind the newest) plus its compressor's look-ahead; every other mode is
// delayed to match, so that the one latency the unit reports holds whatever the mode and a mode
// switch never asks the host to re-compensate (VST3 and CLAP hosts restart a plug-in for that).
int64_t effectLatencyFrames(float sampleRate) noexcept;

// Delays both channels by a fixed number of frames, in place, on the render thread: the modes
// other than VINYL pass through it so that they share VINYL's delay.
class LatencyAlignment {
public:
    static constexpr std::size_t kCapacity = 1024;  // above the largest latency, 511 + 511

    // Both lines back to silence.
    void clear() noexcept;
    // Delays L (and R when present) by `frames`, which must be below kCapacity.
    void process(float* L, float* R, uint32_t n, int64_t frames) noexcept;

private:
    std::array<float, kCapacity> left_{};
    std::array<float, kCapacity> right_{};
    std::size_t write_ = 0;
};
