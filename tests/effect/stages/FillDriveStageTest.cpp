// FILLDRIVE stage, called directly on render states: the filter chain against a plain
// double-precision reference, the resonance bypass, the drive-model choice, the channels and the
// real-time path. The model switch has its own file.

#include "effect/RenderState.h"
#include "effect/stages/Stages.h"
#include "tests/effect/stages/StageModelFiles.h"
#include "tests/effect/stages/StageRealtime.h"
#include "tests/support/ReferenceBiquad.h"
#include "tests/support/Signals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

namespace {

using tolvane::test::noise;

constexpr std::array<float, 9> kDriveKnobs{0, 12, 25, 37, 50, 62, 75, 87, 100};

struct Knobs {
    float k1 = 50;  // CUTOFF
    float k3 = 0;   // DRIVE
    float k2 = 0;   // RESONANCE
};

struct DriveChannel {
    RenderState state;
    ResourcePublisher publisher;
    stage_test::ModelFolder folder;

    void load(std::size_t slot, const std::vector<float>& taps) {
        publisher.publish(state.drivePlayers[slot], folder.player("drive" + std::to_string(slot), taps));
    }
    void loadIdentityModels() {
        for (std::size_t i = 0; i < kDriveKnobs.size(); ++i) load(i, {1.0f});
    }
    std::vector<float> run(std::vector<float> x, Knobs k, std::size_t block = 512, float fs = 44100) {
        tolvane::test::forEachBlock(x.size(), block, [&](std::size_t at, uint32_t n) {
            processFillDriveMono(state, x.data() + at, n, kDriveKnobs, fs, k.k1, k.k3, k.k2);
        });
        return x;
    }
};

// ---- Plain double-precision reference of the filter chain, from the cookbook forms ----

using Section = tolvane::test::ReferenceBiquad;

Section lowPassSection(double w, double q) {
    const double c = std::cos(w), alpha = std::sin(w) / (2 * q);
    return Section::normalised((1 - c) / 2, 1 - c, (1 - c) / 2, 1 + alpha, -2 * c, 1 - alpha);
}

Section peakingSection(double w, double q, double db) {
    const double c = std::cos(w), alpha = std::sin(w) / (2 * q), A = std::pow(10.0, db / 40);
    return Section::normalised(1 + alpha * A, -2 * c, 1 - alpha * A, 1 + alpha / A, -2 * c, 1 - alpha / A);
}

Section shelfSection(bool high, double w, double db) {
    const double c = std::cos(w), alpha = std::sin(w) / 1.414, A = std::pow(10.0, db / 40);
    const double s = 2 * std::sqrt(A) * alpha, sign = high ? -1 : 1;
    return Section::normalised(A * ((A + 1) - sign * (A - 1) * c + s), sign * 2 * A * ((A - 1) - sign * (A + 1) * c),
                      A * ((A + 1) - sign * (A - 1) * c - s), (A + 1) + sign * (A - 1) * c + s,
                      -sign * 2 * ((A - 1) + sign * (A + 1) * c), (A + 1) + sign * (A - 1) * c - s);
}

double smooth(double v) {
    v = std::clamp(v, 0.0, 1.0);
    return (3 - 2 * v) * v * v;
}

// The chain with no drive model, including the final level.
std::vector<double> filterReference(const std::vector<float>& x, double fs, double knob1, double knob2) {
    const double c = std::min(knob1 / 100, 0.999), r = knob2 / 100;
    const double u = std::clamp((r - 0.75) * 4, 0.0, 1.0);
    const double rr = std::min(1.0, r + 0.18 * (3 - 2 * u) * u * u);
    const double C = std::pow(rr, 0.62);
    const double q = C <= 0.651 ? 0.7 * std::pow(13.5 / 0.7, C / 0.651) : 6.05 * std::pow(28 / 6.05, (C - 0.651) / 0.349);
    // 550 Hz to 1982.44 Hz over the lower half, then on to 7500 Hz (resonant) and 12000 Hz (gentle).
    const double lower = 550 * std::pow(1982.4423 / 550, 2 * c);
    const double t = 2 * (c - 0.5);
    const double fc = c <= 0.5 ? lower : 1982.4423 * std::pow(7500 / 1982.4423, t);
    const double f2 = c <= 0.5 ? lower : 1982.4423 * std::pow(12000 / 1982.4423, t);
    const double w = std::clamp((c - 0.9) / 0.1, 0.0, 0.98) * (1 - 0.82 * std::pow(r, 0.75));
    const double p = std::exp(-2 * std::numbers::pi * f2 / fs);
    const auto omega = [fs](double hz) { return 2 * std::numbers::pi * hz / fs; };

    Section lp = lowPassSection(omega(fc), q);
    const double F = smooth((c - 0.68) / 0.32), S = smooth(2 * c);
    Section peak = peakingSection(omega(fc * (0.93 * F + (1 - F) * (0.55 + 0.45 * S))), 0.55 + 0.75 * F,
                                  (6.5 * F + 1.2 * c + 1.5) * std::pow(rr, 0.9));

    const int k = c <= 0.25 ? 0 : c <= 0.5 ? 1 : 2;
    const double ts = 4 * (c - 0.25 * k);
    const auto lin = [&](std::array<double, 4> v) { return v[k] + (v[k + 1] - v[k]) * ts; };
    const auto geo = [&](std::array<double, 4> v) { return v[k] * std::pow(v[k + 1] / v[k], ts); };
    const double v = c <= 0.65 ? 1 : 1 - smooth((c - 0.65) / 0.35);
    Section lowShelf = shelfSection(false, omega(90), lin({-2, -2, -2, 0}));
    Section tonePeak = peakingSection(omega(geo({400, 600, 1900, 1900})), lin({1.5, 2, 2, 2}), lin({1, 2, 2, 0}));
    Section highShelf = shelfSection(true, omega(geo({920, 4500, 4500, 4500})), (1 + 0.5 * r) * lin({-15, -22, -15, 0}));
    const double level = std::pow(10.0, (-0.5 + rr * (c - 0.5)) / 20);

    std::vector<double> y(x.size());
    double gentle = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double in = x[i];
        const double resonant = lp.tick(in);
        gentle = gentle * p + in * (1 - p);
        double s = resonant + w * (gentle - resonant);
        if (r > 0.01) s = peak.tick(s);
        const double a = lowShelf.tick(s), b = tonePeak.tick(a), h = highShelf.tick(b);
        y[i] = (b + v * (h - b)) * level;
    }
    return y;
}

TEST(FillDriveFilterTest, MatchesThePlainReference) {
    const std::pair<float, float> settings[] = {{0, 0},   {10, 1},  {20, 1.5f}, {25, 40},    {40, 30},   {50, 50.03f},
                                                {60, 50.1f}, {68, 70}, {75, 75},   {85, 90}, {95, 60}, {100, 100}};
    const auto input = noise(12000, 11);
    for (float fs : {44100.0f, 48000.0f, 96000.0f}) {
        for (auto [k1, k2] : settings) {
            DriveChannel channel;
            const auto y = channel.run(input, {k1, 0, k2}, 700, fs);
            const auto reference = filterReference(input, fs, k1, k2);
            double worst = 0, peak = 0;
            for (std::size_t i = 0; i < y.size(); ++i) {
                worst = std::max(worst, std::fabs(y[i] - reference[i]));
                peak = std::max(peak, std::fabs(reference[i]));
            }
            EXPECT_LT(worst, 1e-3 * std::max(1.0, peak)) << fs << " cutoff " << k1 << " resonance " << k2;
        }
    }
}

TEST(FillDriveFilterTest, ResonancePeakBypassedAndClearedAtOneAndBelow) {
    for (float k2 : {0.0f, 0.5f, 1.0f}) {
        DriveChannel channel;
        channel.state.filtResPK_z1 = 0.3f;
        channel.state.filtResPK_z2 = -0.2f;
        channel.run(noise(1000, 12), {40, 0, k2});
        EXPECT_EQ(channel.state.filtResPK_z1, 0.0f) << k2;
        EXPECT_EQ(channel.state.filtResPK_z2, 0.0f) << k2;
    }
    DriveChannel active;
    active.run(noise(1000, 12), {40, 0, 1.2f});
    EXPECT_NE(active.state.filtResPK_z1, 0.0f);
}

TEST(FillDriveFilterTest, StableAtLowSampleRatesWithEverythingOpen) {
    for (float fs : {8000.0f, 11025.0f, 16000.0f}) {
        for (float k2 : {0.0f, 50.0f, 100.0f}) {
            DriveChannel channel;
            const auto y = channel.run(noise(static_cast<std::size_t>(fs) * 2, 13), {100, 0, k2}, 512, fs);
            for (float v : y) ASSERT_TRUE(std::isfinite(v) && std::fabs(v) < 100.0f) << fs << " " << k2;
        }
    }
}

// The model the stage settles on for a DRIVE value, read from the switch state.
int64_t settledModel(float knob3) {
    DriveChannel channel;
    channel.run(noise(8192, 14), {50, knob3, 0});
    EXPECT_EQ(channel.state.driveDuckPhase, 0) << knob3;
    EXPECT_EQ(channel.state.drivePendingIdx, -1) << knob3;
    return channel.state.driveActiveIdx;
}

TEST(FillDriveModelChoiceTest, NearestKnobValueWithTiesToTheLowerIndex) {
    const std::pair<float, int64_t> expected[] = {
        {0, -1},   {0.5f, -1}, {0.51f, 0}, {6, 0},    {6.01f, 1}, {18.5f, 1}, {18.51f, 2}, {31, 2},
        {43.5f, 3}, {56, 4},   {68.5f, 5}, {81, 6},   {93.5f, 7}, {93.6f, 8}, {100, 8},
    };
    for (auto [knob3, index] : expected) EXPECT_EQ(settledModel(knob3), index) << knob3;

    // An empty table selects nothing.
    DriveChannel channel;
    auto x = noise(4096, 15);
    processFillDriveMono(channel.state, x.data(), 4096, {}, 44100, 50, 80, 0);
    EXPECT_EQ(channel.state.driveDuckPhase, 0);
    EXPECT_EQ(channel.state.driveActiveIdx, -1);
}

TEST(FillDriveModelTest, NonFiniteModelOutputBecomesZero) {
    DriveChannel channel;
    channel.load(0, stage_test::overflowingTaps());  // inf, then NaN
    const auto y = channel.run(std::vector<float>(12000, 4.0f), {50, 3, 0}, 512);
    for (float v : y) ASSERT_TRUE(std::isfinite(v));
    EXPECT_EQ(channel.state.driveActiveIdx, 0);
    // Once the model is in and faded in, nothing but zeros comes out.
    for (std::size_t i = 4608; i < y.size(); ++i) ASSERT_EQ(y[i], 0.0f) << i;
    for (float z : {channel.state.filtLP1z1, channel.state.filtHS_z1, channel.state.filtLPGentleZ1})
        EXPECT_TRUE(std::isfinite(z));
}

TEST(FillDriveModelTest, AnEmptySlotStillGetsItsOutputTrim) {
    DriveChannel dry, emptySlot;
    const std::vector<float> dc(20000, 0.1f);
    const auto reference = dry.run(dc, {50, 0, 0});
    const auto trimmed = emptySlot.run(dc, {50, 12, 0});  // index 1: output trim -8 dB
    EXPECT_EQ(emptySlot.state.driveActiveIdx, 1);
    EXPECT_NEAR(trimmed.back(), reference.back() * std::pow(10.0, -8.0 / 20), 1e-6);
}

TEST(FillDriveChannelsTest, StereoIsTwoIndependentMonoChannels) {
    DriveChannel left, right, monoLeft, monoRight;
    for (DriveChannel* c : {&left, &right, &monoLeft, &monoRight}) c->load(2, {0.8f, 0.3f});
    for (DriveChannel* c : {&right, &monoRight}) c->load(6, {1.5f});  // one channel only
    for (DriveChannel* c : {&left, &monoLeft}) c->load(6, {0.5f, -0.1f});
    auto L = noise(20000, 16), R = noise(20000, 17);
    auto mL = L, mR = R;
    for (std::size_t start = 0, b = 0; start < L.size(); start += 400, ++b) {
        const Knobs k{30.0f + static_cast<float>(b % 7) * 10, b < 20 ? 25.0f : 75.0f, 60};
        processFillDriveStereo(left.state, right.state, L.data() + start, R.data() + start, 400, kDriveKnobs, 48000,
                               k.k1, k.k3, k.k2);
        processFillDriveMono(monoLeft.state, mL.data() + start, 400, kDriveKnobs, 48000, k.k1, k.k3, k.k2);
        processFillDriveMono(monoRight.state, mR.data() + start, 400, kDriveKnobs, 48000, k.k1, k.k3, k.k2);
    }
    EXPECT_EQ(L, mL);
    EXPECT_EQ(R, mR);
    EXPECT_EQ(left.state.driveActiveIdx, 6);
    EXPECT_EQ(right.state.driveActiveIdx, 6);
}

TEST(FillDriveChannelsTest, BlockSplitsThatMeetTheSwapGiveTheSameOutput) {
    // Without a switch any split is the same; with one, the model changes at the first block
    // boundary after the swap, so splits that put a boundary there agree.
    const auto input = noise(16384, 18);
    for (const auto& [knob3, blocks] :
         {std::pair{0.0f, std::vector<std::size_t>{4096, 1, 100, 333}}, {40.0f, {2048, 64, 256, 512}}}) {
        std::vector<float> reference;
        for (std::size_t block : blocks) {
            DriveChannel channel;
            channel.load(3, {0.7f, 0.2f, 0.1f});
            const auto y = channel.run(input, {64, knob3, 45}, block);
            if (reference.empty()) reference = y;
            else EXPECT_EQ(y, reference) << knob3 << " " << block;
        }
    }
}

TEST(FillDriveRealtimeTest, NoAllocationWhileSwitchingModels) {
    DriveChannel left, right;
    left.loadIdentityModels();
    right.loadIdentityModels();
    const auto stage = [&](float* L, float* R, uint32_t n, float k1, float k3, float k2) {
        processFillDriveStereo(left.state, right.state, L, R, n, kDriveKnobs, 44100, k1, k3, k2);
    };
    EXPECT_EQ(stage_test::allocationsWithKnobsMoving(19, stage), 0u);
}

TEST(FillDriveRealtimeTest, OddArgumentsNeverProduceNaN) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    DriveChannel channel;
    channel.loadIdentityModels();
    auto x = noise(512, 20);
    // Input is finite (the render block sees to that), but may be far beyond audio levels.
    x[11] = 3e38f;  // overflows the sections for this block; they start again afterwards
    processFillDriveMono(channel.state, x.data(), 512, kDriveKnobs, 44100, nan, inf, -inf);
    processFillDriveMono(channel.state, x.data(), 512, {}, 44100, 1e9f, nan, 100);
    processFillDriveMono(channel.state, x.data(), 512, kDriveKnobs, nan, 50, 50, 50);
    processFillDriveMono(channel.state, x.data(), 512, kDriveKnobs, -44100, 50, 50, 50);
    for (float v : x) ASSERT_TRUE(std::isfinite(v));
}

}  // namespace
