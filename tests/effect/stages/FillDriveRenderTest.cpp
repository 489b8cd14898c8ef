// FILLDRIVE through the render block: drive models loaded from a bundle at allocation, model
// switches on both channels, block sizes, and no allocation inside a render call.

#include "tests/effect/stages/StageModelFiles.h"
#include "tests/support/EffectHost.h"
#include "tests/support/RenderSoak.h"
#include "tests/support/Signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

namespace {

using tolvane::test::EffectHost;
using tolvane::test::parameterEvent;
using tolvane::test::tone;
namespace addr = ParameterAddress;

struct DriveBundle {
    stage_test::ModelFolder folder;
    DriveBundle() {
        const int values[] = {0, 12, 25, 37, 50, 62, 75, 87, 100};
        for (int i = 0; i < 9; ++i)
            folder.writeLinear("tv-drive-" + std::to_string(values[i]), {0.5f + 0.05f * static_cast<float>(i), -0.1f});
    }
    EffectHost host(uint32_t maxFrames = 512) {
        EffectHost h({.maxFrames = maxFrames, .bundle = Bundle(folder.path())});
        h.set(addr::effectMode, 2);
        return h;
    }
};

TEST(FillDriveRenderTest, BothChannelsSwitchTogetherWhateverTheBlockSize) {
    // Blocks that divide the 2048-sample fade meet the swap on a boundary, so they agree.
    DriveBundle bundle;
    const auto input = tone(16384, 0.4f, 0.023f);
    std::vector<float> reference;
    for (uint32_t block : {512u, 128u, 64u}) {
        EffectHost host = bundle.host();
        host.set(addr::compressor, 70);
        host.set(addr::crackle, 55);
        host.set(addr::wowFlutter, 40);
        ASSERT_TRUE(host.allocate());
        ASSERT_TRUE(host.unit->isModelReady(2));
        // The models came with allocation. Marking the mode as seen keeps the first call from
        // queueing a reload whose lock could make one block silent, which would shift the fades.
        host.unit->renderState->hasLastMode = true;
        host.unit->renderState->lastMode = 2;
        auto [L, R] = host.process(input, input, block);
        EXPECT_EQ(L, R) << block;
        EXPECT_EQ(host.unit->renderState->driveActiveIdx, 3);
        EXPECT_EQ(host.unit->filterRightState->driveActiveIdx, 3);
        if (reference.empty()) reference = L;
        else for (std::size_t i = 0; i < L.size(); ++i) ASSERT_NEAR(L[i], reference[i], 1e-6) << block << " " << i;
    }
}

TEST(FillDriveRenderTest, NoAllocationInTheRenderWhileModelsSwitch) {
    DriveBundle bundle;
    EffectHost host = bundle.host(1024);
    ASSERT_TRUE(host.allocate());
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> knob(0, 100);
    tolvane::test::RenderSoak soak(host);
    for (int block = 0; block < 1500; ++block) {
        soak.fillTone(block, 1.0f, 0.01f);
        auto e2 = parameterEvent(addr::wowFlutter, block % 9 == 0 ? 0.0f : knob(rng));
        auto e1 = parameterEvent(addr::crackle, knob(rng), AURenderEventType::parameterRamp, &e2);
        auto e0 = parameterEvent(addr::compressor, knob(rng), AURenderEventType::parameter, &e1);
        ASSERT_EQ(soak.render(1 + (block * 37) % 1024, block % 4 == 0, &e0), noErr);
    }
    EXPECT_EQ(soak.allocations + soak.frees, 0u);
    EXPECT_EQ(soak.nonFinite, 0u);
}

// The bundle's own models, as generated at build time, with the knobs moving.
TEST(FillDriveRenderTest, GeneratedDriveModelsRenderCleanlyWithoutAllocation) {
    EffectHost host({.maxFrames = 1024, .bundle = Bundle(TOLVANE_RESOURCE_DIR)});
    host.set(addr::effectMode, 2);
    ASSERT_TRUE(host.allocate());
    for (const auto& slot : host.unit->renderState->drivePlayers)
        if (slot.get() == nullptr) GTEST_SKIP() << "the bundle's models use an architecture the engine does not run yet";
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> knob(0, 100);
    tolvane::test::RenderSoak soak(host);
    for (int block = 0; block < 600; ++block) {
        soak.fillTone(block, 0.3f, 0.013f);
        auto e2 = parameterEvent(addr::wowFlutter, knob(rng));
        auto e1 = parameterEvent(addr::crackle, knob(rng), AURenderEventType::parameter, &e2);
        auto e0 = parameterEvent(addr::compressor, knob(rng), AURenderEventType::parameter, &e1);
        ASSERT_EQ(soak.render(256 + (block * 37) % 769, false, block % 8 == 0 ? &e0 : nullptr), noErr);
    }
    EXPECT_EQ(soak.allocations + soak.frees, 0u);
    EXPECT_EQ(soak.nonFinite, 0u);
    EXPECT_GT(soak.energy, 1.0);
}

}  // namespace
