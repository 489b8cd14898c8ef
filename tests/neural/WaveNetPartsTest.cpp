// The WaveNet's building blocks (FiLM, gating and blending) on hand-computed values, the model's
// construction errors, and allocation-free processing.

#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "neural/NAMPlayer.h"
#include "neural/nam/film.h"
#include "neural/nam/gating_activations.h"
#include "neural/nam/get_dsp.h"
#include "neural/nam/wavenet.h"
#include "tests/neural/NamTestSupport.h"
#include "tests/neural/WaveNetTestSupport.h"
#include "tests/support/AllocationCounter.h"

namespace {

using nam::activations::Activation;
using nam::gating_activations::BlendingActivation;
using nam::gating_activations::GatingActivation;
using wavenet_test::config;
using wavenet_test::json;
using wavenet_test::layerArray;

double sigmoid(double x) { return 1.0 / (1.0 + std::exp(-x)); }

Eigen::MatrixXf columns(std::initializer_list<std::initializer_list<float>> rows) {
    Eigen::MatrixXf m(static_cast<Eigen::Index>(rows.size()), static_cast<Eigen::Index>(rows.begin()->size()));
    Eigen::Index r = 0;
    for (const auto& row : rows) {
        Eigen::Index c = 0;
        for (float v : row) m(r, c++) = v;
        ++r;
    }
    return m;
}

// --- FiLM -------------------------------------------------------------------------------------

TEST(WaveNetParts, FiLMScalesAndShiftsFromTheCondition) {
    nam::FiLM film(1, 3, true);
    EXPECT_EQ(film.get_input_dim(), 3);
    EXPECT_EQ(film.get_condition_dim(), 1);
    EXPECT_EQ(film.get_num_weights(), 12);  // 6 x 1 weights, 6 biases
    const std::vector<float> weights = {0, 0, 0, 0, 0, 0, 2, 2, 2, 1, 1, 1};
    nam::weights_it it = weights.cbegin();
    film.set_weights_(it);
    EXPECT_EQ(it, weights.cend());
    film.SetMaxBufferSize(4);

    const Eigen::MatrixXf input = columns({{1}, {2}, {3}});
    const Eigen::MatrixXf condition = columns({{0.7f}});
    film.Process(input, condition, 1);
    EXPECT_EQ(film.GetOutput().col(0), Eigen::Vector3f(3, 5, 7));
}

TEST(WaveNetParts, FiLMWithoutShiftAndInPlace) {
    nam::FiLM film(2, 2, false);
    // scale = W c + b with W = [[1, 2], [0, -1]], b = (0.5, 1).
    const std::vector<float> weights = {1, 2, 0, -1, 0.5f, 1};
    nam::weights_it it = weights.cbegin();
    film.set_weights_(it);
    film.SetMaxBufferSize(3);
    const Eigen::MatrixXf condition = columns({{1, 0, -1}, {1, 2, 0.5f}});
    Eigen::MatrixXf signal = columns({{1, 2, 3}, {4, 5, 6}});
    const Eigen::MatrixXf expected = columns({{3.5f * 1, 4.5f * 2, 0.5f * 3}, {0 * 4, -1 * 5, 0.5f * 6}});

    film.Process(signal, condition, 3);
    EXPECT_TRUE(film.GetOutput().isApprox(expected));
    film.Process_(signal, condition, 2);  // only the first two frames change
    EXPECT_TRUE(signal.leftCols(2).isApprox(expected.leftCols(2)));
    EXPECT_EQ(signal(0, 2), 3.0f);
}

// --- Gating and blending ------------------------------------------------------------------------

TEST(WaveNetParts, GatingMultipliesTheActivatedHalfByTheGate) {
    GatingActivation gating(Activation::get_activation("Tanh"), Activation::get_activation("Sigmoid"), 2);
    Eigen::MatrixXf z = columns({{0.5f, -1, 2}, {0.1f, 0.3f, -0.2f}, {1, -2, 0}, {-0.5f, 4, 1}});
    const Eigen::MatrixXf original = z;
    // Before sizing the scratch holds one column: the block is taken column by column.
    auto top = z.topRows(2);
    gating.apply(z, top);
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(z(r, c), std::tanh(original(r, c)) * sigmoid(original(r + 2, c)), 1e-6) << r << "," << c;

    // Sized for the block, the result is the same.
    Eigen::MatrixXf sized = original;
    gating.SetMaxBufferSize(8);
    auto sizedTop = sized.topRows(2);
    gating.apply(sized, sizedTop);
    EXPECT_TRUE(sized.topRows(2).isApprox(z.topRows(2)));
}

TEST(WaveNetParts, BlendingMixesRawAndActivatedRows) {
    BlendingActivation blending(Activation::get_activation("Tanh"), Activation::get_activation("Sigmoid"), 1);
    blending.SetMaxBufferSize(2);
    const Eigen::MatrixXf z = columns({{0.8f, -1.5f, 3, 0.2f}, {0, 2, -1, -30}});
    Eigen::MatrixXf out(1, 4);
    blending.apply(z, out);  // wider than the scratch: two slices
    for (int c = 0; c < 4; ++c) {
        const double alpha = sigmoid(z(1, c));
        EXPECT_NEAR(out(0, c), (1 - alpha) * z(0, c) + alpha * std::tanh(z(0, c)), 1e-6) << c;
    }
}

TEST(WaveNetParts, TwoInputActivationsNeedChannels) {
    const auto tanh = Activation::get_activation("Tanh");
    try {
        GatingActivation(tanh, tanh, 0);
        ADD_FAILURE();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "GatingActivation: number of input channels must be positive");
    }
    EXPECT_THROW(BlendingActivation(tanh, tanh, -1), std::invalid_argument);
}

// --- Construction errors ------------------------------------------------------------------------

json withWeights(const json& cfg, long delta) {
    const long count = static_cast<long>(wavenet_ref::weight_count(cfg)) + delta;
    return wavenet_test::model(cfg, wavenet_test::randomWeights(static_cast<size_t>(count), 4, 0.3f));
}

struct ConstructionCase {
    const char* name;
    std::function<json()> file;
    std::string message;  // the whole text, or its start when it ends with "..."
};

void expectMessage(const std::string& actual, const std::string& expected) {
    const std::string dots = "...";
    if (expected.size() > dots.size() && expected.compare(expected.size() - dots.size(), dots.size(), dots) == 0)
        EXPECT_EQ(actual.substr(0, expected.size() - dots.size()), expected.substr(0, expected.size() - dots.size()));
    else
        EXPECT_EQ(actual, expected);
}

TEST(WaveNetParts, ModelsThatCannotBeBuiltAreRefused) {
    const json tiny = config({layerArray(1, 1, 2, 1, 2, {1, 2})});
    auto edited = [&](const std::function<void(json&)>& edit, long weightDelta = 0) {
        return [=] {
            json cfg = tiny;
            edit(cfg);
            return withWeights(cfg, weightDelta);
        };
    };
    auto arrays = [](std::vector<json> list) { return [=] { return wavenet_test::model(config(list), {}); }; };
    const std::vector<ConstructionCase> cases = {
        {"a head", edited([](json& c) { c["head"] = json::object(); }), "Head not implemented!"},
        {"one weight too many", edited([](json&) {}, +1), "Weight mismatch: assigned 42 weights, but 43 were provided."},
        {"one weight short", edited([](json&) {}, -1), "Weight mismatch: provided 41 weights, but the model expects more."},
        {"no weights", edited([](json&) {}, -42), "Weight mismatch: provided 0 weights, but the model expects more."},
        {"channels against the preceding head size",
         arrays({layerArray(1, 1, 16, 4, 3, {1}), layerArray(16, 1, 8, 1, 3, {1})}),
         "channels of layer 1 (8) doesn't match head_size of preceding layer (4!\n"},
        {"conditioning model inputs",
         edited([](json& c) {
             c["in_channels"] = 2;
             c["condition_dsp"] = wavenet_test::conditionModel(1, 1);
         }),
         "input channels of WaveNet (2) don't match input channels of condition DSP (1!\n"},
        {"conditioning model outputs", edited([](json& c) { c["condition_dsp"] = wavenet_test::conditionModel(1, 2); }),
         "condition_size of layer 0 (1) doesn't match output channels of condition DSP (2!\n"},
        {"bottleneck without layer 1x1",
         edited([](json& c) {
             c["layers"][0]["channels"] = 16;
             c["layers"][0]["bottleneck"] = 8;
             c["layers"][0]["layer1x1"] = {{"active", false}, {"groups", 1}};
         }),
         "When layer1x1.active is false, bottleneck (8) must equal channels (16)"},
        {"head 1x1 FiLM without head 1x1", edited([](json& c) { c["layers"][0]["head1x1_post_film"] = json::object(); }),
         "Do not use post-head 1x1 FiLM if there is no head 1x1"},
        {"groups that do not divide the channels",
         edited([](json& c) {
             c["layers"][0]["channels"] = 3;
             c["layers"][0]["groups_input"] = 2;
         }),
         "in_channels (3) must be divisible by numGroups (2)"},
        {"PReLU slopes for another width",
         edited([](json& c) { c["layers"][0]["activation"] = {{"type", "PReLU"}, {"negative_slopes", {0.1, 0.2, 0.3}}}; }),
         "PReLU has 3 slopes, but its layer has 2 channels"},
        {"first input size", edited([](json& c) { c["layers"][0]["input_size"] = 2; }),
         "input_size of layer 0 (2) doesn't match input channels of WaveNet (1)"},
        {"later input size", arrays({layerArray(1, 1, 4, 2, 2, {1}), layerArray(3, 1, 2, 1, 2, {1})}),
         "input_size of layer 1 (3) doesn't match channels of preceding layer (4)"},
        {"later head sum",
         [] {
             json second = layerArray(4, 1, 2, 1, 2, {1});
             second["bottleneck"] = 1;
             return wavenet_test::model(config({layerArray(1, 1, 4, 2, 2, {1}), second}), {});
         },
         "head sum rows of layer 1 (1) don't match head_size of preceding layer (2)"},
        {"condition size without a conditioning model", edited([](json& c) { c["layers"][0]["condition_size"] = 2; }),
         "condition_size of layer 0 (2) doesn't match input channels of WaveNet (1)"},
        {"array receptive field", arrays({layerArray(1, 1, 2, 1, 2, {600000, 600000})}),
         "Layer array receptive field (1200000) exceeds the limit of 1048576"},
        {"model receptive field",
         arrays({layerArray(1, 1, 2, 2, 2, {600000}), layerArray(2, 1, 2, 1, 2, {600000})}),
         "WaveNet receptive field (1200000) exceeds the limit of 1048576"},
        {"layer state", arrays({layerArray(1, 1, 1024, 1, 2, {8000, 8000, 8000, 8000, 8000})}),
         "WaveNet layer state (..."},
    };
    for (const ConstructionCase& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            nam::get_dsp(c.file());
            ADD_FAILURE() << "built";
        } catch (const std::exception& e) {
            expectMessage(e.what(), c.message);
        }
    }
}

// Checks the parser leaves to the model: direct construction with records the parser would refuse.
TEST(WaveNetParts, DirectConstructionChecksTheRecordsToo) {
    auto params = [](auto edit) {
        auto p = nam::wavenet::parse_config_json(config({layerArray(1, 1, 2, 1, 2, {1})}), 48000.0).layer_array_params;
        edit(p[0]);
        return p;
    };
    auto build = [](const std::vector<nam::wavenet::LayerArrayParams>& p) {
        return nam::wavenet::WaveNet(1, p, 0.02f, false, std::vector<float>(100, 0.0f), nullptr, 48000.0);
    };
    try {
        build(params([](auto& p) {
            p.layer1x1_params.active = false;
            p.layer1x1_post_film_params.active = true;
        }));
        ADD_FAILURE();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "layer1x1_post_film cannot be active when layer1x1 is not active");
    }
    EXPECT_THROW(build(params([](auto& p) { p.dilations.clear(); })), std::invalid_argument);
    EXPECT_THROW(build(params([](auto& p) { p.bottleneck = -3; })), std::runtime_error);
    EXPECT_THROW(build(params([](auto& p) { p.dilations[0] = -1; })), std::runtime_error);
    EXPECT_THROW(build({}), std::runtime_error);
}

// --- Real-time behaviour ------------------------------------------------------------------------

void expectNoAllocationWhileProcessing(nam::DSP& model) {
    const std::vector<int> blocks = {32, 64, 128, 256, 512, 1024, 2048, 4096, 1, 7, 511, 4095};
    std::vector<double> in(4096, 0.1), out(4096 * 2, 0.0);
    double* input = in.data();
    double* outputs[2] = {out.data(), out.data() + 4096};
    for (int n : blocks) {
        SCOPED_TRACE(n);
        tolvane::test::AllocationCounter counter;
        model.process(&input, outputs, n);
        EXPECT_EQ(counter.allocations(), 0u);
    }
}

TEST(WaveNetParts, ProcessingNeverAllocates) {
    for (const json& file : {wavenet_test::randomModel(wavenet_test::typicalConfig(), 2, 0.15f), wavenet_test::everyFeatureModel()}) {
        auto model = nam::get_dsp(file);
        model->Reset(48000.0, 4096);
        expectNoAllocationWhileProcessing(*model);
    }
}

TEST(WaveNetParts, ThePlayerRunsAWaveNetWithoutAllocating) {
    nam_test::TempDir dir;
    const auto path = dir.write("typical.nam", wavenet_test::randomModel(wavenet_test::typicalConfig(), 3, 0.15f));
    NAMPlayer player;
    Error error;
    ASSERT_TRUE(player.loadModelAtPath(path.string(), &error)) << error.description();
    player.resetWithSampleRate(48000.0, 4096);
    std::vector<float> buffer(4096);
    for (int n : {32, 256, 4096, 1, 999}) {
        for (int i = 0; i < n; ++i) buffer[i] = 0.3f * std::sin(0.01f * static_cast<float>(i));
        tolvane::test::AllocationCounter counter;
        EXPECT_TRUE(player.processBuffer(buffer.data(), n));
        EXPECT_EQ(counter.allocations(), 0u) << n;
    }
}

}  // namespace
