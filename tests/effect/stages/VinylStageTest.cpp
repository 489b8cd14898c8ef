#include "effect/RenderState.h"
#include "effect/stages/Stages.h"

#include "VinylReference.h"
#include "VinylTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

using namespace vinyltest;

// Fresh render states with the scratch buffer allocation gives, and identity models in every slot.
struct VinylRig {
    ResourcePublisher publisher;
    ModelFolder folder;
    RenderState left, right;

    explicit VinylRig(const std::vector<LstmTensors>& models = nineZeroModels()) {
        prepare(left, 16384);
        prepare(right, 16384);
        publishModels(publisher, folder, left, models);
        publishModels(publisher, folder, right, models);
    }

    void mono(std::vector<float>& x, float fs, float k1, float k3, float k2, RenderState* state = nullptr) {
        processVinylMono(state ? *state : left, x.data(), static_cast<uint32_t>(x.size()), kKnobValues, fs, 512, k1, k3, k2);
    }
    void stereo(std::vector<float>& l, std::vector<float>& r, float fs, float k1, float k3, float k2) {
        processVinylStereo(left, right, l.data(), r.data(), static_cast<uint32_t>(l.size()), kKnobValues, fs, 512, k1,
                           k3, k2);
    }
};

std::vector<double> toDouble(const std::vector<float>& v) { return {v.begin(), v.end()}; }

// RMS of the difference relative to the RMS of the reference. Single-precision sections with
// corners this low (35 and 40 Hz) carry rounding noise of a few parts in 10^4 of the signal.
double relativeError(const std::vector<float>& actual, const std::vector<double>& expected) {
    double signal = 0, error = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        signal += expected[i] * expected[i];
        const double d = static_cast<double>(actual[i]) - expected[i];
        error += d * d;
    }
    return signal > 0 ? std::sqrt(error / signal) : std::sqrt(error);
}

// Sum of a few sines, then low-level noise: broadband but with smooth parts for the delay reads.
std::vector<float> programme(std::size_t n, float fs, float amplitude, unsigned seed) {
    std::vector<float> x = noise(n, seed, amplitude * 0.1f);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / fs;
        x[i] += amplitude * static_cast<float>(0.5 * std::sin(2 * kPi * 55 * t) + 0.3 * std::sin(2 * kPi * 440 * t) +
                                               0.1 * std::sin(2 * kPi * 3100 * t));
    }
    return x;
}

// With identity models and every knob at 0 the channel is: +8 dB and -8 dB around the models,
// the two 35 Hz high-pass sections, the 40 Hz cut, a fixed 511-sample delay and +2 dB.
TEST(VinylChainTest, KnobsAtZeroGiveTheFilterChainAndTheFixedDelay) {
    for (float fs : {44100.0f, 48000.0f}) {
        VinylRig rig;
        std::vector<float> x = programme(6000, fs, 0.5f, 1);
        std::vector<double> expected = toDouble(x);
        // The whole chain written out by hand, in double precision.
        Biquad hp1, hp2, peak;
        hp1.setHighPass35(fs);
        hp2.setHighPass35(fs);
        peak.setPeakingCut40(fs);
        std::vector<double> filtered(x.size());
        for (std::size_t i = 0; i < x.size(); ++i) filtered[i] = peak.tick(hp2.tick(hp1.tick(expected[i])));
        for (std::size_t i = 0; i < x.size(); ++i)
            expected[i] = i < 511 ? 0.0 : filtered[i - 511] * std::pow(10.0, 2.0 / 20);

        rig.mono(x, fs, 0, 0, 0);
        EXPECT_LT(relativeError(x, expected), 5e-4) << fs;
        EXPECT_EQ(rig.left.currentDelay, 512.0f);
    }
}

// Knob 1 sets three gains: +8 dB into the models, the trim after them, and the auto-level gain at
// the end. A signal far below the compressor's threshold leaves only the look-ahead delay.
TEST(VinylChainTest, AutoLevelAndTrimFollowKnobOne) {
    struct Case {
        float k1;
        double autoLevelDB, trimDB;
    };
    const Case cases[] = {{0, 2, -8},   {0.5f, 3, -8}, {10, 4 * (1 - 9.0 / 19), -8}, {30, 0, -8},    {45, 0.75, -8},
                          {50, 1.5, -8}, {60, 1.5, -7.3}, {80, 1.5 * (1 - 15.0 / 35), -5.9}, {100, 0, -4.5}};
    for (const Case& c : cases) {
        VinylRig rig;
        const float fs = 44100;
        std::vector<float> x = programme(3000, fs, 0.001f, 2);  // about -60 dBFS
        const std::vector<double> input = toDouble(x);
        Biquad hp1, hp2, peak;
        hp1.setHighPass35(fs);
        hp2.setHighPass35(fs);
        peak.setPeakingCut40(fs);
        const int lookahead = c.k1 > 0 ? 45 : 0;
        const double gain = std::pow(10.0, (8 + c.trimDB + c.autoLevelDB) / 20);
        std::vector<double> filtered(x.size());
        for (std::size_t i = 0; i < x.size(); ++i) {
            const double in = i >= static_cast<std::size_t>(lookahead) ? input[i - lookahead] : 0.0;
            filtered[i] = peak.tick(hp2.tick(hp1.tick(in)));
        }
        std::vector<double> expected(x.size());
        for (std::size_t i = 511; i < x.size(); ++i) expected[i] = filtered[i - 511] * gain;

        rig.mono(x, fs, c.k1, 0, 0);
        EXPECT_LT(relativeError(x, expected), 5e-4) << "knob 1 = " << c.k1;
        EXPECT_EQ(rig.left.compGainDB, 0.0f);
    }
}

// The whole channel against the double-precision reference: compressor working hard, wow and
// flutter moving the delay, crackle beds blending, at three sample rates and across a change of
// rate between blocks.
TEST(VinylChainTest, FullChainMatchesTheReference) {
    struct Case {
        float k1, k3, k2;
    };
    const Case cases[] = {{100, 0, 0}, {70, 60, 37.5f}, {6, 100, 90}, {0.5f, 25, 10}};
    for (const Case& c : cases) {
        VinylRig rig;
        VinylReference ref;
        const std::vector<std::vector<float>> bedA = {noise(1013, 11, 0.2f)};
        const std::vector<std::vector<float>> bedB = {noise(777, 12, 0.2f), noise(777, 13, 0.2f)};
        for (std::size_t slot = 0; slot < 4; ++slot) {
            const auto& b = slot % 2 == 0 ? bedA : bedB;
            rig.publisher.publish(rig.left.crackleBuffers[slot], bedFrom(b));
            for (const auto& ch : b) ref.beds[slot].emplace_back(ch.begin(), ch.end());
        }
        for (float fs : {44100.0f, 48000.0f, 96000.0f}) {
            std::vector<float> x = programme(12000, fs, 0.9f, 3);
            std::vector<double> expected = toDouble(x);
            ref.process(expected, fs, c.k1, c.k3, c.k2);
            rig.mono(x, fs, c.k1, c.k3, c.k2);
            // More rounding noise at 96 kHz, where the corners sit lower still.
            EXPECT_LT(relativeError(x, expected), 1.5e-3) << c.k1 << " " << c.k3 << " " << c.k2 << " at " << fs;
        }
    }
}

TEST(VinylChainTest, CompressorResetsWhenKnobOneReturnsToZero) {
    VinylRig rig;
    std::vector<float> loud = programme(4000, 44100, 1.0f, 4);
    rig.mono(loud, 44100, 80, 0, 0);
    EXPECT_LT(rig.left.compGainDB, -1.0f);
    EXPECT_GT(rig.left.compAutoLevelDB, -60.0f);

    std::vector<float> more = programme(100, 44100, 1.0f, 5);
    rig.mono(more, 44100, 0, 0, 0);
    EXPECT_EQ(rig.left.compGainDB, 0.0f);
    EXPECT_EQ(rig.left.compAutoLevelDB, -120.0f);
    EXPECT_EQ(rig.left.lookaheadWriteIdx, 0);
    for (float v : rig.left.lookaheadBuf) ASSERT_EQ(v, 0.0f);
}

// Zero-weight models, no crackle: nothing in the chain makes sound out of nothing.
TEST(VinylChainTest, SilenceGivesExactSilence) {
    for (float k1 : {0.0f, 30.0f, 70.0f, 100.0f}) {
        VinylRig rig;
        std::vector<float> l(3000, 0.0f), r(3000, 0.0f), m(3000, 0.0f);
        rig.stereo(l, r, 48000, k1, 100, 0);
        VinylRig monoRig;
        monoRig.mono(m, 48000, k1, 100, 0);
        for (std::size_t i = 0; i < l.size(); ++i) {
            ASSERT_EQ(l[i], 0.0f);
            ASSERT_EQ(r[i], 0.0f);
            ASSERT_EQ(m[i], 0.0f);
        }
    }
}

// Stereo runs two independent channels through one shared wow and flutter; without crackle each
// side is exactly the mono chain on that side's signal.
TEST(VinylStereoTest, EachSideEqualsTheMonoChain) {
    const std::vector<LstmTensors> models = [] {
        std::vector<LstmTensors> m;
        for (unsigned i = 0; i < 9; ++i) m.push_back(randomModel(100 + i, 0.2f));
        return m;
    }();
    VinylRig stereo(models), monoL(models), monoR(models);
    for (int block = 0; block < 6; ++block) {
        const float k1 = 8.0f + 15.0f * static_cast<float>(block);
        std::vector<float> l = programme(700, 44100, 0.7f, 20 + block), r = noise(700, 40 + block, 0.5f);
        std::vector<float> ml = l, mr = r;
        stereo.stereo(l, r, 44100, k1, 80, 0);
        monoL.mono(ml, 44100, k1, 80, 0);
        monoR.mono(mr, 44100, k1, 80, 0);
        ASSERT_EQ(l, ml) << block;
        ASSERT_EQ(r, mr) << block;
    }
    EXPECT_EQ(stereo.right.currentDelay, stereo.left.currentDelay);
    EXPECT_EQ(stereo.right.lfoTime, stereo.left.lfoTime);
}

TEST(VinylStereoTest, ZeroFrameBlockStillHandsTheDelayToTheRightState) {
    VinylRig rig;
    std::vector<float> x = programme(300, 44100, 0.5f, 6);
    rig.mono(x, 44100, 20, 100, 0);
    ASSERT_NE(rig.left.currentDelay, 512.0f);
    float none = 0;
    processVinylStereo(rig.left, rig.right, &none, &none, 0, kKnobValues, 44100, 512, 20, 100, 0);
    EXPECT_EQ(rig.right.currentDelay, rig.left.currentDelay);
    EXPECT_EQ(rig.right.lfoTime, rig.left.lfoTime);
}

// Every state carries over between blocks, so how the host splits the stream does not matter.
TEST(VinylStereoTest, OutputDoesNotDependOnBlockSplits) {
    std::vector<LstmTensors> models;
    for (unsigned i = 0; i < 9; ++i) models.push_back(randomModel(200 + i, 0.25f));
    const std::vector<float> inL = programme(4096, 48000, 0.8f, 7), inR = noise(4096, 8, 0.6f);
    std::vector<float> firstL, firstR;
    for (uint32_t blockSize : {512u, 1u, 7u, 64u}) {
        VinylRig rig(models);
        rig.publisher.publish(rig.left.crackleBuffers[1], bedFrom({noise(333, 9, 0.3f), noise(333, 10, 0.3f)}));
        rig.publisher.publish(rig.left.crackleBuffers[2], bedFrom({noise(501, 11, 0.3f)}));
        std::vector<float> l = inL, r = inR;
        for (std::size_t start = 0; start < l.size(); start += blockSize) {
            const auto n = static_cast<uint32_t>(std::min<std::size_t>(blockSize, l.size() - start));
            processVinylStereo(rig.left, rig.right, l.data() + start, r.data() + start, n, kKnobValues, 48000, 512, 18,
                               70, 60);
        }
        if (firstL.empty()) {
            firstL = l, firstR = r;
            continue;
        }
        ASSERT_EQ(l, firstL) << "blocks of " << blockSize;
        ASSERT_EQ(r, firstR) << "blocks of " << blockSize;
    }
}

// Values the parameter store never passes on must still not reach a power of a negative base, an
// index or the states as NaN.
TEST(VinylGuardTest, UnusableKnobsAndRatesNeverProduceNaN) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const float knobs[] = {nan, -inf, -5.0f, 150.0f, inf};
    for (float bad : knobs) {
        VinylRig rig;
        rig.publisher.publish(rig.left.crackleBuffers[3], bedFrom({noise(100, 1, 0.3f)}));
        std::vector<float> l = programme(2000, 44100, 0.5f, 12), r = l;
        for (int round = 0; round < 3; ++round) {
            processVinylStereo(rig.left, rig.right, l.data(), r.data(), 2000, kKnobValues, 44100, 512,
                               round == 0 ? bad : 50, round == 1 ? bad : 50, round == 2 ? bad : 50);
            processVinylMono(rig.left, l.data(), 2000, kKnobValues, 44100, bad, bad, bad, bad);
        }
        for (std::size_t i = 0; i < l.size(); ++i) ASSERT_TRUE(std::isfinite(l[i]) && std::isfinite(r[i])) << bad;
        EXPECT_TRUE(std::isfinite(rig.left.currentDelay));
        EXPECT_TRUE(std::isfinite(rig.left.compGainDB) && std::isfinite(rig.left.compAutoLevelDB));
    }
    for (float fs : {0.0f, -44100.0f, nan, inf, 1.0f}) {
        VinylRig rig;
        std::vector<float> x = programme(500, 44100, 0.5f, 13);
        const std::vector<float> before = x;
        rig.mono(x, fs, 50, 50, 50);
        EXPECT_EQ(x, before) << "a block at " << fs << " Hz passes unchanged";
    }
}

TEST(VinylGuardTest, OutOfRangeKnobsActAsTheNearestEnd) {
    VinylRig low, zero, high, hundred;
    std::vector<float> a = programme(3000, 44100, 0.5f, 14), b = a, c = a, d = a;
    low.mono(a, 44100, -20, -20, -20);
    zero.mono(b, 44100, 0, 0, 0);
    high.mono(c, 44100, 130, 130, 130);
    hundred.mono(d, 44100, 100, 100, 100);
    EXPECT_EQ(a, b);
    EXPECT_EQ(c, d);
}

// A sample that is not finite arrives from the host: it plays as silence instead of poisoning the
// filters and the delay line for good.
TEST(VinylGuardTest, NonFiniteInputSamplesDoNotPoisonTheState) {
    VinylRig rig;
    std::vector<float> x = programme(1000, 44100, 0.5f, 15);
    x[10] = std::numeric_limits<float>::quiet_NaN();
    x[20] = std::numeric_limits<float>::infinity();
    rig.mono(x, 44100, 60, 50, 0);
    std::vector<float> after = programme(2000, 44100, 0.5f, 16);
    rig.mono(after, 44100, 60, 50, 0);
    for (float v : after) ASSERT_TRUE(std::isfinite(v));
    EXPECT_TRUE(std::isfinite(rig.left.hpf1_z1) && std::isfinite(rig.left.eqZ2));
}

}  // namespace
