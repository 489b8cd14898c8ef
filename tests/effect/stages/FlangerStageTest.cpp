#include "effect/RenderState.h"
#include "effect/stages/Stages.h"
#include "tests/effect/stages/StageRealtime.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/EffectHost.h"
#include "tests/support/Signals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

using tolvane::test::noise;

struct Knobs {
    float depth, rate, resonance;
};

// Runs the stage in blocks; a null R makes every block mono.
void flanger(RenderState& st, std::vector<float>& L, std::vector<float>* R, Knobs k, std::size_t block = 512,
             float fs = 44100) {
    tolvane::test::forEachBlock(L.size(), block, [&](std::size_t at, uint32_t n) {
        processFlanger(st, L.data() + at, R ? R->data() + at : nullptr, n, fs, k.depth, k.resonance, k.rate);
    });
}

std::vector<float> flangerMono(std::vector<float> x, Knobs k, std::size_t block = 512, float fs = 44100) {
    RenderState st;
    flanger(st, x, nullptr, k, block, fs);
    return x;
}

std::pair<std::vector<float>, std::vector<float>> flangerStereo(std::vector<float> L, std::vector<float> R, Knobs k,
                                                                std::size_t block = 512) {
    RenderState st;
    flanger(st, L, &R, k, block);
    return {std::move(L), std::move(R)};
}

// A feedback comb with a fixed fractional delay, in double precision: the line holds the input
// plus the weighted, fed-back delayed line; the output is the input plus the weighted delayed line.
std::vector<double> referenceComb(const std::vector<float>& x, double fs, double ms, double feedback, double gain) {
    const double delay = std::clamp(ms * 0.001 * fs, 1.0, 2046.0), weight = std::min(1.0, ms);
    std::vector<double> line(x.size()), out(x.size());
    const auto at = [&](long i) { return i >= 0 ? line[static_cast<std::size_t>(i)] : 0.0; };
    for (std::size_t n = 0; n < x.size(); ++n) {
        const double p = static_cast<double>(n) - delay;
        const long i0 = static_cast<long>(std::floor(p));
        const double f = p - std::floor(p);
        const double delayed = (1 - f) * at(i0) + f * at(i0 + 1);
        line[n] = x[n] + feedback * weight * delayed;
        out[n] = (x[n] + weight * delayed) * gain;
    }
    return out;
}

// The stage places its read position in single precision, so its fraction is good to about
// 1e-4 of a sample near the end of the line.
void expectComb(const std::vector<float>& got, const std::vector<double>& want, const char* what) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], 2e-4) << what << " at " << i;
}

TEST(FlangerManualTest, RateAtZeroHoldsAFixedFractionalComb) {
    const auto x = noise(12000, 1);
    // DEPTH 0: 13.3 ms (586.53 samples), RESONANCE 100: feedback 0.94 and -3 dB.
    expectComb(flangerMono(x, {0, 0, 100}), referenceComb(x, 44100, 13.3, 0.94, 0.70795), "13.3 ms");
    // DEPTH 100: 0.75 ms, so the wet weight drops to 0.75; no feedback at RESONANCE 40 or below.
    expectComb(flangerMono(x, {100, 0, 40}), referenceComb(x, 44100, 0.75, 0, 1), "0.75 ms");
    // Halfway between table points: 6.75 ms, feedback 0.715, -1.5 dB.
    expectComb(flangerMono(x, {35, 0, 75}), referenceComb(x, 44100, 6.75, 0.715, 0.84140), "6.75 ms");
    expectComb(flangerMono(x, {45, 0, 55}), referenceComb(x, 44100, 5.3, 0.43, 0.96605), "5.3 ms");
}

TEST(FlangerManualTest, LongDelaysAreCappedAtTheLineAndThePhaseStandsStill) {
    const auto x = noise(8000, 2);
    RenderState st;
    st.flangerLFOPhase = 0.3;
    auto y = x;
    flanger(st, y, nullptr, {0, 0, 0}, 512, 192000);  // 13.3 ms is 2553.6 samples here
    expectComb(y, referenceComb(x, 192000, 13.3, 0, 1), "capped");
    EXPECT_EQ(st.flangerLFOPhase, 0.3);
}

TEST(FlangerManualTest, ShallowSweepsSitAtTheDelayFloor) {
    // DEPTH 10 or below with the LFO running: 0.1 ms, weight 0.1.
    const auto x = noise(5000, 3);
    expectComb(flangerMono(x, {5, 70, 0}), referenceComb(x, 44100, 0.1, 0, 1), "floor");
}

// Delays in samples per sample, recovered at RESONANCE 0 (no feedback, unity gain), where the
// output is the input plus the weighted delayed input. Two ramps that differ by a constant give
// the weight (the difference of their wet parts is weight times that constant); the wet part
// of one ramp then gives the delay, since a linear interpolation of a ramp is exact.
std::pair<std::vector<double>, std::vector<double>> sweptDelays(Knobs k, std::size_t n) {
    constexpr double slope = 1.0 / 1024, offset = 8;  // exact steps in single precision
    std::vector<float> ramp(n), raised(n);
    for (std::size_t i = 0; i < n; ++i) {
        ramp[i] = static_cast<float>(i * slope);
        raised[i] = static_cast<float>(offset + i * slope);
    }
    const auto [L, R] = flangerStereo(ramp, ramp, k);
    const auto [raisedL, raisedR] = flangerStereo(raised, raised, k);
    const auto decode = [&](const std::vector<float>& out, const std::vector<float>& raisedOut) {
        std::vector<double> d(n);
        for (std::size_t i = 0; i < n; ++i) {
            const double wet = out[i] - ramp[i];
            const double weight = (raisedOut[i] - raised[i] - wet) / offset;
            d[i] = static_cast<double>(i) - wet / weight / slope;
        }
        return d;
    };
    return {decode(L, raisedL), decode(R, raisedR)};
}

TEST(FlangerSweepTest, RightSweepLeadsTheLeftByAQuarterCycle) {
    // RATE 60: 4.5 Hz, a 9800-sample cycle at 44.1 kHz; DEPTH 90: the full 0.835 to 9.165 ms.
    constexpr std::size_t n = 30000, quarter = 2450, settled = 500;  // past the longest delay
    const auto [left, right] = sweptDelays({90, 60, 0}, n);
    for (std::size_t i = settled; i + quarter < n; ++i) ASSERT_NEAR(right[i], left[i + quarter], 0.05) << i;
    const auto [shortest, longest] = std::minmax_element(left.begin() + settled, left.end());
    EXPECT_NEAR(*longest, 9.165 * 44.1, 0.05);
    EXPECT_NEAR(*shortest, 0.835 * 44.1, 0.05);
    // Phase 0 is the top of the triangle: the left sweep is longest at whole cycles from the
    // start and shortest half a cycle later.
    EXPECT_NEAR(left[9800], 9.165 * 44.1, 0.05);
    EXPECT_NEAR(left[9800 + 4900], 0.835 * 44.1, 0.05);
}

TEST(FlangerChannelTest, MonoBlocksCarryTheLeftChannelAndStillFeedTheRightLine) {
    const auto L = noise(6000, 4), R = noise(6000, 5);
    const Knobs k{70, 75, 90};
    EXPECT_EQ(flangerMono(L, k), flangerStereo(L, R, k).first);
    RenderState st;
    auto mono = L;
    flanger(st, mono, nullptr, {40, 0, 80});  // equal manual delays: both lines see the same
    EXPECT_EQ(st.flangerRBuf, st.flangerLBuf);
}

TEST(FlangerChannelTest, AnEmptyFirstBlockMakesTheLinesAndNothingElse) {
    RenderState st;
    st.flangerWritePos = 33;
    st.flangerLFOPhase = 0.4;
    float sample = 1;
    tolvane::test::AllocationCounter counter;
    processFlanger(st, &sample, nullptr, 0, 44100, 50, 50, 50);
    EXPECT_EQ(counter.allocations(), 0u);
    EXPECT_EQ(st.flangerLBuf, std::vector<float>(2048, 0.0f));
    EXPECT_EQ(st.flangerRBuf, std::vector<float>(2048, 0.0f));
    EXPECT_EQ(st.flangerWritePos, 0);
    EXPECT_EQ(st.flangerLFOPhase, 0.4);
    EXPECT_EQ(sample, 1.0f);
}

TEST(FlangerBlockTest, OutputDoesNotDependOnBlockSizeAndSilenceStaysSilent) {
    const auto L = noise(9000, 6), R = noise(9000, 7);
    for (Knobs k : {Knobs{80, 95, 100}, Knobs{20, 0, 60}}) {
        const auto whole = flangerStereo(L, R, k, L.size());
        for (std::size_t block : {1, 7, 64, 512}) EXPECT_EQ(flangerStereo(L, R, k, block), whole) << block;
        const auto [silentL, silentR] = flangerStereo(std::vector<float>(9000), std::vector<float>(9000), k);
        for (std::size_t i = 0; i < silentL.size(); ++i) ASSERT_TRUE(silentL[i] == 0.0f && silentR[i] == 0.0f) << i;
    }
}

TEST(FlangerGuardTest, StrayKnobsAreHeldToTheKnobRange) {
    const auto x = noise(4000, 8);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(flangerMono(x, {-1e6f, 500, nan}), flangerMono(x, {0, 100, 0}));
    EXPECT_EQ(flangerMono(x, {nan, -std::numeric_limits<float>::infinity(), 101}), flangerMono(x, {0, 0, 100}));
}

TEST(FlangerGuardTest, UnusableSampleRatesAndDamagedStateAreSafe) {
    const auto x = noise(700, 9);
    for (float fs : {0.0f, -44100.0f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()})
        EXPECT_EQ(flangerMono(x, {50, 50, 50}, 512, fs), x) << fs;
    RenderState st;
    st.flangerLFOPhase = std::numeric_limits<double>::infinity();
    st.flangerWritePos = -5;
    auto y = x;
    flanger(st, y, nullptr, {100, 90, 100});
    for (float v : y) ASSERT_TRUE(std::isfinite(v));
    EXPECT_TRUE(st.flangerLFOPhase >= 0.0 && st.flangerLFOPhase < 1.0);
}

TEST(FlangerRealtimeTest, AFreshUnitAllocatesNothingFromItsFirstBlock) {
    for (bool stereo : {true, false}) {
        tolvane::test::EffectHost host;
        host.set(ParameterAddress::effectMode, 7);
        host.set(ParameterAddress::crackle, 80);
        host.set(ParameterAddress::wowFlutter, 90);
        ASSERT_TRUE(host.allocate());
        EXPECT_EQ(stage_test::allocationsOfFirstBlocks(host, stereo, 10), 0u) << (stereo ? "stereo" : "mono");
        EXPECT_EQ(host.unit->renderState->flangerLBuf.size(), 2048u);
    }
}

}  // namespace
