#include "effect/RenderState.h"
#include "effect/stages/Stages.h"
#include "effect/stages/VinylStage.h"

#include "VinylTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

namespace {

using namespace vinyltest;

constexpr double kDrive = 2.5118864315095801;  // +8 dB

double dB(double v) { return std::pow(10.0, v / 20); }

struct ModelRig {
    ResourcePublisher publisher;
    ModelFolder folder;
    RenderState state;
    ModelRig() { prepare(state); }
    void fill(const std::vector<LstmTensors>& models) { publishModels(publisher, folder, state, models); }
    void run(std::vector<float>& x, float k1) {
        runVinylModels(state, x.data(), static_cast<uint32_t>(x.size()), kKnobValues, k1);
    }
};

// Bias models make each profile's share visible: profile i adds (i + 1) / 100.
std::vector<LstmTensors> biasProfiles() {
    std::vector<LstmTensors> m;
    for (int i = 0; i < 9; ++i) m.push_back(biasModel(0.01f * static_cast<float>(i + 1)));
    return m;
}

// Knob 1 picks the two neighbouring profiles of the table 0, 12, 25, ..., 100 and their weights.
TEST(VinylModelsTest, BlendPicksAndWeighsTheBracketingProfiles) {
    struct Case {
        float k1;
        int lo, hi;
        double t;  // weight of hi (0 when only lo runs)
        double trimDB;
    };
    const Case cases[] = {
        {0, 0, 0, 0, -8},
        {6, 0, 1, 0.5, -8},
        {12, 0, 1, 1.0, -8},           // on a table value: the upper profile alone is heard
        {12.005f, 1, 1, 0.0, -8},      // t = 0.0004: not worth the second model
        {43.5f, 3, 4, 0.5, -8},
        {75, 5, 6, 1.0, -8 + 3.5 * 25 / 50},
        {99.99f, 7, 8, 12.99 / 13, -8 + 3.5 * 49.99 / 50},
        {100, 8, 8, 0.0, -4.5},
    };
    const std::vector<float> input = noise(256, 1, 0.5f);
    for (const Case& c : cases) {
        ModelRig rig;
        rig.fill(biasProfiles());
        std::vector<float> x = input;
        rig.run(x, c.k1);
        const double bLo = 0.01 * (c.lo + 1), bHi = 0.01 * (c.hi + 1);
        for (std::size_t i = 0; i < x.size(); ++i) {
            const double driven = kDrive * input[i];
            const double blended = (driven + bHi) * c.t + (driven + bLo) * (1 - c.t);
            ASSERT_NEAR(x[i], blended * dB(c.trimDB), 2e-6) << "knob 1 = " << c.k1 << ", sample " << i;
        }
    }
}

// Feeds a probe through the player in `slot` and through a fresh player of the same file that
// has first heard `history` (or nothing): equal results mean equal recurrent states.
bool stateMatches(ModelRig& rig, std::size_t slot, const LstmTensors& model, const std::vector<float>* history) {
    auto reference = rig.folder.player(model);
    if (history) {
        std::vector<float> h = *history;
        reference->processBuffer(h.data(), static_cast<int32_t>(h.size()));
    }
    std::vector<float> a = noise(64, 99, 0.5f), b = a;
    rig.state.vinylPlayers[slot].get()->processBuffer(a.data(), 64);
    reference->processBuffer(b.data(), 64);
    return a == b;
}

// At knob 12 the lower profile runs too (its state moves on, though its share is 0); just above,
// only profile 12 runs and profile 25 keeps still.
TEST(VinylModelsTest, WhichModelsRunAtAndJustAboveATableValue) {
    std::vector<LstmTensors> models;
    for (unsigned i = 0; i < 9; ++i) models.push_back(randomModel(10 + i, 0.3f));
    const std::vector<float> input = noise(300, 2, 0.4f);
    std::vector<float> driven(input.size());
    for (std::size_t i = 0; i < input.size(); ++i) driven[i] = input[i] * 2.5118864f;

    {
        ModelRig rig;
        rig.fill(models);
        std::vector<float> x = input;
        rig.run(x, 12);
        std::vector<float> expected = driven;
        rig.folder.player(models[1])->processBuffer(expected.data(), 300);
        for (std::size_t i = 0; i < x.size(); ++i) ASSERT_NEAR(x[i], expected[i] * dB(-8), 1e-6);
        EXPECT_TRUE(stateMatches(rig, 0, models[0], &driven)) << "profile 0 ran";
        EXPECT_TRUE(stateMatches(rig, 1, models[1], &driven)) << "profile 12 ran";
    }
    {
        ModelRig rig;
        rig.fill(models);
        std::vector<float> x = input;
        rig.run(x, 12.005f);
        std::vector<float> expected = driven;
        rig.folder.player(models[1])->processBuffer(expected.data(), 300);
        for (std::size_t i = 0; i < x.size(); ++i) ASSERT_NEAR(x[i], expected[i] * dB(-8), 1e-6);
        EXPECT_TRUE(stateMatches(rig, 2, models[2], nullptr)) << "profile 25 did not run";
        EXPECT_TRUE(stateMatches(rig, 0, models[0], nullptr)) << "profile 0 did not run";
    }
}

// Both channels' models side by side give each channel exactly what it gets alone, block after
// block, also when one channel lacks its upper model.
TEST(VinylModelsTest, StereoChannelsGetWhatEachGetsAlone) {
    std::vector<LstmTensors> models;
    for (unsigned i = 0; i < 9; ++i) models.push_back(randomModel(40 + i, 0.3f));
    for (const bool rightMissesUpper : {false, true}) {
        SCOPED_TRACE(rightMissesUpper ? "right lacks its upper model" : "both complete");
        ModelRig pairedLeft, pairedRight, aloneLeft, aloneRight;
        for (ModelRig* rig : {&pairedLeft, &pairedRight, &aloneLeft, &aloneRight}) rig->fill(models);
        if (rightMissesUpper)
            for (ModelRig* rig : {&pairedRight, &aloneRight}) rig->publisher.publish(rig->state.vinylPlayers[1], {});
        std::vector<float> l = noise(1000, 5, 0.5f), r = noise(1000, 6, 0.5f);
        std::vector<float> expectedL = l, expectedR = r;
        std::size_t start = 0;
        for (const float k1 : {6.0f, 6.0f, 12.0f, 43.5f, 0.0f, 100.0f, 6.0f}) {
            const auto n = static_cast<uint32_t>(std::min<std::size_t>(150, l.size() - start));
            runVinylModelsStereo(pairedLeft.state, pairedRight.state, l.data() + start, r.data() + start, n, kKnobValues, k1);
            runVinylModels(aloneLeft.state, expectedL.data() + start, n, kKnobValues, k1);
            runVinylModels(aloneRight.state, expectedR.data() + start, n, kKnobValues, k1);
            start += n;
        }
        EXPECT_EQ(l, expectedL);
        EXPECT_EQ(r, expectedR);
    }
}

TEST(VinylModelsTest, MissingPiecesSkipTheStepOrTheSecondModel) {
    const std::vector<float> input = noise(128, 3, 0.5f);
    {  // no lower model: the channel passes untouched, without drive or trim
        ModelRig rig;
        auto models = biasProfiles();
        rig.fill(models);
        rig.publisher.publish(rig.state.vinylPlayers[0], {});
        std::vector<float> x = input;
        rig.run(x, 6);
        EXPECT_EQ(x, input);
    }
    {  // a player that never loaded counts as missing
        ModelRig rig;
        rig.fill(biasProfiles());
        rig.publisher.publish(rig.state.vinylPlayers[0], std::make_shared<RTNeuralPlayer>());
        std::vector<float> x = input;
        rig.run(x, 6);
        EXPECT_EQ(x, input);
    }
    {  // no upper model: the lower one alone, at full weight
        ModelRig rig;
        rig.fill(biasProfiles());
        rig.publisher.publish(rig.state.vinylPlayers[1], {});
        std::vector<float> x = input;
        rig.run(x, 6);
        for (std::size_t i = 0; i < x.size(); ++i) ASSERT_NEAR(x[i], (kDrive * input[i] + 0.01) * dB(-8), 2e-6);
    }
    {  // a scratch buffer shorter than the block skips the step
        ModelRig rig;
        rig.fill(biasProfiles());
        rig.state.vinylBlockBuf.assign(64, 0.0f);
        std::vector<float> x = input;
        rig.run(x, 6);
        EXPECT_EQ(x, input);
    }
}

// A model whose output overflows counts as silence: in the blend, alone, and through the whole
// stage, where nothing of it may reach the filters or the delay line.
TEST(VinylModelsTest, NonFiniteModelOutputBecomesSilence) {
    const std::vector<float> input = noise(200, 4, 0.5f);
    {
        ModelRig rig;
        auto models = biasProfiles();
        models[1] = overflowingModel();
        rig.fill(models);
        std::vector<float> x = input;
        rig.run(x, 6);  // hi overflows: only the lower half of the blend remains
        for (std::size_t i = 0; i < x.size(); ++i) ASSERT_NEAR(x[i], (kDrive * input[i] + 0.01) * 0.5 * dB(-8), 2e-6);
        x = input;
        rig.run(x, 12.005f);  // it alone
        for (float v : x) ASSERT_EQ(v, 0.0f);
    }
    {
        ModelRig rig;
        std::vector<LstmTensors> models(9, overflowingModel());
        rig.fill(models);
        RenderState right;
        prepare(right);
        publishModels(rig.publisher, rig.folder, right, models);
        std::vector<float> l = input, r = input;
        processVinylStereo(rig.state, right, l.data(), r.data(), 200, kKnobValues, 44100, 512, 0, 100, 0);
        for (std::size_t i = 0; i < l.size(); ++i) ASSERT_TRUE(l[i] == 0.0f && r[i] == 0.0f);
        for (const RenderState* s : {&rig.state, &right}) {
            for (float v : {s->hpf1_z1, s->hpf1_z2, s->hpf2_z1, s->hpf2_z2, s->eqZ1, s->eqZ2}) EXPECT_EQ(v, 0.0f);
            for (float v : s->delayLine.buffer) ASSERT_EQ(v, 0.0f);
        }
    }
}

}  // namespace
