#pragma once

#include "tests/support/AllocationCounter.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace stage_test {

// Calls a stereo stage, stage(L, R, frames, knob, knob, knob), 400 times on a tone, with block
// lengths from 1 to 4096 frames and its three knobs drawn at random for every call. Returns the
// heap allocations the calls made.
template <class Stage>
std::size_t allocationsWithKnobsMoving(unsigned seed, Stage&& stage) {
    std::vector<float> L(4096), R(4096);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> knob(0, 100);
    tolvane::test::AllocationCounter counter;
    for (int block = 0; block < 400; ++block) {
        const auto n = static_cast<uint32_t>(1 + (block * 97) % 4096);
        for (uint32_t i = 0; i < n; ++i) L[i] = R[i] = std::sin(static_cast<float>(i) * 0.05f);
        stage(L.data(), R.data(), n, knob(rng), knob(rng), knob(rng));
    }
    return counter.allocations();
}

}  // namespace stage_test
