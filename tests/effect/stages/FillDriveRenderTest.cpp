// FILLDRIVE through the render block: drive models loaded from a bundle at allocation, model
// switches on both channels, block sizes, and no allocation inside a render call.

#include "tests/effect/stages/ModelStageRender.h"
#include "tests/support/Signals.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using tolvane::test::EffectHost;
using tolvane::test::tone;
namespace addr = ParameterAddress;

struct DriveBundle : stage_test::LinearModelBundle {
    DriveBundle()
        : LinearModelBundle(2, {"tv-drive-0", "tv-drive-12", "tv-drive-25", "tv-drive-37", "tv-drive-50", "tv-drive-62",
                                "tv-drive-75", "tv-drive-87", "tv-drive-100"},
                            [](float i) { return std::vector<float>{0.5f + 0.05f * i, -0.1f}; }) {}
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
    const auto soak = stage_test::soakWithKnobsMoving(host, 5, 9);
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
    const auto soak = stage_test::soakOnGeneratedModels(host);
    EXPECT_EQ(soak.allocations + soak.frees, 0u);
    EXPECT_EQ(soak.nonFinite, 0u);
    EXPECT_GT(soak.energy, 1.0);
}

}  // namespace
