#include "effect/RenderState.h"
#include "effect/stages/Stages.h"

#include "VinylTestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

namespace {

using namespace vinyltest;

// Silence through a channel without models and with knobs 1 and 3 at 0 leaves only the crackle,
// times the +2 dB auto-level gain of knob 1 at 0.
const double kAutoLevel = std::pow(10.0, 2.0 / 20);
constexpr double kCrackleGain = 0.3162;

// Beds told apart by value and length; lengths differ so each one wraps on its own.
const std::array<std::size_t, 4> kLengths{101, 150, 77, 64};

std::vector<std::vector<float>> bedChannels(std::size_t slot) {
    std::vector<float> a(kLengths[slot]), b(kLengths[slot]);
    for (std::size_t j = 0; j < a.size(); ++j) {
        a[j] = static_cast<float>(slot + 1) * 0.1f + static_cast<float>(j) * 0.001f;
        b[j] = -static_cast<float>(slot + 1) * 0.05f + static_cast<float>(j % 7) * 0.01f;
    }
    return {a, b};
}

struct CrackleRig {
    ResourcePublisher publisher;
    RenderState left, right;
    CrackleRig() {
        for (std::size_t s = 0; s < 4; ++s) publisher.publish(left.crackleBuffers[s], bedFrom(bedChannels(s)));
    }
};

// Side c of bed `slot` at running frame `frame`, computed from the recipe above.
double bedValue(std::size_t slot, std::size_t channel, long frame) {
    const auto j = static_cast<std::size_t>(frame % static_cast<long>(kLengths[slot]));
    return bedChannels(slot)[channel][j];
}

struct WeightCase {
    float k2;
    std::array<double, 4> w;
};

// Each knob value and the bed weights it should give.
const WeightCase kWeightCases[] = {
    {10, {0.4, 0, 0, 0}},   {25, {1, 0, 0, 0}},     {37.5f, {0.5, 0.5, 0, 0}}, {50, {0, 1, 0, 0}},
    {62.5f, {0, 0.5, 0.5, 0}}, {80, {0, 0, 0.8, 0.2}}, {100, {0, 0, 0, 1}},
};

TEST(VinylCrackleTest, KnobTwoWeighsTheBedsInMono) {
    for (const WeightCase& c : kWeightCases) {
        CrackleRig rig;
        std::vector<float> x(400, 0.0f);
        processVinylMono(rig.left, x.data(), 400, kKnobValues, 44100, 512, 0, 0, c.k2);
        for (std::size_t i = 0; i < x.size(); ++i) {
            double sum = 0;
            for (std::size_t s = 0; s < 4; ++s)
                sum += c.w[s] * 0.5 * (bedValue(s, 0, static_cast<long>(i)) + bedValue(s, 1, static_cast<long>(i)));
            ASSERT_NEAR(x[i], sum * kCrackleGain * kAutoLevel, 2e-6) << "knob 2 = " << c.k2 << ", frame " << i;
        }
        EXPECT_EQ(rig.left.crackleReadHead, 400.0);
    }
}

// Stereo puts each bed side on its own channel, from the left state's beds and read head only.
TEST(VinylCrackleTest, StereoTakesEachBedSideToItsChannel) {
    for (const WeightCase& c : kWeightCases) {
        CrackleRig rig;
        rig.publisher.publish(rig.right.crackleBuffers[0], bedFrom({std::vector<float>(10, 0.9f)}));
        rig.right.crackleReadHead = 5;
        std::vector<float> l(300, 0.0f), r(300, 0.0f);
        processVinylStereo(rig.left, rig.right, l.data(), r.data(), 300, kKnobValues, 48000, 512, 0, 0, c.k2);
        for (std::size_t i = 0; i < l.size(); ++i) {
            double sl = 0, sr = 0;
            for (std::size_t s = 0; s < 4; ++s) {
                sl += c.w[s] * bedValue(s, 0, static_cast<long>(i));
                sr += c.w[s] * bedValue(s, 1, static_cast<long>(i));
            }
            ASSERT_NEAR(l[i], sl * kCrackleGain * kAutoLevel, 2e-6) << c.k2;
            ASSERT_NEAR(r[i], sr * kCrackleGain * kAutoLevel, 2e-6) << c.k2;
        }
        EXPECT_EQ(rig.left.crackleReadHead, 300.0);
        EXPECT_EQ(rig.right.crackleReadHead, 5.0);
    }
}

TEST(VinylCrackleTest, OneChannelBedFeedsBothSides) {
    ResourcePublisher publisher;
    RenderState left, right;
    std::vector<float> ramp(50);
    for (std::size_t j = 0; j < ramp.size(); ++j) ramp[j] = 0.02f * static_cast<float>(j);
    publisher.publish(left.crackleBuffers[2], bedFrom({ramp}));
    std::vector<float> l(120, 0.0f), r(120, 0.0f), m(120, 0.0f);
    processVinylStereo(left, right, l.data(), r.data(), 120, kKnobValues, 44100, 512, 0, 0, 75);
    RenderState mono;
    publisher.publish(mono.crackleBuffers[2], bedFrom({ramp}));
    processVinylMono(mono, m.data(), 120, kKnobValues, 44100, 512, 0, 0, 75);
    for (std::size_t i = 0; i < l.size(); ++i) {
        const double expected = ramp[i % 50] * kCrackleGain * kAutoLevel;
        ASSERT_NEAR(l[i], expected, 2e-6);
        ASSERT_EQ(l[i], r[i]);
        ASSERT_NEAR(m[i], expected, 2e-6);
    }
}

// At knob 0 nothing is added and the read head stands still; the next crackle block goes on from
// where the head stood.
TEST(VinylCrackleTest, ReadHeadFreezesAtZero) {
    CrackleRig rig;
    std::vector<float> x(90, 0.0f);
    processVinylMono(rig.left, x.data(), 90, kKnobValues, 44100, 512, 0, 0, 25);
    std::vector<float> quiet(200, 0.0f);
    processVinylMono(rig.left, quiet.data(), 200, kKnobValues, 44100, 512, 0, 0, 0);
    EXPECT_EQ(rig.left.crackleReadHead, 90.0);
    for (float v : quiet) ASSERT_EQ(v, 0.0f);
    std::vector<float> again(10, 0.0f);
    processVinylMono(rig.left, again.data(), 10, kKnobValues, 44100, 512, 0, 0, 25);
    const double first = 0.5 * (bedValue(0, 0, 90) + bedValue(0, 1, 90));
    EXPECT_NEAR(again[0], first * kCrackleGain * kAutoLevel, 2e-6);
}

// A slot that is empty, or holds a bed without frames, adds nothing; its partner still plays.
TEST(VinylCrackleTest, MissingOrEmptyBedsAddNothing) {
    CrackleRig rig;
    rig.publisher.publish(rig.left.crackleBuffers[1], {});
    std::vector<float> x(100, 0.0f);
    processVinylMono(rig.left, x.data(), 100, kKnobValues, 44100, 512, 0, 0, 37.5f);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double expected = 0.5 * 0.5 * (bedValue(0, 0, static_cast<long>(i)) + bedValue(0, 1, static_cast<long>(i)));
        ASSERT_NEAR(x[i], expected * kCrackleGain * kAutoLevel, 2e-6);
    }

    auto empty = bedFrom({std::vector<float>(8, 0.5f)});
    empty->setFrameLength(0);
    RenderState s;
    rig.publisher.publish(s.crackleBuffers[3], empty);
    std::vector<float> y(100, 0.0f);
    processVinylMono(s, y.data(), 100, kKnobValues, 44100, 512, 0, 0, 100);
    for (float v : y) ASSERT_EQ(v, 0.0f);
}

}  // namespace
