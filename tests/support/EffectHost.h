#pragma once

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
        for (std::size_t start = 0; start < left.size(); start += blockSize) {
            const auto n = static_cast<uint32_t>(std::min<std::size_t>(blockSize, left.size() - start));
            EXPECT_EQ(render(left.data() + start, stereo ? right.data() + start : nullptr, n), noErr);
        }
        return {std::move(left), std::move(right)};
    }
};

}  // namespace tolvane::test
