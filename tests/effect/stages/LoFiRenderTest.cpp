// LO-FI through the render block: bit models loaded from a bundle at allocation, both channels
// served, block sizes free, and no allocation inside a render call.

#include "tests/effect/stages/ModelStageRender.h"
#include "tests/support/Signals.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using tolvane::test::EffectHost;
using tolvane::test::tone;
namespace addr = ParameterAddress;

// A bundle whose seven bit models are gains (or short filters), none of them the identity, so a
// channel without its models would sound different.
struct LoFiBundle : stage_test::LinearModelBundle {
    LoFiBundle()
        : LinearModelBundle(1, {"bit0", "bit12", "bit25", "bit37", "bit50", "bit67", "bit75"},
                            [](float i) { return std::vector<float>{0.6f + 0.1f * i, 0.15f}; }) {}
};

TEST(LoFiRenderTest, BothChannelsRunTheirModelsAndBlockSizesDoNotMatter) {
    LoFiBundle bundle;
    const auto input = tone(20000, 0.4f, 0.031f);
    std::vector<float> reference;
    for (uint32_t block : {512u, 100u, 7u}) {
        EffectHost host = bundle.host();
        host.set(addr::compressor, 35);
        host.set(addr::crackle, 40);
        host.set(addr::wowFlutter, 60);
        ASSERT_TRUE(host.allocate());
        ASSERT_TRUE(host.unit->isModelReady(1));
        auto [L, R] = host.process(input, input, block);
        EXPECT_EQ(L, R) << block;
        if (reference.empty()) reference = L;
        else for (std::size_t i = 0; i < L.size(); ++i) ASSERT_NEAR(L[i], reference[i], 1e-6) << block << " " << i;
    }
    double energy = 0;
    for (std::size_t i = 8192; i < reference.size(); ++i) energy += reference[i] * reference[i];
    EXPECT_GT(energy, 1.0);
}

TEST(LoFiRenderTest, NoAllocationInTheRenderWithModelsLoaded) {
    LoFiBundle bundle;
    EffectHost host = bundle.host(1024);
    ASSERT_TRUE(host.allocate());
    const auto soak = stage_test::soakWithKnobsMoving(host, 3);
    EXPECT_EQ(soak.allocations + soak.frees, 0u);
    EXPECT_EQ(soak.nonFinite, 0u);
}

// The bundle's own models, as generated at build time, with the knobs moving.
TEST(LoFiRenderTest, GeneratedBitModelsRenderCleanlyWithoutAllocation) {
    EffectHost host({.maxFrames = 1024, .bundle = Bundle(TOLVANE_RESOURCE_DIR)});
    host.set(addr::effectMode, 1);
    ASSERT_TRUE(host.allocate());
    for (const auto& slot : host.unit->renderState->lofiBitPlayers)
        if (slot.get() == nullptr) GTEST_SKIP() << "the bundle's models use an architecture the engine does not run yet";
    const auto soak = stage_test::soakOnGeneratedModels(host);
    EXPECT_EQ(soak.allocations + soak.frees, 0u);
    EXPECT_EQ(soak.nonFinite, 0u);
    EXPECT_GT(soak.energy, 1.0);
}

}  // namespace
