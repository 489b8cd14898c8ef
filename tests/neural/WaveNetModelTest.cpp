// The WaveNet model against the naive double-precision reference: one case per feature (gating
// modes, FiLM, bottleneck, head 1x1, groups, conditioning) and the typical two-array model.

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "neural/nam/get_dsp.h"
#include "neural/nam/wavenet.h"
#include "tests/neural/WaveNetTestSupport.h"

namespace {

using wavenet_test::config;
using wavenet_test::json;
using wavenet_test::layerArray;

constexpr size_t kFrames = 1500;

struct ReferenceCase {
    const char* name;
    std::function<json()> build;  // the model file
};

void expectMatchesReference(const json& modelFile, int maxBlock, const std::vector<int>& blocks) {
    std::unique_ptr<nam::DSP> model = nam::get_dsp(modelFile);
    model->Reset(48000.0, maxBlock);
    const std::vector<double> x = wavenet_test::testSignal(kFrames, 17);
    // Any run of zeros at least as long as the receptive field settles both on the same state.
    const size_t lead = static_cast<size_t>(model->PrewarmSamples()) + 8;
    const wavenet_ref::Signal expected = wavenet_test::referenceOutput(modelFile, x, lead);
    const wavenet_ref::Signal actual = wavenet_test::runBlocks(*model, x, blocks);
    ASSERT_EQ(actual.size(), expected.size());
    const double scale = std::max(1e-3, wavenet_test::largestMagnitude(expected));
    EXPECT_LT(wavenet_test::largestDifference(actual, expected), 1e-5 * scale)
        << "output magnitude " << scale;
    EXPECT_GT(wavenet_test::largestMagnitude(expected), 1e-4);  // the case must produce a signal
}

// A one-array model whose layer array is `array` (in 1, condition 1, head 1 unless edited).
json oneArray(const json& array, unsigned seed) { return wavenet_test::randomModel(config({array}), seed); }

json smallArray(std::vector<int> dilations = {1, 2}, int channels = 2, int kernel = 2) {
    return layerArray(1, 1, channels, 1, kernel, std::move(dilations));
}

json withKeys(json array, const json& keys) {
    for (auto it = keys.begin(); it != keys.end(); ++it) array[it.key()] = it.value();
    return array;
}

// Every FiLM slot on (layer and head 1x1 present), each with its own shift and groups.
json allFilmSlots(bool shift) {
    json a = withKeys(smallArray({1, 3}, 4, 3), {{"head1x1", {{"active", true}, {"out_channels", 2}, {"groups", 1}}},
                                                {"condition_size", 1},
                                                {"gating_mode", "gated"}});
    for (const char* key : {"conv_pre_film", "conv_post_film", "input_mixin_pre_film", "input_mixin_post_film",
                            "activation_pre_film", "activation_post_film", "layer1x1_post_film", "head1x1_post_film"})
        a[key] = {{"active", true}, {"shift", shift}};
    return a;
}

json conditionedModel(unsigned seed) {
    // The conditioning model turns the mono input into two channels; every array's condition
    // then has two rows while the first array's input has one.
    const json condition = wavenet_test::randomModel(config({layerArray(1, 1, 3, 2, 2, {1, 2})}), seed + 1);
    json cfg = config({withKeys(layerArray(1, 2, 3, 2, 3, {1, 2, 4}), {{"gating_mode", "blended"},
                                                                       {"groups_input_mixin", 2},
                                                                       {"conv_post_film", {{"groups", 2}}}}),
                       layerArray(3, 2, 2, 1, 2, {1, 2})});
    cfg["condition_dsp"] = condition;
    return wavenet_test::randomModel(cfg, seed);
}

json linearConditionedModel(unsigned seed) {
    json cfg = config({layerArray(1, 1, 3, 1, 2, {1, 2})});
    cfg["condition_dsp"] = {{"version", "0.5.4"},
                            {"architecture", "Linear"},
                            {"config", {{"receptive_field", 4}, {"bias", true}}},
                            {"weights", {0.5, -0.25, 0.125, 0.3, 0.05}},
                            {"sample_rate", 48000}};
    return wavenet_test::randomModel(cfg, seed);
}

const std::vector<ReferenceCase>& referenceCases() {
    static const std::vector<ReferenceCase> cases = {
        {"tiny two-layer model", [] { return oneArray(smallArray(), 1); }},
        {"gated", [] { return oneArray(withKeys(smallArray({1, 2, 4}, 3, 3), {{"gated", true}}), 2); }},
        {"blended", [] { return oneArray(withKeys(smallArray({1, 2, 4}, 3, 3), {{"gating_mode", "blended"}}), 3); }},
        {"per-layer gating and activations",
         [] {
             return oneArray(withKeys(smallArray({1, 2, 4}, 3, 3), {{"gating_mode", {"gated", "none", "blended"}},
                                                                  {"activation", {"Tanh", "ReLU", "Softsign"}},
                                                                  {"secondary_activation", {"Tanh", "Tanh", "SiLU"}}}),
                             4);
         }},
        {"FiLM with shift", [] { return oneArray(allFilmSlots(true), 5); }},
        {"FiLM without shift", [] { return oneArray(allFilmSlots(false), 6); }},
        {"bottleneck narrower than channels",
         [] { return oneArray(withKeys(smallArray({1, 2, 4}, 4, 3), {{"bottleneck", 2}}), 7); }},
        {"head 1x1",
         [] {
             return oneArray(withKeys(smallArray({1, 2}, 3, 2), {{"head1x1", {{"active", true}, {"out_channels", 5}, {"groups", 1}}}}),
                             8);
         }},
        {"no layer 1x1",
         [] { return oneArray(withKeys(smallArray({1, 2}, 3, 2), {{"layer1x1", {{"active", false}, {"groups", 1}}}}), 9); }},
        {"grouped and depthwise convolutions",
         [] {
             return oneArray(withKeys(smallArray({1, 2}, 4, 3),
                                      {{"groups_input", 4},
                                       {"gating_mode", "none"},
                                       {"layer1x1", {{"active", true}, {"groups", 2}}},
                                       {"head1x1", {{"active", true}, {"out_channels", 2}, {"groups", 2}}}}),
                             10);
         }},
        {"two output channels", [] { return oneArray(withKeys(smallArray({1, 2}, 3, 2), {{"head_size", 2}}), 11); }},
        {"conditioned by a WaveNet", [] { return conditionedModel(12); }},
        {"conditioned by a Linear model", [] { return linearConditionedModel(13); }},
        {"every feature at once", [] { return wavenet_test::everyFeatureModel(); }},
        {"typical two-array model", [] { return wavenet_test::randomModel(wavenet_test::typicalConfig(), 14, 0.15f); }},
    };
    return cases;
}

TEST(WaveNetModel, MatchesTheReferenceForEveryFeature) {
    for (const ReferenceCase& c : referenceCases()) {
        SCOPED_TRACE(c.name);
        const json file = c.build();
        expectMatchesReference(file, 256, {256});
        expectMatchesReference(file, 64, {64, 1, 37});
    }
}

TEST(WaveNetModel, WeightCountsOfTheTinyAndTheTypicalModel) {
    EXPECT_EQ(wavenet_ref::weight_count(config({smallArray()})), 42u);
    EXPECT_EQ(wavenet_ref::weight_count(wavenet_test::typicalConfig()), 13802u);
    auto typical = nam::get_dsp(wavenet_test::randomModel(wavenet_test::typicalConfig(), 1));
    EXPECT_EQ(typical->PrewarmSamples(), 4093);
}

// Blending with alpha pinned at 0 passes the raw pre-activation, so the primary activation must
// not matter; pinned at 1 it passes the activated rows, as the same layer in plain mode would.
TEST(WaveNetModel, BlendingAtAlphaZeroAndOne) {
    // One array, channels 2, bottleneck 2, kernel 2, two layers, blended: the conv bias of layer l
    // sits after the input projection (2), the earlier layers (30 each) and the conv taps (16);
    // its last two entries feed the blending half.
    const json cfg = config({withKeys(smallArray({1, 2}), {{"gating_mode", "blended"}})});
    ASSERT_EQ(wavenet_ref::weight_count(cfg), 2u + 2 * 30 + 3 + 1);
    auto pin = [&](double bias, const char* secondary, const char* primary) {
        json c = cfg;
        c["layers"][0]["secondary_activation"] = secondary;
        c["layers"][0]["activation"] = primary;
        std::vector<float> weights = wavenet_test::randomWeights(wavenet_ref::weight_count(c), 21, 0.3f);
        for (int layer = 0; layer < 2; ++layer)
            for (int row : {2, 3}) weights[2 + 30 * layer + 16 + row] = static_cast<float>(bias);
        return wavenet_test::model(c, weights);
    };
    const std::vector<double> x = wavenet_test::testSignal(600, 3);
    auto run = [&](const json& file) {
        auto m = nam::get_dsp(file);
        m->Reset(48000.0, 128);
        return wavenet_test::runBlocks(*m, x, {128});
    };
    for (const char* primary : {"Tanh", "Softsign"}) {
        SCOPED_TRACE(primary);
        expectMatchesReference(pin(-50.0, "ReLU", primary), 128, {128});   // alpha 0
        expectMatchesReference(pin(50.0, "Hardtanh", primary), 128, {128});  // alpha 1
    }
    EXPECT_EQ(run(pin(-50.0, "ReLU", "Tanh")), run(pin(-50.0, "ReLU", "Softsign")));
    EXPECT_NE(run(pin(50.0, "Hardtanh", "Tanh")), run(pin(50.0, "Hardtanh", "Softsign")));
}

// Zero weights except the head bias (1.5) and the head scale (0.02, the last weight).
TEST(WaveNetModel, TheLastWeightIsTheHeadScale) {
    const json cfg = config({smallArray()}, 7.0);
    std::vector<float> weights(42, 0.0f);
    weights[40] = 1.5f;
    weights[41] = 0.02f;
    auto model = nam::get_dsp(wavenet_test::model(cfg, weights));
    auto* wavenet = dynamic_cast<nam::wavenet::WaveNet*>(model.get());
    ASSERT_NE(wavenet, nullptr);
    EXPECT_FLOAT_EQ(wavenet->GetHeadScale(), 0.02f);
    model->Reset(48000.0, 16);
    const wavenet_ref::Signal y = wavenet_test::runBlocks(*model, wavenet_test::testSignal(16, 1), {16});
    for (double v : y[0]) EXPECT_NEAR(v, 0.03, 1e-7);
}

TEST(WaveNetModel, ReceptiveFieldAndPrewarm) {
    auto model = nam::get_dsp(wavenet_test::randomModel(config({layerArray(1, 1, 2, 1, 3, {1, 2, 4, 8})}), 1));
    EXPECT_EQ(model->PrewarmSamples(), 31);
    auto* wavenet = dynamic_cast<nam::wavenet::WaveNet*>(model.get());
    ASSERT_NE(wavenet, nullptr);
    EXPECT_EQ(wavenet->GetLayerArrays()[0].get_receptive_field(), 30);

    auto three = nam::get_dsp(wavenet_test::randomModel(config({layerArray(1, 1, 2, 1, 3, {1, 2, 4})}), 1));
    EXPECT_EQ(dynamic_cast<nam::wavenet::WaveNet&>(*three).GetLayerArrays()[0].get_receptive_field(), 14);

    // A conditioning model adds its own prewarm instead of the one extra sample.
    auto conditioned = nam::get_dsp(conditionedModel(3));
    EXPECT_EQ(conditioned->PrewarmSamples(), (1 + 1 + 2) + (2 * (1 + 2 + 4) + 1 + 2));
}

// Longer host blocks are processed in slices; the slicing, the host's block size and the block
// split must not change the output beyond float rounding.
TEST(WaveNetModel, OutputIsIndependentOfBlockSplits) {
    const json file = wavenet_test::randomModel(wavenet_test::typicalConfig(), 31, 0.15f);
    const std::vector<double> x = wavenet_test::testSignal(6000, 9);
    auto run = [&](int maxBlock, const std::vector<int>& blocks) {
        auto model = nam::get_dsp(file);
        model->Reset(48000.0, maxBlock);
        return wavenet_test::runBlocks(*model, x, blocks);
    };
    const wavenet_ref::Signal whole = run(4096, {4096});
    const double scale = wavenet_test::largestMagnitude(whole);
    for (const auto& [maxBlock, blocks] : std::vector<std::pair<int, std::vector<int>>>{
             {1, {1}}, {7, {7}}, {64, {64}}, {511, {511}}, {4096, {1, 7, 64, 511, 4096, 3}}, {600, {600, 599}}}) {
        SCOPED_TRACE(maxBlock);
        EXPECT_LT(wavenet_test::largestDifference(run(maxBlock, blocks), whole), 1e-5 * scale);
    }
}

}  // namespace
