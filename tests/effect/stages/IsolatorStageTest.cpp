#include "effect/RenderState.h"
#include "effect/stages/Stages.h"
#include "tests/effect/stages/StageRealtime.h"
#include "tests/support/EffectHost.h"
#include "tests/support/Signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <limits>
#include <numbers>
#include <vector>

namespace {

using cplx = std::complex<double>;
using tolvane::test::noise;
constexpr double kFs = 44100;

struct Knobs {
    float low, mid, high;
};

// Runs the mono stage over a signal in blocks, on the given state.
std::vector<float> isolate(RenderState& st, std::vector<float> x, Knobs k, std::size_t block = 512,
                           float fs = static_cast<float>(kFs)) {
    tolvane::test::forEachBlock(x.size(), block, [&](std::size_t at, uint32_t n) {
        processIsolatorMono(st, x.data() + at, n, fs, k.low, k.high, k.mid);
    });
    return x;
}

std::vector<float> isolate(std::vector<float> x, Knobs k, std::size_t block = 512) {
    RenderState st;
    return isolate(st, std::move(x), k, block);
}

// Closed-form response of one cookbook section (alpha = sin w0 / 1.414) at frequency f.
cplx section(bool lowPass, double corner, double f) {
    const double w0 = 2 * std::numbers::pi * corner / kFs, c = std::cos(w0), alpha = std::sin(w0) / 1.414;
    const double a0 = 1 + alpha;
    const double b0 = (lowPass ? (1 - c) / 2 : (1 + c) / 2) / a0, b1 = (lowPass ? 1 - c : -(1 + c)) / a0;
    const double a1 = -2 * c / a0, a2 = (1 - alpha) / a0;
    const cplx z = std::polar(1.0, -2 * std::numbers::pi * f / kFs);
    return (b0 + b1 * z + b0 * z * z) / (1.0 + a1 * z + a2 * z * z);
}

cplx bandSum(double gL, double gM, double gH, double f) {
    const cplx lp300 = section(true, 300, f), hp300 = section(false, 300, f);
    const cplx lp3k = section(true, 3000, f), hp3k = section(false, 3000, f);
    return gL * lp300 * lp300 + gM * hp300 * hp300 * lp3k * lp3k + gH * hp3k * hp3k;
}

cplx lowsOnly(double gL, double f) { return gL * section(true, 250, f) * section(true, 250, f); }

// The stage's complex gain at f, measured on one DFT bin of a settled sine.
cplx measured(Knobs k, double f) {
    constexpr std::size_t settle = 22050, window = 8820;  // f is a multiple of 5 Hz: whole cycles
    const auto x = tolvane::test::sine(settle + window, f, kFs, 0.25);
    const auto y = isolate(x, k);
    cplx in = 0, out = 0;
    for (std::size_t i = settle; i < x.size(); ++i) {
        const cplx e = std::polar(1.0, -2 * std::numbers::pi * f * i / kFs);
        in += static_cast<double>(x[i]) * e;
        out += static_cast<double>(y[i]) * e;
    }
    return out / in;
}

void expectResponse(Knobs k, const std::function<cplx(double)>& reference) {
    for (double f : {50.0, 150.0, 250.0, 300.0, 1000.0, 3000.0, 6000.0, 12000.0}) {
        const cplx want = reference(f), got = measured(k, f);
        EXPECT_NEAR(std::abs(got - want), 0.0, 2e-4 * std::max(1.0, std::abs(want)))
            << "low " << k.low << " mid " << k.mid << " high " << k.high << " at " << f << " Hz: got " << got
            << " want " << want;
    }
}

TEST(IsolatorResponseTest, FullBoostGivesThePartsBandGains) {
    // +13, +15 and +14 dB.
    expectResponse({100, 100, 100}, [](double f) { return bandSum(4.4668359, 5.6234133, 5.0118723, f); });
}

TEST(IsolatorResponseTest, EachKnobDrivesItsOwnBand) {
    expectResponse({100, 50, 50}, [](double f) { return bandSum(4.4668359, 1, 1, f); });
    expectResponse({50, 50, 50}, [](double f) { return bandSum(1, 1, 1, f); });
    // LOW 20 is linear (0.4), MID 70 boosts by 0.4 of its 15 dB range, HIGH 0 removes the highs.
    expectResponse({20, 70, 0}, [](double f) { return bandSum(0.4, std::pow(10.0, 6.0 / 20), 0, f); });
    expectResponse({0, 0, 75}, [](double f) { return bandSum(0, 0, std::pow(10.0, 7.0 / 20), f); });
}

TEST(IsolatorResponseTest, WithMidAndHighOffOnlyTheLowPathPlays) {
    expectResponse({50, 0, 0}, [](double f) { return lowsOnly(1, f); });
    expectResponse({100, 0.4f, 0.5f}, [](double f) { return lowsOnly(4.4668359, f); });
    // Just above the raw threshold the band sum returns, with the mid band at 2 * 0.006.
    expectResponse({30, 0.6f, 0}, [](double f) { return bandSum(0.6, 0.012, 0, f); });
    EXPECT_NEAR(std::abs(lowsOnly(1, 250)), 0.5, 0.01);  // two sections, each about -3 dB at 250 Hz
}

TEST(IsolatorResponseTest, AllKnobsAtZeroGiveSilence) {
    for (Knobs k : {Knobs{0, 0, 0}, Knobs{0, 0.5f, 0.5f}})
        for (float y : isolate(noise(4000, 3), k)) ASSERT_EQ(y, 0.0f);
}

TEST(IsolatorResponseTest, SilenceStaysSilent) {
    for (Knobs k : {Knobs{100, 100, 100}, Knobs{100, 0, 0}})
        for (float y : isolate(std::vector<float>(3000), k)) ASSERT_EQ(y, 0.0f);
}

TEST(IsolatorBlockTest, OutputDoesNotDependOnBlockSize) {
    const auto x = noise(5000, 5);
    for (Knobs k : {Knobs{80, 30, 60}, Knobs{70, 0, 0}}) {
        const auto whole = isolate(x, k, x.size());
        for (std::size_t block : {1, 7, 64, 512}) EXPECT_EQ(isolate(x, k, block), whole) << block;
    }
}

TEST(IsolatorBlockTest, BandSectionsKeepRunningOnTheLowPath) {
    // After a stretch on the low path, the band sum carries on exactly as if it had never stopped.
    const auto first = noise(2000, 6), second = noise(2000, 7);
    RenderState viaLowPath, throughout;
    isolate(viaLowPath, first, {60, 0, 0});
    isolate(throughout, first, {60, 40, 90});
    EXPECT_EQ(isolate(viaLowPath, second, {60, 40, 90}), isolate(throughout, second, {60, 40, 90}));
}

TEST(IsolatorStereoTest, EachChannelIsTheMonoChainOnItsOwnState) {
    auto L = noise(3000, 8), R = noise(3000, 9);
    const auto monoL = isolate(L, {90, 20, 70}), monoR = isolate(R, {90, 20, 70});
    RenderState left, right;
    processIsolatorBands(left, right, L.data(), R.data(), 3000, static_cast<float>(kFs), 90, 70, 20);
    EXPECT_EQ(L, monoL);
    EXPECT_EQ(R, monoR);
    EXPECT_NE(right.isoHighCutB_z1, 0.0f);  // the right channel's states live in the right state
}

TEST(IsolatorGuardTest, StrayKnobsAreHeldToTheKnobRange) {
    const auto x = noise(2000, 10);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(isolate(x, {nan, -20, 250}), isolate(x, {0, 0, 100}));
    EXPECT_EQ(isolate(x, {std::numeric_limits<float>::infinity(), nan, -1}), isolate(x, {100, 0, 0}));
}

TEST(IsolatorGuardTest, LowSampleRatesStayStableAndUnusableOnesPassTheBlock) {
    // At 4 kHz the 3 kHz corner lies past Nyquist; it is held below it instead of diverging.
    RenderState st;
    for (float y : isolate(st, noise(20000, 11), {100, 100, 100}, 512, 4000)) {
        ASSERT_TRUE(std::isfinite(y));
        ASSERT_LT(std::fabs(y), 10.0f);
    }
    const auto x = noise(600, 12);
    for (float fs : {0.0f, -44100.0f, std::numeric_limits<float>::quiet_NaN(), 1e30f}) {
        RenderState fresh;
        EXPECT_EQ(isolate(fresh, x, {100, 100, 100}, 512, fs), x) << fs;
        EXPECT_EQ(fresh.isoLowCutA_z1, 0.0f);
    }
}

TEST(IsolatorRealtimeTest, AFreshUnitAllocatesNothingFromItsFirstBlock) {
    for (bool stereo : {true, false}) {
        tolvane::test::EffectHost host;
        host.set(ParameterAddress::effectMode, 3);
        host.set(ParameterAddress::compressor, 80);
        ASSERT_TRUE(host.allocate());
        EXPECT_EQ(stage_test::allocationsOfFirstBlocks(host, stereo, 13), 0u) << (stereo ? "stereo" : "mono");
    }
}

}  // namespace
