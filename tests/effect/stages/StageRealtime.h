#pragma once

// The real-time checks the stage tests share: no heap use on the render path.

#include "tests/support/AllocationCounter.h"
#include "tests/support/EffectHost.h"
#include "tests/support/Signals.h"

#include <gtest/gtest.h>

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

// Renders eight blocks of 512 frames of noise in place through the host, stereo or mono, and
// returns the heap allocations the render calls made.
inline std::size_t allocationsOfFirstBlocks(tolvane::test::EffectHost& host, bool stereo, unsigned seed) {
    std::vector<float> L = tolvane::test::noise(512, seed), R = tolvane::test::noise(512, seed + 1);
    tolvane::test::AllocationCounter counter;
    for (int block = 0; block < 8; ++block) EXPECT_EQ(host.render(L.data(), stereo ? R.data() : nullptr, 512), noErr);
    return counter.allocations();
}

}  // namespace stage_test
