#pragma once

#include "tests/support/AllocationCounter.h"
#include "tests/support/UnitHost.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolvane::test {

// Plays a host block after block, as the long render tests do: each render call is counted for
// the heap allocations and frees it makes on this thread, and what it puts out is checked for
// non-finite samples and summed into the left channel's energy. The caller fills `left` and
// `right` (or lets fillTone do it) and moves the knobs with the events it passes.
class RenderSoak {
public:
    explicit RenderSoak(UnitHost& host, std::size_t bufferFrames = 1024)
        : left(bufferFrames), right(bufferFrames), host_(host) {}

    // Both channels: amplitude · sin(step · t), where t runs on from block · bufferFrames, so
    // consecutive blocks continue one tone.
    void fillTone(int block, float amplitude, float step) {
        const std::size_t start = static_cast<std::size_t>(block) * left.size();
        for (std::size_t i = 0; i < left.size(); ++i)
            left[i] = right[i] = amplitude * std::sin(static_cast<float>(start + i) * step);
    }

    // One counted render call of n frames in place, without the right channel when `mono`.
    AUAudioUnitStatus render(uint32_t n, bool mono = false, const AURenderEvent* events = nullptr) {
        AUAudioUnitStatus status;
        {
            AllocationCounter counter;
            status = host_.render(left.data(), mono ? nullptr : right.data(), n, events);
            allocations += counter.allocations();
            frees += counter.frees();
        }
        for (uint32_t i = 0; i < n; ++i) {
            nonFinite += !std::isfinite(left[i]) || (!mono && !std::isfinite(right[i]));
            energy += static_cast<double>(left[i]) * left[i];
        }
        return status;
    }

    std::vector<float> left, right;
    std::size_t allocations = 0, frees = 0;
    std::size_t nonFinite = 0;  // samples of the rendered channels that were NaN or infinite
    double energy = 0;          // sum of the left output's squares

private:
    UnitHost& host_;
};

}  // namespace tolvane::test
