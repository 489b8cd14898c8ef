#include "effect/RenderState.h"
#include "effect/stages/Stages.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/EffectHost.h"
#include "tests/support/ReferenceBiquad.h"
#include "tests/support/Signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

namespace {

using tolvane::test::noise;

struct Knobs {
    float pitch, feedback, mix;
};

std::vector<float> shift(RenderState& st, std::vector<float> x, Knobs k, std::size_t block = 512, float fs = 44100) {
    tolvane::test::forEachBlock(x.size(), block, [&](std::size_t at, uint32_t n) {
        processPitchMono(st, x.data() + at, n, fs, k.pitch, k.mix, k.feedback);
    });
    return x;
}

std::vector<float> shift(std::vector<float> x, Knobs k, std::size_t block = 512, float fs = 44100) {
    RenderState st;  // fresh: the stage makes its rings on first use
    return shift(st, std::move(x), k, block, fs);
}

// The 3.5 kHz low-pass, from its closed form in double precision.
struct ReferenceLowPass : tolvane::test::ReferenceBiquad {
    explicit ReferenceLowPass(double fs) {
        const double w0 = 2 * std::numbers::pi * 3500 / fs, c = std::cos(w0), alpha = std::sin(w0) / 1.414;
        b0 = b2 = (1 - c) / 2 / (1 + alpha);
        b1 = (1 - c) / (1 + alpha);
        a1 = -2 * c / (1 + alpha);
        a2 = (1 - alpha) / (1 + alpha);
    }
};

// Zero crossings, with a little hysteresis so that a wobble near zero never counts twice.
std::size_t zeroCrossings(const std::vector<float>& y, std::size_t from) {
    constexpr float h = 0.05f;
    std::size_t count = 0;
    int side = 0;
    for (std::size_t i = from; i < y.size(); ++i) {
        const int now = y[i] > h ? 1 : y[i] < -h ? -1 : side;
        count += side != 0 && now != side;
        side = now;
    }
    return count;
}

TEST(PitchMixTest, MixAtZeroPassesTheInputExactly) {
    const auto x = noise(20000, 1);
    for (Knobs k : {Knobs{0, 100, 0}, Knobs{73, 40, 0}, Knobs{100, 0, 0}}) EXPECT_EQ(shift(x, k), x);
}

TEST(PitchMixTest, RatioOneIsTheInputDelayedByHalfTheRingThroughTheLowPass) {
    const auto x = noise(12000, 2);
    for (float mix : {50.0f, 100.0f}) {
        const auto y = shift(x, {50, 0, mix});
        const double theta = mix / 100.0 * 3.1415925;
        const double wet = std::sin(theta / 2), dry = std::cos(theta / 2), makeup = 1 + 0.259 * std::sin(theta);
        if (mix == 50.0f) {
            EXPECT_NEAR(wet, 0.70711, 1e-5);
            EXPECT_NEAR(makeup, 1.259, 1e-6);
        }
        ReferenceLowPass lp(44100);
        for (std::size_t i = 0; i < x.size(); ++i) {
            const double delayed = i >= 2048 ? x[i - 2048] : 0.0;
            const double want = (lp.tick(delayed) * wet + x[i] * dry) * makeup;
            ASSERT_NEAR(y[i], want, 2e-6) << "mix " << mix << " at " << i;
        }
    }
}

TEST(PitchShiftTest, KnobAtZeroAndHundredGiveAQuarterAndFourTimesTheFrequency) {
    // 20 whole cycles in half a ring: the two taps then read the sine in phase and hand over
    // without a phase step, so the shifted tone is clean enough to count.
    constexpr double fs = 44100, hz = 20 * fs / 2048;
    const auto x = tolvane::test::sine(66150, hz, fs);  // 1.5 s; the last second is counted
    const std::size_t from = 22050;
    const auto crossingsPerSecond = [&](float pitch) {
        return static_cast<double>(zeroCrossings(shift(x, {pitch, 0, 100}), from));
    };
    EXPECT_NEAR(crossingsPerSecond(0), 2 * hz / 4, 2);
    EXPECT_NEAR(crossingsPerSecond(100), 2 * hz * 4, 2);
    EXPECT_NEAR(crossingsPerSecond(50), 2 * hz, 2);
    // One knob step of 25 is an octave.
    EXPECT_NEAR(crossingsPerSecond(75), 2 * hz * 2, 2);
}

TEST(PitchFeedbackTest, RepeatsArriveOncePerLoopAndFadeByTheFeedbackGain) {
    // One pass round the loop: half the ring (2048) plus the feedback delay, 0.235 s in all.
    for (auto [fs, loop] : {std::pair{44100.0f, 2048 + 8315}, {48000.0f, 2048 + 9232}}) {
        std::vector<float> x(2048 + 4 * loop + 10);
        x[0] = 1;
        const auto y = shift(x, {50, 100, 100}, 512, fs);
        const double w0 = 2 * std::numbers::pi * 3500 / fs;
        const double b0 = (1 - std::cos(w0)) / 2 / (1 + std::sin(w0) / 1.414);
        for (int m = 0; m < 4; ++m) {
            const std::size_t onset = 2048 + static_cast<std::size_t>(m * loop);
            const double first = std::pow(b0, m + 1) * std::pow(0.99463, m);  // fbGain 1.15 * 0.93^2
            EXPECT_LT(std::fabs(y[onset - 1]), 1e-7 * first) << fs << " repeat " << m;
            EXPECT_NEAR(y[onset], first, 1e-4 * first) << fs << " repeat " << m;
        }
    }
    // Without feedback the first pass is all there is.
    std::vector<float> x(30000);
    x[0] = 1;
    const auto y = shift(x, {50, 0, 100});
    for (std::size_t i = 12000; i < y.size(); ++i) ASSERT_LT(std::fabs(y[i]), 1e-30f) << i;
}

TEST(PitchBlockTest, OutputDoesNotDependOnBlockSizeAndSilenceStaysSilent) {
    const auto x = noise(20000, 3);
    for (Knobs k : {Knobs{30, 80, 60}, Knobs{95, 100, 100}}) {
        const auto whole = shift(x, k, x.size());
        for (std::size_t block : {1, 7, 64, 512}) EXPECT_EQ(shift(x, k, block), whole) << block;
        for (float y : shift(std::vector<float>(20000), k)) ASSERT_EQ(y, 0.0f);
    }
}

TEST(PitchStereoTest, EachChannelIsTheMonoShifterOnItsOwnState) {
    auto L = noise(15000, 4), R = noise(15000, 5);
    const Knobs k{20, 90, 70};
    const auto monoL = shift(L, k), monoR = shift(R, k);
    RenderState left, right;
    for (uint32_t at = 0; at < 15000; at += 500)
        processPitchStereo(left, right, L.data() + at, R.data() + at, 500, 44100, k.pitch, k.mix, k.feedback);
    EXPECT_EQ(L, monoL);
    EXPECT_EQ(R, monoR);
}

TEST(PitchRingTest, MissingRingsAreMadeOnFirstUseWithoutTouchingTheHeap) {
    RenderState st;
    st.pitchWritePos = 7;
    st.pitchDelayWritePos = 9;
    std::vector<float> x = noise(256, 6);
    tolvane::test::AllocationCounter counter;
    processPitchMono(st, x.data(), 0, 44100, 50, 50, 50);
    EXPECT_EQ(counter.allocations(), 0u);
    EXPECT_EQ(st.pitchBuf.size(), 4096u);
    EXPECT_EQ(st.pitchDelayBuf.size(), 32768u);
    EXPECT_EQ(st.pitchReadPos, 2048.0);
    EXPECT_EQ(st.pitchWritePos, 7);  // the write indices stay where they were
    EXPECT_EQ(st.pitchDelayWritePos, 9);
}

TEST(PitchRingTest, RingsOfTheWrongSizeAreMadeAfreshInsteadOfOverrun) {
    const auto x = noise(9000, 7);
    const Knobs k{85, 100, 100};
    const auto fresh = shift(x, k);
    RenderState st;
    st.pitchBuf.assign(100, 0.5f);
    st.pitchDelayBuf.assign(32768, 0.0f);
    EXPECT_EQ(shift(st, x, k), fresh);
    st.pitchBuf.assign(4096, 0.0f);
    st.pitchDelayBuf.assign(3, 0.0f);
    st.pitchWritePos = 0;
    st.pitchDelayWritePos = 0;
    st.pitchLPF_z1 = st.pitchLPF_z2 = 0;
    EXPECT_EQ(shift(st, x, k), fresh);
}

TEST(PitchGuardTest, StrayValuesNeitherIndexOutsideTheRingsNorMakeNaN) {
    const auto x = noise(6000, 8);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(shift(x, {nan, -5, 400}), shift(x, {0, 0, 100}));
    RenderState damaged;
    damaged.pitchBuf.assign(4096, 0.0f);
    damaged.pitchDelayBuf.assign(32768, 0.0f);
    damaged.pitchReadPos = std::numeric_limits<double>::quiet_NaN();
    damaged.pitchWritePos = -12345;
    for (float y : shift(damaged, x, {100, 100, 100})) ASSERT_TRUE(std::isfinite(y));
    for (float fs : {0.0f, -1.0f, nan, std::numeric_limits<float>::infinity()}) EXPECT_EQ(shift(x, {10, 50, 50}, 512, fs), x);
}

TEST(PitchRealtimeTest, AFreshUnitAllocatesNothingFromItsFirstBlock) {
    for (bool stereo : {true, false}) {
        tolvane::test::EffectHost host;
        host.set(ParameterAddress::effectMode, 4);
        host.set(ParameterAddress::crackle, 100);
        host.set(ParameterAddress::wowFlutter, 60);
        ASSERT_TRUE(host.allocate());
        std::vector<float> L = noise(512, 9), R = noise(512, 10);
        std::size_t allocations = 0;
        const auto render = [&] {
            tolvane::test::AllocationCounter counter;
            EXPECT_EQ(host.render(L.data(), stereo ? R.data() : nullptr, 512), noErr);
            allocations += counter.allocations();
        };
        for (int block = 0; block < 8; ++block) render();
        // Leaving PITCH clears the rings; coming back must not allocate either.
        host.set(ParameterAddress::effectMode, 3);
        render();
        host.set(ParameterAddress::effectMode, 4);
        render();
        EXPECT_EQ(allocations, 0u) << (stereo ? "stereo" : "mono");
    }
}

}  // namespace
