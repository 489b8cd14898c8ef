#include "tests/support/Beds.h"
#include "tests/support/EffectHost.h"
#include "tests/support/ReferenceBiquad.h"
#include "tests/support/RenderSoak.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

namespace {

using tolvane::test::EffectHost;
using tolvane::test::parameterEvent;
namespace addr = ParameterAddress;

std::shared_ptr<AVAudioPCMBuffer> monoBed(std::vector<float> samples) { return tolvane::test::bedFrom({samples}); }

// Output of silence through the global section once the start fade-in is over, with the hiss on.
std::vector<float> hissOutput(const std::shared_ptr<AVAudioPCMBuffer>& bed, AUValue level, std::size_t frames,
                              uint32_t block) {
    EffectHost host;
    host.set(addr::effectMode, 8);
    host.set(addr::hissOn, 1);
    host.set(addr::hissLevel, level);
    EXPECT_TRUE(host.allocate());
    host.unit->resourcePublisher.publish(host.unit->renderState->hissBuffer, bed);
    auto [L, R] = host.process(std::vector<float>(frames), std::vector<float>(frames), block);
    EXPECT_EQ(L, R);
    return L;
}

double lowPassDcGainOf(double fs) {
    const double w0 = 2 * std::numbers::pi * 18000 / fs, alpha = std::sin(w0) / 1.414, c = std::cos(w0);
    const double a0 = 1 + alpha;
    return (2 * (1 - c) / a0) / (1 + (-2 * c / a0) + (1 - alpha) / a0);
}

TEST(RenderHissTest, LevelCurveFromMinus60ToMinus20Decibels) {
    for (auto [level, db] : {std::pair{0.f, -60.0}, {40.f, -44.0}, {100.f, -20.0}}) {
        const auto out = hissOutput(monoBed(std::vector<float>(100, 1.0f)), level, 8192, 512);
        EXPECT_NEAR(out.back(), std::pow(10.0, db / 20) * lowPassDcGainOf(44100), 1e-6) << level;
    }
}

TEST(RenderHissTest, BedWrapsByModuloInsideABlockAndTheHeadStaysInRange) {
    const auto bed = monoBed({1, 2, 3});
    const auto out = hissOutput(bed, 40, 8192, 500);
    // Reference: the bed read 0,1,2,0,1,2... at -44 dB through the low-pass, after the fade-in.
    const double g = std::pow(10.0, -44.0 / 20), fs = 44100;
    const double w0 = 2 * std::numbers::pi * 18000 / fs, alpha = std::sin(w0) / 1.414, c = std::cos(w0), a0 = 1 + alpha;
    const double b0 = (1 - c) / 2 / a0, b1 = (1 - c) / a0, a1 = -2 * c / a0, a2 = (1 - alpha) / a0;
    tolvane::test::ReferenceBiquad lowPass{b0, b1, b0, a1, a2};
    for (std::size_t i = 0; i < out.size(); ++i) {
        const double y = lowPass.tick(g * (1.0 + static_cast<double>(i % 3)));
        if (i >= 4096) {
            ASSERT_NEAR(out[i], y, 1e-6) << i;
        }
    }
}

TEST(RenderHissTest, HeadStaysWithinABedShorterThanABlock) {
    EffectHost host;
    host.set(addr::effectMode, 8);
    host.set(addr::hissOn, 1);
    ASSERT_TRUE(host.allocate());
    host.unit->resourcePublisher.publish(host.unit->renderState->hissBuffer, monoBed({1, 2, 3, 4, 5, 6, 7}));
    host.process(std::vector<float>(512 * 40), std::vector<float>(512 * 40), 512);
    EXPECT_GE(host.unit->renderState->hissReadHead, 0.0);
    EXPECT_LT(host.unit->renderState->hissReadHead, 7.0);
    EXPECT_EQ(host.unit->renderState->hissReadHead, static_cast<double>((512 * 40) % 7));
}

TEST(RenderHissTest, NoHissWhenOffOrBedEmpty) {
    EffectHost host;
    host.set(addr::effectMode, 8);
    ASSERT_TRUE(host.allocate());
    host.unit->resourcePublisher.publish(host.unit->renderState->hissBuffer, monoBed({1, 1}));
    auto [L, R] = host.process(std::vector<float>(5000), std::vector<float>(5000), 512);
    for (float x : L) ASSERT_EQ(x, 0.0f);
    host.set(addr::hissOn, 1);
    auto empty = monoBed({1, 1});
    empty->setFrameLength(0);
    host.unit->resourcePublisher.publish(host.unit->renderState->hissBuffer, empty);
    std::tie(L, R) = host.process(std::vector<float>(600), std::vector<float>(600), 512);
    for (float x : L) ASSERT_EQ(x, 0.0f);
}

// Thousands of blocks through every mode that needs no model, with knobs, switches and modes
// changing through render events and the tree: not one heap allocation inside a render call.
TEST(RenderRealtimeTest, NoAllocationInTheRenderOfModesWithoutModels) {
    EffectHost host({.maxFrames = 1024});
    host.set(addr::hissOn, 1);
    ASSERT_TRUE(host.allocate());
    host.unit->resourcePublisher.publish(host.unit->renderState->hissBuffer, monoBed(std::vector<float>(777, 0.1f)));

    std::mt19937 rng(7);
    std::uniform_real_distribution<float> knob(0, 100);
    const float modes[] = {3, 4, 5, 6, 7, 8, -1};
    tolvane::test::RenderSoak soak(host);
    for (int block = 0; block < 3000; ++block) {
        soak.fillTone(block, 1.0f, 0.01f);
        auto e3 = parameterEvent(addr::amFmMode, static_cast<float>(block % 2));
        auto e2 = parameterEvent(addr::monoSumOn, static_cast<float>((block / 3) % 2), AURenderEventType::parameter, &e3);
        auto e1 = parameterEvent(addr::wowFlutter, knob(rng), AURenderEventType::parameterRamp, &e2);
        auto e0 = parameterEvent(addr::compressor, knob(rng), AURenderEventType::parameter, &e1);
        auto mode = parameterEvent(addr::effectMode, modes[(block / 50) % std::size(modes)],
                                   AURenderEventType::parameter, &e0);
        host.set(addr::crackle, knob(rng));  // from another "thread": the tree
        ASSERT_EQ(soak.render(1 + (block * 37) % 1024, block % 5 == 0, &mode), noErr);
    }
    EXPECT_EQ(soak.allocations + soak.frees, 0u);
}

}  // namespace
