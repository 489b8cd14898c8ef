// LO-FI stage, called directly on render states: the rate reducer, the bit-model blend, the
// crush section, the filter, the channels and the real-time path.

#include "effect/RenderState.h"
#include "effect/stages/Stages.h"
#include "tests/effect/stages/StageModelFiles.h"
#include "tests/effect/stages/StageRealtime.h"
#include "tests/support/ReferenceBiquad.h"
#include "tests/support/Signals.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

namespace {

using tolvane::test::noise;
using tolvane::test::sine;

constexpr std::array<float, 7> kBitKnobs{0, 12, 25, 37, 50, 67, 75};
constexpr std::array<float, 7> kGains{0.5f, 0.75f, 1.0f, 1.25f, 1.5f, 1.75f, 2.0f};

struct Knobs {
    float k1 = 0;    // SAMPLE RATE
    float k3 = 100;  // FILTER
    float k2 = 0;    // CRUSH
};

// One channel's state with its scratch buffers and the players published into it.
struct LoFiChannel {
    RenderState state;
    ResourcePublisher publisher;
    stage_test::ModelFolder folder;

    explicit LoFiChannel(std::size_t scratch = 4096) {
        state.namBlockA.assign(scratch, 0.0f);
        state.namBlockB.assign(scratch, 0.0f);
    }
    void loadGainModels(double fs = 44100) {
        for (std::size_t i = 0; i < kGains.size(); ++i) load(i, {kGains[i]}, fs);
    }
    void load(std::size_t slot, const std::vector<float>& taps, double fs = 44100) {
        publisher.publish(state.lofiBitPlayers[slot], folder.player("bit" + std::to_string(slot), taps, fs));
    }
    void unload(std::size_t slot) { publisher.publish(state.lofiBitPlayers[slot], {}); }

    std::vector<float> run(std::vector<float> x, float fs, Knobs k, std::size_t block = 512) {
        tolvane::test::forEachBlock(x.size(), block, [&](std::size_t at, uint32_t n) {
            processLoFiMono(state, x.data() + at, n, kBitKnobs, fs, k.k1, k.k3, k.k2);
        });
        return x;
    }
};

std::vector<float> constant(std::size_t n, float v) { return std::vector<float>(n, v); }

// Amplitude of the component at `hz` over a whole number of its periods at the end of y.
double amplitudeAt(const std::vector<float>& y, double hz, double fs) {
    const double period = fs / hz;
    const auto length = static_cast<std::size_t>(std::round(std::ceil(16384 / period) * period));
    double c = 0, s = 0;
    const std::size_t from = y.size() - length;
    for (std::size_t i = from; i < y.size(); ++i) {
        const double phase = 2 * std::numbers::pi * hz * static_cast<double>(i) / fs;
        c += y[i] * std::cos(phase);
        s += y[i] * std::sin(phase);
    }
    return 2 * std::hypot(c, s) / static_cast<double>(length);
}

// Two Q = 0.9 low-pass sections at 300·66.667^((knob3/100)^0.65) Hz, in double precision.
std::vector<double> lowPassReference(const std::vector<float>& x, double fs, double knob3) {
    const double fc = 300 * std::pow(66.667, std::pow(knob3 / 100, 0.65));
    const double w0 = 2 * std::numbers::pi * fc / fs, alpha = std::sin(w0) / 1.8, c = std::cos(w0);
    const double a0 = 1 + alpha, b0 = (1 - c) / 2 / a0, b1 = (1 - c) / a0, a1 = -2 * c / a0, a2 = (1 - alpha) / a0;
    std::vector<double> y(x.begin(), x.end());
    for (int section = 0; section < 2; ++section) {
        tolvane::test::ReferenceBiquad lowPass{b0, b1, b0, a1, a2};
        for (double& v : y) v = lowPass.tick(v);
    }
    return y;
}

// Held value after each sample, fed one sample per block so the state shows every step. The
// input is 1, 2, 3, ... so a held value names the sample it came from.
std::vector<float> heldSequence(RenderState& state, float fs, float knob1, std::size_t count) {
    std::vector<float> held;
    for (std::size_t i = 0; i < count; ++i) {
        float x = static_cast<float>(i + 1);
        processLoFiMono(state, &x, 1, kBitKnobs, fs, knob1, 100, 0);
        held.push_back(state.lofiHeldSample);
    }
    return held;
}

TEST(LoFiRateReducerTest, KnobOneAtZeroTakesEverySample) {
    RenderState state;
    heldSequence(state, 44100, 100, 37);  // leave the phase in the middle of a hold
    ASSERT_GT(state.lofiPhase, 1.0f);
    const auto held = heldSequence(state, 44100, 0, 200);
    for (std::size_t i = 0; i < held.size(); ++i) ASSERT_EQ(held[i], static_cast<float>(i + 1)) << i;

    // The whole stage is then the two low-pass sections and the 1.1 gain on the input.
    RenderState fresh;
    const auto x = noise(3000, 1);
    auto y = x;
    processLoFiMono(fresh, y.data(), 3000, kBitKnobs, 48000, 0, 40, 0);
    const auto reference = lowPassReference(x, 48000, 40);
    for (std::size_t i = 0; i < x.size(); ++i) ASSERT_NEAR(y[i], 1.1 * reference[i], 1e-5) << i;
}

TEST(LoFiRateReducerTest, KnobOneAtFullHoldsTwentySamplesAt44k) {
    RenderState state;
    const auto held = heldSequence(state, 44100, 100, 200);
    for (std::size_t i = 0; i < held.size(); ++i) {
        // Sample 20 (index 19) is the first taken; each is held for 20 samples.
        const float expected = static_cast<float>(20 * ((i + 1) / 20));
        ASSERT_EQ(held[i], expected) << i;
    }
}

TEST(LoFiRateReducerTest, KnobOneAtFullHoldsTwentyOneOrTwentyTwoSamplesAt48k) {
    RenderState state;
    const std::size_t count = 4400;
    const auto held = heldSequence(state, 48000, 100, count);
    const double ratio = 48000.0 / 2205.0;
    // The k-th sample taken is the first one whose count reaches k·ratio.
    std::size_t k = 0;
    std::size_t lastTake = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (static_cast<double>(i + 1) >= static_cast<double>(k + 1) * ratio) {
            ++k;
            if (k > 1) {
                const std::size_t gap = i - lastTake;
                ASSERT_TRUE(gap == 21 || gap == 22) << i;
            }
            lastTake = i;
        }
        const float expected = k == 0 ? 0.0f : static_cast<float>(lastTake + 1);
        ASSERT_EQ(held[i], expected) << i;
    }
    EXPECT_EQ(k, 202u);
}

// Settled output of a constant input: the low-pass passes DC unchanged, so it shows the blend,
// the crush levels and the gains directly.
double settledOutput(LoFiChannel& channel, float input, float knob2, float fs = 44100) {
    const auto y = channel.run(constant(8192, input), fs, {0, 100, knob2});
    return y.back();
}

TEST(LoFiBitModelTest, BracketingModelsAndWeights) {
    struct Case {
        float knob2;
        int lo, hi;
        double t;
    };
    // Position h = 2·knob2 up to 25, then 50 + (knob2 - 25)·2/3, bracketed in 0,12,25,37,50,67,75.
    const Case cases[] = {
        {0, 0, 0, 0},
        {6, 0, 1, 1.0},                     // h = 12: both run, the upper alone is heard
        {12.5f, 1, 2, 1.0},                 // h = 25
        {20, 3, 4, 3.0 / 13},               // h = 40
        {30, 4, 5, (160.0 / 3 - 50) / 17},  // h = 53.33
        {50, 4, 5, (200.0 / 3 - 50) / 17},  // h = 66.67
        {62.5f, 6, 6, 0},                   // h = 75: the last model alone from here on
        {70, 6, 6, 0},
    };
    for (const Case& c : cases) {
        LoFiChannel channel;
        channel.loadGainModels();
        const double gain = kGains[c.hi] * c.t + kGains[c.lo] * (1 - c.t);
        EXPECT_NEAR(settledOutput(channel, 0.05f, c.knob2), 1.1 * gain * 0.05, 2e-6) << c.knob2;
    }
}

TEST(LoFiBitModelTest, MissingModelsFallBackToTheDrySignalOrTheLowerModel) {
    const double t = 3.0 / 13;  // knob2 20: bit37 and bit50
    {
        LoFiChannel channel;
        channel.loadGainModels();
        channel.unload(3);  // the lower model's share becomes the dry signal
        EXPECT_NEAR(settledOutput(channel, 0.05f, 20), 1.1 * 0.05 * (kGains[4] * t + 1.0 * (1 - t)), 2e-6);
    }
    {
        LoFiChannel channel;
        channel.loadGainModels();
        channel.unload(4);  // the lower result stands alone
        EXPECT_NEAR(settledOutput(channel, 0.05f, 20), 1.1 * 0.05 * kGains[3], 2e-6);
    }
    {
        LoFiChannel channel;  // nothing loaded
        EXPECT_NEAR(settledOutput(channel, 0.05f, 20), 1.1 * 0.05, 2e-6);
    }
    {
        LoFiChannel channel(100);  // scratch shorter than the block: the model step is skipped
        channel.loadGainModels();
        EXPECT_NEAR(settledOutput(channel, 0.05f, 20), 1.1 * 0.05, 2e-6);
    }
}

TEST(LoFiBitModelTest, NonFiniteModelOutputIsReplacedByTheDrySample) {
    LoFiChannel channel;
    channel.loadGainModels();
    channel.load(0, stage_test::overflowingTaps());  // inf, then NaN
    const auto y = channel.run(constant(4096, 2.0f), 44100, {0, 100, 0});
    for (float v : y) ASSERT_TRUE(std::isfinite(v));
    EXPECT_NEAR(y.back(), 2.2, 1e-5);
    for (float z : {channel.state.lofiLP1z1, channel.state.lofiLP1z2, channel.state.lofiLP2z1, channel.state.lofiLP2z2})
        EXPECT_TRUE(std::isfinite(z));

    // Blended: both shares fall back to the dry sample on their own.
    channel.load(1, stage_test::overflowingTaps());
    const auto blended = channel.run(constant(4096, 2.0f), 44100, {0, 100, 3});
    EXPECT_NEAR(blended.back(), 2.2, 1e-5);
}

TEST(LoFiCrushTest, OutputCutWithoutCrushAt72) {
    LoFiChannel channel;
    const double cut = std::pow(10.0, (-4.0 * 0.02 / 0.3) / 20);  // about -0.27 dB
    EXPECT_NEAR(20 * std::log10(cut), -0.2667, 1e-3);
    EXPECT_NEAR(settledOutput(channel, 0.05f, 72), 1.1 * cut * 0.05, 2e-6);
    EXPECT_EQ(channel.state.lofiGateEnv, 0.0f);  // no gate below 75
    EXPECT_EQ(channel.state.lofiGateHoldCounter, 0);
}

TEST(LoFiCrushTest, PreGainLevelsThresholdAndCutAt100) {
    const double preGain = std::pow(10.0, 16.0 / 20), levels = 16, cut = std::pow(10.0, -4.0 / 20);
    for (float input : {0.1f, 0.05f, -0.07f}) {
        LoFiChannel channel;
        const double quantised = std::floor(input * preGain * levels + 0.5) / levels;
        EXPECT_NEAR(settledOutput(channel, input, 100), quantised * 1.1 * cut, 2e-6) << input;
        EXPECT_EQ(channel.state.lofiGateHoldCounter, 661);  // gate open: 15 ms at 44.1 kHz
    }
    // Just above 75: 128 levels and about +0 dB.
    LoFiChannel channel;
    const double m = 0.76, gain = std::pow(10.0, 64 * (m - 0.75) / 20), q = std::pow(2.0, 7 - 12 * (m - 0.75));
    const double expected = std::floor(0.1 * gain * q + 0.5) / q * 1.1 * std::pow(10.0, (-4 * (m - 0.7) / 0.3) / 20);
    EXPECT_NEAR(settledOutput(channel, 0.1f, 76), expected, 2e-6);
}

// A loud block, then a long quiet one whose envelope ends below the -24 dBFS threshold: the
// quiet block plays for the hold time, then the gate closes.
void expectGateHold(float fs, std::size_t hold) {
    LoFiChannel channel;
    channel.run(constant(static_cast<std::size_t>(fs), 0.1f), fs, {0, 100, 100}, static_cast<std::size_t>(fs));
    const auto quiet = channel.run(constant(static_cast<std::size_t>(fs), 0.008f), fs, {0, 100, 100},
                                   static_cast<std::size_t>(fs));
    EXPECT_LT(channel.state.lofiGateEnv, 0.0630957f);
    // 0.008 at +16 dB quantises to the first of 16 levels.
    const double level = 1.0 / 16 * 1.1 * std::pow(10.0, -4.0 / 20);
    EXPECT_NEAR(quiet[hold - 1], level, 2e-3 * level) << fs;
    // The open low-pass delays the step by a sample or two.
    std::size_t closed = 20;  // past the step down from the loud block
    while (closed < quiet.size() && quiet[closed] > 0.5 * level) ++closed;
    EXPECT_GE(closed, hold) << fs;
    EXPECT_LE(closed, hold + 3) << fs;
    EXPECT_LT(std::fabs(quiet[hold + 100]), 1e-4 * level) << fs;
    EXPECT_EQ(quiet.back(), 0.0f);  // the decayed filter holds no subnormals
    EXPECT_EQ(channel.state.lofiGateHoldCounter, 0);
}

TEST(LoFiCrushTest, GateHoldsFifteenMillisecondsThenMutes) {
    expectGateHold(44100, 661);
    expectGateHold(48000, 720);
}

TEST(LoFiFilterTest, CornerFollowsKnobThree) {
    // At the corner each Q = 0.9 section has gain 0.9, so the cascade times 1.1 gives 0.891.
    const std::pair<float, double> corners[] = {{0, 300}, {25, 1651}, {50, 4360}, {75, 9772}, {100, 20000}};
    for (float fs : {44100.0f, 48000.0f}) {
        for (auto [knob3, hz] : corners) {
            LoFiChannel channel;
            const auto y = channel.run(sine(48000, hz, fs), fs, {0, knob3, 0});
            EXPECT_NEAR(amplitudeAt(y, hz, fs), 0.5 * 0.891, 0.5 * 0.891 * 0.005) << fs << " " << knob3;
        }
    }
}

TEST(LoFiFilterTest, StaysStableBelow40kHzWithTheFilterOpen) {
    for (float fs : {32000.0f, 22050.0f, 8000.0f}) {
        LoFiChannel channel;
        const auto y = channel.run(noise(static_cast<std::size_t>(fs) * 2, 3), fs, {0, 100, 0});
        for (float v : y) ASSERT_TRUE(std::isfinite(v) && std::fabs(v) < 4.0f) << fs;
        // The corner is held at 0.47·fs, where the cascade still shows its 0.891.
        LoFiChannel tone;
        const double corner = 0.47 * fs;
        const auto s = tone.run(sine(48000, corner, fs), fs, {0, 100, 0});
        EXPECT_NEAR(amplitudeAt(s, corner, fs), 0.5 * 0.891, 0.5 * 0.891 * 0.01) << fs;
    }
}

TEST(LoFiChannelsTest, StereoIsTwoIndependentMonoChannels) {
    LoFiChannel left, right, monoLeft, monoRight;
    for (LoFiChannel* c : {&left, &right, &monoLeft, &monoRight}) {
        c->load(3, {0.7f, 0.2f, 0.1f});
        c->load(4, {1.2f, -0.3f});
    }
    right.unload(3);  // a model that loaded for one channel only
    monoRight.unload(3);
    auto L = noise(5000, 4), R = noise(5000, 5);
    auto mL = L, mR = R;
    const Knobs k{40, 70, 20.5f};
    for (std::size_t start = 0; start < L.size(); start += 500) {
        processLoFiStereo(left.state, right.state, L.data() + start, R.data() + start, 500, kBitKnobs, 44100, k.k1,
                          k.k3, k.k2);
        processLoFiMono(monoLeft.state, mL.data() + start, 500, kBitKnobs, 44100, k.k1, k.k3, k.k2);
        processLoFiMono(monoRight.state, mR.data() + start, 500, kBitKnobs, 44100, k.k1, k.k3, k.k2);
    }
    EXPECT_EQ(L, mL);
    EXPECT_EQ(R, mR);

    // Same input on both channels: only the missing model tells them apart.
    LoFiChannel a, b;
    a.load(3, {0.7f, 0.2f, 0.1f});
    auto same = noise(2000, 6);
    EXPECT_NE(a.run(same, 44100, k), b.run(same, 44100, k));
}

TEST(LoFiChannelsTest, BlockSplitsDoNotChangeTheOutputWithoutCrush) {
    const auto input = noise(9000, 7);
    std::vector<float> reference;
    for (std::size_t block : {4096u, 1u, 64u, 333u}) {
        LoFiChannel channel;
        channel.load(2, {0.5f, 0.4f, 0.1f});
        channel.load(3, {0.9f, 0.0f, 0.2f, -0.1f});
        const auto y = channel.run(input, 48000, {63, 55, 14}, block);
        if (reference.empty()) reference = y;
        else EXPECT_EQ(y, reference) << block;
    }
}

TEST(LoFiRealtimeTest, NoAllocationWithModelsRunning) {
    LoFiChannel left, right;
    left.loadGainModels();
    right.loadGainModels();
    const auto stage = [&](float* L, float* R, uint32_t n, float k1, float k3, float k2) {
        processLoFiStereo(left.state, right.state, L, R, n, kBitKnobs, 44100, k1, k3, k2);
    };
    EXPECT_EQ(stage_test::allocationsWithKnobsMoving(9, stage), 0u);
}

TEST(LoFiRealtimeTest, OddArgumentsNeverProduceNaN) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    LoFiChannel channel;
    channel.loadGainModels();
    auto x = noise(512, 8);
    // Input is finite (the render block sees to that), but may be far beyond audio levels.
    x[10] = 3e38f;
    x[20] = -3e38f;
    processLoFiMono(channel.state, x.data(), 512, kBitKnobs, 44100, nan, -inf, 1e9f);
    processLoFiMono(channel.state, x.data(), 512, {}, 1000.0f, -5, 500, nan);
    processLoFiMono(channel.state, x.data(), 512, kBitKnobs, nan, 50, 50, 50);
    processLoFiMono(channel.state, x.data(), 512, kBitKnobs, 0.0f, 50, 50, 50);
    for (float v : x) ASSERT_TRUE(std::isfinite(v));
    EXPECT_TRUE(std::isfinite(channel.state.lofiGateEnv));
    EXPECT_TRUE(std::isfinite(channel.state.lofiLP2z1));
}

}  // namespace
