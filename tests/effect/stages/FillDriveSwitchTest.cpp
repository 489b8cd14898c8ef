// FILLDRIVE model switch: fade-out, swap, fade-in, read through identity models on a constant
// input, where the filter chain has settled and every output sample shows the switch's gain.

#include "effect/RenderState.h"
#include "effect/stages/Stages.h"
#include "tests/effect/stages/StageModelFiles.h"
#include "tests/support/Signals.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <numbers>
#include <random>
#include <vector>

namespace {

constexpr std::array<float, 9> kDriveKnobs{0, 12, 25, 37, 50, 62, 75, 87, 100};
constexpr float kInput = 0.1f;

double decibels(double db) { return std::pow(10.0, db / 20); }
double fadeOut(std::size_t p) { return 0.5 * (1 + std::cos(static_cast<double>(p) * std::numbers::pi / 2048)); }
double fadeIn(std::size_t p) { return 0.5 * (1 - std::cos(static_cast<double>(p) * std::numbers::pi / 2048)); }

// One channel with the identity model in every slot, settled on a constant input.
class SwitchRig {
public:
    explicit SwitchRig(float settledDrive) {
        for (std::size_t i = 0; i < kDriveKnobs.size(); ++i)
            publisher_.publish(state.drivePlayers[i], folder_.player("identity" + std::to_string(i), {1.0f}));
        run(settledDrive, 44100, 441);
        EXPECT_EQ(state.driveDuckPhase, 0);
    }

    // Output for `frames` samples at this DRIVE, relative to the settled output with no model.
    std::vector<double> run(float drive, std::size_t frames, std::size_t block) {
        std::vector<float> x(frames, kInput);
        tolvane::test::forEachBlock(frames, block, [&](std::size_t at, uint32_t n) {
            processFillDriveMono(state, x.data() + at, n, kDriveKnobs, 44100, 50, drive, 0);
        });
        std::vector<double> relative(x.begin(), x.end());
        for (double& v : relative) v /= noModelLevel();
        return relative;
    }

    RenderState state;

private:
    // The same chain without a model: the filter part does not depend on the model.
    static double noModelLevel() {
        static const double level = [] {
            RenderState dry;
            std::vector<float> x(44100, kInput);
            processFillDriveMono(dry, x.data(), 44100, kDriveKnobs, 44100, 50, 0, 0);
            return static_cast<double>(x.back());
        }();
        return level;
    }

    ResourcePublisher publisher_;
    stage_test::ModelFolder folder_;
};

void expectCurve(const std::vector<double>& y, const std::function<double(std::size_t)>& expected) {
    for (std::size_t i = 0; i < y.size(); ++i) ASSERT_NEAR(y[i], expected(i), 2e-5) << "sample " << i;
}

TEST(FillDriveSwitchTest, GainCurveOfASwitchThroughAnIdentityModel) {
    SwitchRig rig(0);
    // DRIVE 25: model 2, +5 dB in and +0.5 dB out. Blocks of 300 put the swap (sample 2048)
    // inside the block 1800-2099, which still runs without a model but already fades in.
    const auto y = rig.run(25, 6000, 300);
    const double trims = decibels(5.5);
    expectCurve(y, [&](std::size_t i) {
        if (i < 2048) return fadeOut(i);
        if (i < 4096) return fadeIn(i - 2048) * (i >= 2100 ? trims : 1.0);
        return trims;
    });
    EXPECT_EQ(rig.state.driveActiveIdx, 2);
    EXPECT_EQ(rig.state.driveDuckPhase, 0);
}

TEST(FillDriveSwitchTest, DriveToZeroFadesTheActiveModelOut) {
    SwitchRig rig(25);
    const double trims = decibels(5.5);
    const auto y = rig.run(0, 6144, 256);
    expectCurve(y, [&](std::size_t i) {
        if (i < 2048) return trims * fadeOut(i);
        if (i < 4096) return fadeIn(i - 2048);  // no model, no trims from the swap on
        return 1.0;
    });
    EXPECT_EQ(rig.state.driveActiveIdx, -1);
    EXPECT_EQ(rig.state.drivePendingIdx, -1);
    EXPECT_EQ(rig.state.driveDuckPhase, 0);
}

TEST(FillDriveSwitchTest, ATargetChangedDuringTheFadeOutIsWhereItLands) {
    SwitchRig rig(0);
    auto first = rig.run(25, 1024, 256);
    EXPECT_EQ(rig.state.driveDuckPhase, 1);
    EXPECT_EQ(rig.state.drivePendingIdx, 2);
    auto second = rig.run(75, 1024, 256);  // the fade-out goes on, now towards model 6
    EXPECT_EQ(rig.state.driveActiveIdx, 6);
    EXPECT_EQ(rig.state.driveDuckPhase, 2);
    first.insert(first.end(), second.begin(), second.end());
    expectCurve(first, fadeOut);
    const auto third = rig.run(75, 4096, 256);
    expectCurve(third, [&](std::size_t i) { return i < 2048 ? fadeIn(i) * decibels(5) : decibels(5); });

    // Back to the active model during a fade-out: it fades back in, not via the other model.
    SwitchRig back(75);
    back.run(12, 1024, 256);
    back.run(75, 1024, 256);
    EXPECT_EQ(back.state.driveActiveIdx, 6);
    EXPECT_EQ(back.state.driveDuckPhase, 2);
}

TEST(FillDriveSwitchTest, ATargetChangedDuringTheFadeInSwitchesAsSoonAsItEnds) {
    SwitchRig rig(75);  // model 6: +5 dB
    rig.run(12, 3072, 256);  // fade-out, swap to model 1, half the fade-in
    ASSERT_EQ(rig.state.driveActiveIdx, 1);
    ASSERT_EQ(rig.state.driveDuckPhase, 2);
    // DRIVE 87 (model 7) arrives during the fade-in; blocks of 300 end the fade-in mid-block.
    const auto y = rig.run(87, 6000, 300);
    const double model1 = decibels(1), model7 = decibels(2.5);
    expectCurve(y, [&](std::size_t i) {
        if (i < 1024) return fadeIn(1024 + i) * model1;
        if (i < 3072) return fadeOut(i - 1024) * model1;  // starts on the sample after the fade-in
        if (i < 5120) return fadeIn(i - 3072) * (i >= 3300 ? model7 : model1);
        return model7;
    });
    EXPECT_EQ(rig.state.driveActiveIdx, 7);

    // A target that comes back to the fading-in model before the fade-in ends starts nothing.
    SwitchRig undone(75);
    undone.run(12, 3072, 256);
    undone.run(87, 512, 256);
    undone.run(12, 2048, 256);
    EXPECT_EQ(undone.state.driveActiveIdx, 1);
    EXPECT_EQ(undone.state.driveDuckPhase, 0);
}

TEST(FillDriveSwitchTest, RandomDriveMovesNeverStepTheOutput) {
    SwitchRig rig(0);
    std::mt19937 rng(21);
    std::uniform_real_distribution<float> drive(0, 100);
    double previous = 1, largestStep = 0;
    for (int block = 0; block < 600; ++block) {
        const float knob = block % 10 < 3 ? 0.0f : drive(rng);
        for (double v : rig.run(knob, 256, 256)) {
            largestStep = std::max(largestStep, std::fabs(v - previous));
            previous = v;
        }
    }
    // Trims change only at a block boundary right after a swap, while the fade-in gain is at
    // most 0.038 (256 samples in); the largest trim is +8.5 dB.
    EXPECT_LT(largestStep, 0.038 * decibels(8.5) + 0.01);
}

}  // namespace
