#include "effect/RenderState.h"
#include "effect/stages/Stages.h"
#include "tests/effect/stages/StageRealtime.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/EffectHost.h"
#include "tests/support/Signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

namespace {

using tolvane::test::noise;
constexpr double kFs = 44100;

struct Knobs {
    float depth, rate, mix;
};

// Runs the stage in blocks; an empty R makes every block mono.
void chorus(RenderState& st, std::vector<float>& L, std::vector<float>* R, Knobs k, std::size_t block = 512,
            float fs = static_cast<float>(kFs)) {
    tolvane::test::forEachBlock(L.size(), block, [&](std::size_t at, uint32_t n) {
        processChorus(st, L.data() + at, R ? R->data() + at : nullptr, n, fs, k.depth, k.mix, k.rate);
    });
}

std::vector<float> chorusMono(std::vector<float> x, Knobs k, std::size_t block = 512, float fs = static_cast<float>(kFs)) {
    RenderState st;
    chorus(st, x, nullptr, k, block, fs);
    return x;
}

std::pair<std::vector<float>, std::vector<float>> chorusStereo(std::vector<float> L, std::vector<float> R, Knobs k,
                                                               std::size_t block = 512) {
    RenderState st;
    chorus(st, L, &R, k, block);
    return {std::move(L), std::move(R)};
}

// A triangle with the phase of a sine: 0 at the start of a cycle, +1 at a quarter.
double triangle(double cycles) { return 2 / std::numbers::pi * std::asin(std::sin(2 * std::numbers::pi * cycles)); }

// Recovers each channel's delay in samples, per sample, at MIX 100 (half wet, half dry). A
// constant input gives the amplitude wobble and the make-up gain; a ramp then turns each tap
// into its delay, since a linear interpolation of a ramp is exact.
struct Sweep {
    double makeup;
    std::vector<double> wobble, left, right;  // wobble: the amplitude LFO of the left voice
};

Sweep measureSweep(float depth, float rate, std::size_t n) {
    const Knobs k{depth, rate, 100};
    const auto [constL, constR] = chorusStereo(std::vector<float>(n, 1.0f), std::vector<float>(n, 1.0f), k);
    constexpr double slope = 1.0 / 1024;  // exact steps in single precision
    std::vector<float> ramp(n);
    for (std::size_t i = 0; i < n; ++i) ramp[i] = static_cast<float>(i * slope);
    const auto [rampL, rampR] = chorusStereo(ramp, ramp, k);

    Sweep s;
    s.makeup = 2.0 * constL[0];  // the line is still silent at the first sample: only the dry half sounds
    for (std::size_t i = 0; i < n; ++i) {
        const double am = 2.0 * constL[i] / s.makeup - 2.0;  // (1 + am) / 2 + 1 / 2 = out / makeup
        s.wobble.push_back(am);
        const double tapL = (2.0 * rampL[i] / s.makeup - ramp[i]) / (1 + am);
        const double tapR = (2.0 * rampR[i] / s.makeup - ramp[i]) / (1 - am);
        s.left.push_back(static_cast<double>(i) - tapL / slope);
        s.right.push_back(static_cast<double>(i) - tapR / slope);
    }
    return s;
}

TEST(ChorusMixTest, MixAtZeroPassesTheInputExactly) {
    const auto L = noise(6000, 1), R = noise(6000, 2);
    for (Knobs k : {Knobs{100, 30, 0}, Knobs{0, 100, 0}, Knobs{55, 5, 0}}) {
        const auto [outL, outR] = chorusStereo(L, R, k);
        EXPECT_EQ(outL, L);
        EXPECT_EQ(outR, R);
        EXPECT_EQ(chorusMono(L, k), L);
    }
}

TEST(ChorusMixTest, MakeupFollowsMixAndDepth) {
    // The first sample of a fresh state is the dry part alone: dry * makeup.
    const auto firstSample = [](Knobs k) { return chorusMono(std::vector<float>(4, 1.0f), k)[0]; };
    EXPECT_NEAR(firstSample({0, 0, 100}), 0.5 * 1.4962, 1e-4);   // +3.5 dB
    EXPECT_NEAR(firstSample({10, 0, 100}), 0.5 * 1.4622, 1e-4);  // +3.3 dB
    EXPECT_NEAR(firstSample({30, 0, 100}), 0.5 * 1.3964, 1e-4);  // +2.9 dB
    EXPECT_NEAR(firstSample({50, 0, 100}), 0.5 * 1.3335, 1e-4);  // +2.5 dB from half depth on
    EXPECT_NEAR(firstSample({100, 70, 100}), 0.5 * 1.3335, 1e-4);
    EXPECT_NEAR(firstSample({100, 0, 50}), 0.75 * 1.1548, 1e-4);  // a quarter wet, +1.25 dB
}

TEST(ChorusSweepTest, RatesAndDepthsFollowTheVoicedTables) {
    struct Case {
        float depthKnob, rateKnob;
        double hz, depthMs;
    };
    const Case cases[] = {
        {50, 35, 3.808, 1.12 * 0.334},   // halfway between the 30 and 40 rate entries
        {100, 100, 10.75, 0.30 * 5.336},
        {0, 0, 0.38, 0.15 * 0.063},
        {100, 30, 3.284, 5.976},         // the deepest setting
        {75, 62, 7.1752, 0.68 * 1.7335},  // interpolated on both tables
    };
    constexpr std::size_t n = 44100;
    for (const Case& c : cases) {
        const Sweep s = measureSweep(c.depthKnob, c.rateKnob, n);
        const double base = 0.012 * kFs, depth = c.depthMs * 0.001 * kFs;
        for (std::size_t i = 1024; i < n; ++i) {
            const double mod = triangle(c.hz * static_cast<double>(i) / kFs) * depth;
            ASSERT_NEAR(s.left[i], base + mod, 0.05) << c.depthKnob << "/" << c.rateKnob << " at " << i;
            ASSERT_NEAR(s.right[i], base - mod, 0.05) << c.depthKnob << "/" << c.rateKnob << " at " << i;
        }
    }
}

TEST(ChorusSweepTest, AmplitudeWobbleIsASlowTwentyPercentSine) {
    const Sweep s = measureSweep(50, 50, 44100);
    for (std::size_t i = 1024; i < s.wobble.size(); i += 100)  // once the line holds the input
        ASSERT_NEAR(s.wobble[i], 0.2 * std::sin(2 * std::numbers::pi * 0.042 * static_cast<double>(i) / kFs), 1e-5) << i;
}

TEST(ChorusChannelTest, MonoBlocksCarryTheLeftVoiceAndFeedBothLines) {
    const auto L = noise(5000, 3), R = noise(5000, 4);
    const Knobs k{60, 45, 80};
    const auto [stereoL, stereoR] = chorusStereo(L, R, k);
    RenderState st;
    auto mono = L;
    chorus(st, mono, nullptr, k);
    EXPECT_EQ(mono, stereoL);  // the left output never depends on the right input
    EXPECT_EQ(st.chorusIIIRBuf, st.chorusIIILBuf);
    EXPECT_NE(stereoR, R);
}

TEST(ChorusChannelTest, FirstUseStartsFromSilenceWithBothPhasesAtZero) {
    RenderState st;
    EXPECT_EQ(st.chorusIIILFOPhaseR, 0.5);
    st.chorusIIIWritePos = 100;
    float sample = 0;
    tolvane::test::AllocationCounter counter;
    processChorus(st, &sample, nullptr, 0, 44100, 50, 50, 50);
    EXPECT_EQ(counter.allocations(), 0u);
    EXPECT_EQ(st.chorusIIILBuf, std::vector<float>(2048, 0.0f));
    EXPECT_EQ(st.chorusIIIRBuf, std::vector<float>(2048, 0.0f));
    EXPECT_EQ(st.chorusIIIWritePos, 0);
    EXPECT_EQ(st.chorusIIILFOPhase, 0.0);
    EXPECT_EQ(st.chorusIIILFOPhaseR, 0.0);
}

TEST(ChorusBlockTest, OutputDoesNotDependOnBlockSizeAndSilenceStaysSilent) {
    const auto L = noise(8000, 5), R = noise(8000, 6);
    const Knobs k{90, 85, 70};
    const auto whole = chorusStereo(L, R, k, L.size());
    for (std::size_t block : {1, 7, 64, 512}) EXPECT_EQ(chorusStereo(L, R, k, block), whole) << block;
    const auto [silentL, silentR] = chorusStereo(std::vector<float>(8000), std::vector<float>(8000), k);
    for (std::size_t i = 0; i < silentL.size(); ++i) ASSERT_TRUE(silentL[i] == 0.0f && silentR[i] == 0.0f) << i;
}

TEST(ChorusGuardTest, StrayKnobsAreHeldToTheKnobRange) {
    const auto x = noise(3000, 7);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(chorusMono(x, {-250, nan, 130}), chorusMono(x, {0, 0, 100}));
    EXPECT_EQ(chorusMono(x, {std::numeric_limits<float>::infinity(), -1e30f, nan}), chorusMono(x, {100, 0, 0}));
}

TEST(ChorusGuardTest, UnusableSampleRatesLeaveTheBlockAlone) {
    const auto x = noise(600, 8);
    for (float fs : {0.0f, -48000.0f, std::numeric_limits<float>::quiet_NaN(), 1e35f})
        EXPECT_EQ(chorusMono(x, {100, 100, 100}, 512, fs), x) << fs;
    // Very high rates wrap the line by its mask, as designed, and stay finite.
    for (float y : chorusMono(x, {100, 30, 100}, 512, 192000)) ASSERT_TRUE(std::isfinite(y));
}

TEST(ChorusRealtimeTest, AFreshUnitAllocatesNothingFromItsFirstBlock) {
    for (bool stereo : {true, false}) {
        tolvane::test::EffectHost host;
        host.set(ParameterAddress::effectMode, 6);
        host.set(ParameterAddress::wowFlutter, 70);
        ASSERT_TRUE(host.allocate());
        EXPECT_EQ(stage_test::allocationsOfFirstBlocks(host, stereo, 9), 0u) << (stereo ? "stereo" : "mono");
        EXPECT_EQ(host.unit->renderState->chorusIIILBuf.size(), 2048u);
    }
}

}  // namespace
