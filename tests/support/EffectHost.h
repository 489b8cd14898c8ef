#pragma once

#include "tests/support/Signals.h"
#include "tests/support/UnitHost.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace tolvane::test {

// The in-process host of the tests: UnitHost with its set-up steps checked.
class EffectHost : public UnitHost {
public:
    using UnitHost::UnitHost;

    // Sets the bus formats and the frame limit, allocates and reads a fresh render block.
    bool allocate() {
        EXPECT_TRUE(setFormats());
        return allocateResources();
    }

    // Renders a whole signal in blocks of `blockSize`, returning the output.
    std::pair<std::vector<float>, std::vector<float>> process(std::vector<float> left, std::vector<float> right,
                                                              uint32_t blockSize) {
        const bool stereo = !right.empty();
        forEachBlock(left.size(), blockSize, [&](std::size_t at, uint32_t n) {
            EXPECT_EQ(render(left.data() + at, stereo ? right.data() + at : nullptr, n), noErr);
        });
        return {std::move(left), std::move(right)};
    }
};

}  // namespace tolvane::test
