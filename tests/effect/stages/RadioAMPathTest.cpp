// The RADIO stage's AM band, called directly on render states.

#include "effect/RenderState.h"
#include "effect/stages/Stages.h"
#include "tests/effect/stages/RadioTestSupport.h"
#include "tests/support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

using radio_test::RefBiquad;

constexpr double kPlusThreeDb = 1.4125375446227544;  // 10^(3/20), the make-up at TUNING 0
constexpr double kPlus21Db = 11.220183;

struct AMState {
    ResourcePublisher publisher;
    RenderState state;

    void publishResponses(const std::vector<std::vector<float>>& responses, std::size_t historyLength) {
        for (std::size_t j = 0; j < responses.size(); ++j)
            publisher.publish(state.radioAMIRs[j], radio_test::response(responses[j]));
        publisher.publish(state.radioAMIRHistory, radio_test::response(std::vector<float>(historyLength, 0.0f)));
    }
};

std::vector<float> runMono(AMState& s, std::vector<float> x, float fs, float knob1, float knob3, float knob2,
                           uint32_t block = 512) {
    tolvane::test::forEachBlock(x.size(), block, [&](std::size_t at, uint32_t n) {
        processRadioMono(s.state, x.data() + at, n, true, fs, knob1, knob3, knob2);
    });
    return x;
}

// The AM chain in double precision for TUNING at a table point, written from the description of
// the band; the hold counter is single precision, as the state keeps it.
class AMReference {
public:
    struct Tuning {
        double carrierHz, holdRateHz, depth, makeupDb;
    };
    AMReference(double fs, Tuning t, std::vector<float> a, std::vector<float> b, double blend, std::size_t ring)
        : fs_(fs), t_(t), a_(std::move(a)), b_(std::move(b)), blend_(blend), ring_(ring, 0.0) {
        holdPeriod_ = static_cast<float>(fs) / static_cast<float>(t.holdRateHz);
    }

    double process(double x) {
        const double phase = phase_;
        phase_ += t_.carrierHz / fs_;
        if (phase_ >= 1) phase_ -= 1;
        const double k = std::abs(x) > env_ ? radio_test::coefficient(0.005, fs_) : radio_test::coefficient(0.08, fs_);
        env_ = env_ * k + (1 - k) * std::abs(x);
        srPhase_ += 1.0f;
        if (srPhase_ >= holdPeriod_) {
            const double c = std::cos(2 * std::numbers::pi * phase);
            const double presence = std::clamp((env_ - 0.001) / 0.006943284, 0.0, 1.0);
            const double leak = t_.depth > 0 ? t_.depth / 0.63 * 0.003981071 : 0.0;
            held_ = x * (1 - t_.depth) + x * c * t_.depth + presence * c * leak;
            srPhase_ -= holdPeriod_;
        }
        double y = held_;
        if (!ring_.empty() && !a_.empty() && !b_.empty()) {
            const auto n = static_cast<long>(ring_.size());
            ring_[static_cast<std::size_t>(h_)] = y;
            const long taps = std::min({static_cast<long>(a_.size()), static_cast<long>(b_.size()), n});
            double A = 0, B = 0;
            for (long j = 0; j < taps; ++j) {
                const double r = ring_[static_cast<std::size_t>(((h_ - j) % n + n) % n)];
                A += a_[static_cast<std::size_t>(j)] * r;
                B += b_[static_cast<std::size_t>(j)] * r;
            }
            h_ = (h_ + 1) % n;
            y = (A + (B - A) * blend_) * kPlus21Db;
        }
        return y * std::pow(10.0, t_.makeupDb / 20);
    }

private:
    double fs_;
    Tuning t_;
    std::vector<float> a_, b_;
    double blend_;
    std::vector<double> ring_;
    long h_ = 0;
    double phase_ = 0, env_ = 0, held_ = 0;
    float srPhase_ = 0, holdPeriod_ = 1;
};

// TUNING 0 at 44.1 kHz: no carrier, no depth, every sample held; without responses the output
// is the input at +3 dB.
TEST(RadioAMTest, TuningAtZeroHoldsEverySampleAt44100) {
    AMState s;
    const auto x = radio_test::programme(3000, 41, 0.5f);
    const auto out = runMono(s, x, 44100, 0, 0, 50);
    for (std::size_t i = 0; i < x.size(); ++i) ASSERT_NEAR(out[i], x[i] * kPlusThreeDb, 1e-6) << i;
}

// At 96 kHz the hold runs at 48 kHz: each held sample lasts two samples (the first output is the
// initial held value 0).
TEST(RadioAMTest, TuningAtZeroHoldsEachSampleForTwoSamplesAt96000) {
    AMState s;
    const auto x = radio_test::programme(3001, 43, 0.5f);
    const auto out = runMono(s, x, 96000, 0, 0, 50, 37);
    EXPECT_EQ(out[0], 0.0f);
    for (std::size_t i = 1; i < x.size(); ++i) {
        const std::size_t held = i % 2 == 1 ? i : i - 1;
        ASSERT_NEAR(out[i], x[held] * kPlusThreeDb, 1e-6) << i;
    }
}

// Unit impulses in every slot: the convolution is the identity, so the output is the input with
// +21 dB and the make-up.
TEST(RadioAMTest, UnitImpulseResponsesGiveTheConvolutionGainAndMakeUp) {
    for (std::size_t history : {1u, 16u}) {
        AMState s;
        s.publishResponses(std::vector<std::vector<float>>(9, std::vector<float>{1.0f}), history);
        const auto x = radio_test::programme(2000, 47, 0.05f);
        const auto out = runMono(s, x, 44100, 0, 0, 30);
        for (std::size_t i = 0; i < x.size(); ++i) ASSERT_NEAR(out[i], x[i] * kPlus21Db * kPlusThreeDb, 2e-6) << i;
    }
}

// Response j is the scaled impulse c_j = j + 1: the output shows which pair plays and its weight.
TEST(RadioAMTest, FilterKnobPicksAndWeightsThePairOfResponses) {
    struct Row {
        float filter;
        double expectedScale;
    };
    const Row rows[] = {{0, 1}, {12, 2}, {13, 2 + 1.0 / 13}, {50, 5}, {56, 5 + 6.0 / 12}, {87, 8}, {100, 9}};
    std::vector<std::vector<float>> responses;
    for (int j = 0; j < 9; ++j) responses.push_back({static_cast<float>(j + 1)});
    const auto x = radio_test::programme(600, 53, 0.01f);
    for (const auto& row : rows) {
        AMState s;
        s.publishResponses(responses, 4);
        const auto out = runMono(s, x, 44100, 0, 0, row.filter);
        for (std::size_t i = 0; i < x.size(); ++i)
            ASSERT_NEAR(out[i], x[i] * row.expectedScale * kPlus21Db * kPlusThreeDb, 4e-6) << row.filter << " @" << i;
    }
    // An empty partner turns the convolution off: no +21 dB.
    AMState s;
    responses[0].clear();
    s.publishResponses(responses, 4);
    const auto out = runMono(s, x, 44100, 0, 0, 12);
    for (std::size_t i = 0; i < x.size(); ++i) ASSERT_NEAR(out[i], x[i] * kPlusThreeDb, 1e-6) << i;
}

// Multi-tap responses of unequal length on a ring longer than both, with TUNING at its table
// points: the full path against the reference, whose ring is indexed by a plain modulo.
TEST(RadioAMTest, PathMatchesADoublePrecisionReference) {
    const std::vector<float> a = radio_test::noise(37, 59, 0.3f), b = radio_test::noise(50, 61, 0.3f);
    struct Case {
        float knob1;
        AMReference::Tuning tuning;
        float fs;
    };
    const Case cases[] = {{100, {1723, 8441, 0.63, 0}, 44100},
                          {25, {387.6, 10442.6, 0.112, 2.5}, 48000},
                          {75, {1421, 8892, 0.52, 1}, 44100},
                          {0, {0, 48000, 0, 3}, 96000}};
    const auto x = radio_test::programme(20000, 67, 0.4f);
    for (const auto& c : cases) {
        AMState s;
        std::vector<std::vector<float>> responses(9);
        responses[3] = a;
        responses[4] = b;
        s.publishResponses(responses, 64);
        AMReference ref(c.fs, c.tuning, a, b, (44.0 - 37.0) / 13.0, 64);
        const auto out = runMono(s, x, c.fs, c.knob1, 0, 44, 100);
        double worst = 0;
        for (std::size_t i = 0; i < x.size(); ++i) worst = std::max(worst, std::abs(out[i] - ref.process(x[i])));
        EXPECT_LT(worst, 3e-5) << c.knob1;
    }
}

// Silence in: the output is the static bed through the 2 kHz peaking cut of up to 5 dB.
TEST(RadioAMTest, StaticPassesThroughThePeakingFilterSetByFilter) {
    const auto bed = radio_test::noise(300, 71, 0.5f);
    for (float filter : {0.0f, 40.0f, 100.0f}) {
        AMState s;
        s.publisher.publish(s.state.staticBuffers[8], radio_test::monoBed(bed));
        const auto out = runMono(s, std::vector<float>(1000, 0.0f), 48000, 30, 100, filter);
        auto eq = RefBiquad::peaking(2000, 48000, 2.828, -5 * filter / 100.0);
        const double gain = std::pow(10.0, ((1.0 - 0.02) / 0.98 * 9 - 8) * 36 / 20 - 36.0 / 20);
        for (std::size_t i = 0; i < out.size(); ++i) ASSERT_NEAR(out[i], eq.tick(bed[i % bed.size()] * gain), 1e-5) << i;
    }
}

TEST(RadioAMTest, StereoGivesMonoOfTheMeanOnBothChannels) {
    AMState stereo, mono;
    const std::vector<std::vector<float>> responses(9, radio_test::noise(40, 73, 0.2f));
    stereo.publishResponses(responses, 40);
    mono.publishResponses(responses, 40);
    for (auto* s : {&stereo, &mono}) s->publisher.publish(s->state.staticBuffers[4], radio_test::monoBed(radio_test::noise(99, 79, 0.3f)));
    RenderState unusedRight;
    auto L = radio_test::programme(5000, 83, 0.5f), R = radio_test::programme(5000, 89, 0.5f);
    std::vector<float> M(L.size());
    for (std::size_t i = 0; i < L.size(); ++i) M[i] = (L[i] + R[i]) * 0.5f;
    processRadioStereo(stereo.state, unusedRight, L.data(), R.data(), 5000, true, 44100, 60, 50, 70);
    processRadioMono(mono.state, M.data(), 5000, true, 44100, 60, 50, 70);
    EXPECT_EQ(L, M);
    EXPECT_EQ(R, M);
    EXPECT_EQ(unusedRight.radioAMRingPhase, 0.0);
}

TEST(RadioAMTest, OutputIsIndependentOfBlockSplits) {
    const auto x = radio_test::programme(5000, 97, 0.5f);
    auto render = [&](uint32_t block) {
        AMState s;
        std::vector<std::vector<float>> responses;
        for (unsigned j = 0; j < 9; ++j) responses.push_back(radio_test::noise(20 + 5 * j, 100 + j, 0.2f));
        s.publishResponses(responses, 60);
        s.publisher.publish(s.state.staticBuffers[2], radio_test::monoBed(radio_test::noise(77, 101, 0.3f)));
        return runMono(s, x, 44100, 67, 30, 33, block);
    };
    const auto whole = render(5000);
    for (uint32_t block : {1u, 7u, 64u, 512u}) EXPECT_EQ(render(block), whole) << block;
}

// The loaders swap the ring for a shorter one (or empty it) without touching the write position.
TEST(RadioAMTest, WritePositionOutsideAShorterRingStartsAgainAtZero) {
    const std::vector<std::vector<float>> responses(9, radio_test::noise(8, 103, 0.3f));
    const auto x = radio_test::programme(500, 107, 0.5f);
    AMState fresh;
    fresh.publishResponses(responses, 16);
    const auto expected = runMono(fresh, x, 44100, 40, 0, 50);
    for (int64_t index : {16, 1000, -1, -17}) {
        AMState s;
        s.publishResponses(responses, 16);
        s.state.radioAMIRHistoryIndex = index;
        EXPECT_EQ(runMono(s, x, 44100, 40, 0, 50), expected) << index;
        EXPECT_GE(s.state.radioAMIRHistoryIndex, 0);
        EXPECT_LT(s.state.radioAMIRHistoryIndex, 16);
    }
}

TEST(RadioAMTest, NoHeapAllocationWhileProcessing) {
    AMState s;
    s.publishResponses(std::vector<std::vector<float>>(9, radio_test::noise(512, 109, 0.1f)), 512);
    for (std::size_t i = 0; i < 9; ++i) s.publisher.publish(s.state.staticBuffers[i], radio_test::monoBed(radio_test::noise(200, 113, 0.3f)));
    RenderState right;
    auto L = radio_test::programme(4096, 127, 0.5f), R = L;
    tolvane::test::AllocationCounter counter;
    for (int block = 0; block < 32; ++block) {
        const float knob = static_cast<float>(block * 3);
        processRadioStereo(s.state, right, L.data(), R.data(), 128, true, 44100, knob, knob, 100 - knob);
        processRadioMono(s.state, L.data() + 128, 128, true, 44100, knob, 100 - knob, knob);
    }
    EXPECT_EQ(counter.allocations(), 0u);
}

}  // namespace
