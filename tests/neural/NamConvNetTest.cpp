// The ConvNet architecture, built through the model loader and checked against a naive
// double-precision reference that reads the flat weight list in the file's order.

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "neural/NAMPlayer.h"
#include "neural/nam/convnet.h"
#include "neural/nam/get_dsp.h"
#include "tests/neural/NamArchTestSupport.h"
#include "tests/neural/NamTestSupport.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/HeapInUse.h"

namespace {

using nam_test::ConvReference;
using nam_test::Signal;
using nlohmann::json;

constexpr double kTolerance = 2e-5;

struct ConvNetShape {
    int in = 1, out = 1, channels = 2;
    std::vector<int> dilations = {1, 2};
    bool batchnorm = false;
    json activation = "Tanh";
    int groups = 1;
};

double activate(const json& activation, double x, int channel) {
    const std::string type = activation.is_string() ? activation.get<std::string>() : activation.at("type").get<std::string>();
    if (type == "Tanh") return std::tanh(x);
    if (type == "Hardtanh") return std::clamp(x, -1.0, 1.0);
    if (type == "PReLU") return x > 0 ? x : activation.at("negative_slopes").at(channel).get<double>() * x;
    if (type == "ReLU") return x > 0 ? x : 0.0;
    if (type == "Sigmoid") return 1.0 / (1.0 + std::exp(-x));
    if (type == "LeakyReLU") return x > 0 ? x : activation.value("negative_slope", 0.01) * x;
    throw std::logic_error("reference lacks activation " + type);
}

// The model in double: per block a kernel-2 dilated convolution (ConvReference), the batch
// norm (x - mean) / sqrt(eps + var) * w + b and the activation; then the head.
struct ConvNetReference {
    ConvNetShape shape;

    // Walks the weight layout and makes each batch-norm record valid: variances positive and a
    // small positive epsilon.
    void makeBatchNormValid(std::vector<float>& weights) const {
        size_t pos = 0;
        for (size_t b = 0; b < shape.dilations.size(); ++b) {
            pos += blockConv(b).weightCount();
            if (!shape.batchnorm) continue;
            const int c = shape.channels;
            for (int i = 0; i < c; ++i) weights[pos + c + i] = std::fabs(weights[pos + c + i]) + 0.25f;
            weights[pos + 4 * c] = 1e-3f;
            pos += 4 * c + 1;
        }
    }

    ConvReference blockConv(size_t b) const {
        return {b == 0 ? shape.in : shape.channels, shape.channels, 2, shape.dilations[b], shape.groups, !shape.batchnorm};
    }

    size_t weightCount() const {
        size_t n = 0;
        for (size_t b = 0; b < shape.dilations.size(); ++b)
            n += blockConv(b).weightCount() + (shape.batchnorm ? 4 * shape.channels + 1 : 0);
        return n + shape.out * (shape.channels + 1);
    }

    Signal run(const std::vector<float>& weights, Signal x) const {
        size_t pos = 0;
        const int c = shape.channels;
        for (size_t b = 0; b < shape.dilations.size(); ++b) {
            x = blockConv(b).run(weights, pos, x);
            if (shape.batchnorm) {
                for (int i = 0; i < c; ++i) {
                    const double mean = weights[pos + i], var = weights[pos + c + i];
                    const double w = weights[pos + 2 * c + i], bias = weights[pos + 3 * c + i];
                    const double eps = weights[pos + 4 * c];
                    for (auto& v : x[i]) v = (v - mean) / std::sqrt(eps + var) * w + bias;
                }
                pos += 4 * c + 1;
            }
            for (int i = 0; i < c; ++i)
                for (auto& v : x[i]) v = activate(shape.activation, v, i);
        }
        const size_t frames = x.front().size();
        Signal y(shape.out, std::vector<double>(frames, 0.0));
        const size_t biasPos = pos + size_t(shape.out) * c;
        for (int o = 0; o < shape.out; ++o)
            for (size_t t = 0; t < frames; ++t) {
                double sum = weights[biasPos + o];
                for (int i = 0; i < c; ++i) sum += double(weights[pos + o * c + i]) * x[i][t];
                y[o][t] = sum;
            }
        return y;
    }
};

json convNetConfig(const ConvNetShape& s, bool withDefaults = true) {
    json config = {{"channels", s.channels}, {"dilations", s.dilations}, {"batchnorm", s.batchnorm},
                   {"activation", s.activation}};
    if (withDefaults || s.groups != 1) config["groups"] = s.groups;
    if (withDefaults || s.in != 1) config["in_channels"] = s.in;
    if (withDefaults || s.out != 1) config["out_channels"] = s.out;
    return config;
}

json convNetFile(const json& config, const std::vector<float>& weights) {
    return json{{"version", "0.5.4"}, {"architecture", "ConvNet"}, {"config", config}, {"weights", weights},
                {"sample_rate", 48000}};
}

std::unique_ptr<nam::DSP> load(const ConvNetShape& shape, const std::vector<float>& weights, bool withDefaults = true) {
    return nam::get_dsp(convNetFile(convNetConfig(shape, withDefaults), weights));
}

// Runs `x` (channels x frames) through the model in blocks of the given lengths.
Eigen::MatrixXf stream(nam::DSP& model, const Signal& x, const std::vector<int>& lengths) {
    const int frames = static_cast<int>(x.front().size());
    Signal in = x;
    Signal out(model.NumOutputChannels(), std::vector<double>(frames));
    std::vector<double*> inPtr(in.size()), outPtr(out.size());
    int done = 0;
    for (const int n : lengths) {
        for (size_t c = 0; c < in.size(); ++c) inPtr[c] = in[c].data() + done;
        for (size_t c = 0; c < out.size(); ++c) outPtr[c] = out[c].data() + done;
        model.process(inPtr.data(), outPtr.data(), n);
        done += n;
    }
    return nam_test::toMatrix(out);
}

// Prepends `silence` zero frames (the state the prewarm leaves) to the reference's input and
// drops them from its output.
Signal referenceAfterSilence(const ConvNetReference& reference, const std::vector<float>& weights, const Signal& x,
                             int silence) {
    Signal padded = x;
    for (auto& channel : padded) channel.insert(channel.begin(), silence, 0.0);
    Signal y = reference.run(weights, padded);
    for (auto& channel : y) channel.erase(channel.begin(), channel.begin() + silence);
    return y;
}

const std::vector<ConvNetShape> kShapes = {
    {},                                                            // the 19-weight example
    {.batchnorm = true},                                           // the 33-weight example
    {.in = 2, .out = 3, .channels = 4, .dilations = {1, 2, 4, 8}, .batchnorm = true, .activation = "ReLU", .groups = 2},
    {.channels = 8, .dilations = {1, 2, 4, 8, 16, 32, 64}, .activation = json{{"type", "LeakyReLU"}, {"negative_slope", 0.2}}},
    {.in = 4, .channels = 4, .dilations = {3, 5}, .batchnorm = true, .activation = "Sigmoid", .groups = 4},  // depthwise
    {.channels = 16, .dilations = {1, 2, 4, 8, 16, 32, 64, 128}, .batchnorm = true},
    // The widest bit model's shape, an odd channel count with a gap-free block, per-channel slopes.
    {.channels = 64, .dilations = {1}, .activation = "Hardtanh"},
    {.channels = 5, .dilations = {0, 3, 1}, .activation = "ReLU"},
    {.channels = 3, .dilations = {2, 1}, .batchnorm = true, .activation = json{{"type", "PReLU"}, {"negative_slopes", {0.1, -0.2, 0.3}}}},
};

TEST(ConvNet, MatchesTheNaiveReferenceAtEveryBlockSplit) {
    unsigned seed = 100;
    for (const ConvNetShape& shape : kShapes) {
        const ConvNetReference reference{shape};
        SCOPED_TRACE("channels " + std::to_string(shape.channels) + " blocks " + std::to_string(shape.dilations.size()) +
                     (shape.batchnorm ? " batchnorm" : ""));
        auto weights = nam_test::seededWeights(reference.weightCount(), ++seed);
        reference.makeBatchNormValid(weights);
        const Signal x = nam_test::seededSignal(shape.in, 3000, ++seed);
        const Signal expected = referenceAfterSilence(reference, weights, x, 4096);

        auto model = load(shape, weights);
        for (const int split : {1, 7, 64, 511, 4096}) {
            model->Reset(48000.0, 4096);
            EXPECT_LT(nam_test::maxRelativeError(stream(*model, x, nam_test::blockLengths(3000, split)), expected),
                      kTolerance)
                << "split " << split;
        }
        // Blocks longer than the size given to Reset are processed in pieces.
        model->Reset(48000.0, 100);
        EXPECT_LT(nam_test::maxRelativeError(stream(*model, x, {1, 2999}), expected), kTolerance);
    }
}

TEST(ConvNet, TheTwoSmallExamplesNeedExactlyTheirWeightCounts) {
    for (const bool batchnorm : {false, true}) {
        ConvNetShape shape;
        shape.batchnorm = batchnorm;
        const size_t count = batchnorm ? 33 : 19;
        ASSERT_EQ(ConvNetReference{shape}.weightCount(), count);
        auto weights = nam_test::seededWeights(count, 3);
        ConvNetReference{shape}.makeBatchNormValid(weights);
        // Without "groups", "in_channels" and "out_channels": one input, one output, one group.
        auto model = load(shape, weights, /*withDefaults=*/false);
        EXPECT_EQ(model->NumInputChannels(), 1);
        EXPECT_EQ(model->NumOutputChannels(), 1);
        EXPECT_EQ(model->PrewarmSamples(), 4);
        EXPECT_EQ(dynamic_cast<nam::Buffer&>(*model).GetReceptiveField(), 2);

        for (const size_t wrong : {count - 1, count + 1}) {
            SCOPED_TRACE(wrong);
            try {
                load(shape, nam_test::seededWeights(wrong, 3));
                ADD_FAILURE() << "accepted " << wrong << " weights";
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "Didn't touch all the weights when initializing ConvNet");
            }
        }
    }
}

TEST(ConvNet, BadConfigurationsAreRefused) {
    const std::vector<std::pair<std::string, std::function<void(json&)>>> cases = {
        {"no channels", [](json& c) { c.erase("channels"); }},
        {"no dilations", [](json& c) { c.erase("dilations"); }},
        {"no batchnorm", [](json& c) { c.erase("batchnorm"); }},
        {"no activation", [](json& c) { c.erase("activation"); }},
        {"batchnorm not a boolean", [](json& c) { c["batchnorm"] = 1; }},
        {"empty dilations", [](json& c) { c["dilations"] = json::array(); }},
        {"negative dilation", [](json& c) { c["dilations"] = {1, -2}; }},
        {"fractional huge dilation", [](json& c) { c["dilations"] = {1, 1e12}; }},
        {"zero groups", [](json& c) { c["groups"] = 0; }},
        {"groups not dividing", [](json& c) { c["groups"] = 3; }},
        {"zero channels", [](json& c) { c["channels"] = 0; }},
        {"unknown activation", [](json& c) { c["activation"] = "Tanhh"; }},
        {"PReLU slopes for 3 channels", [](json& c) { c["activation"] = {{"type", "PReLU"}, {"negative_slopes", {0.1, 0.2, 0.3}}}; }},
    };
    for (const auto& [name, edit] : cases) {
        SCOPED_TRACE(name);
        json config = convNetConfig(ConvNetShape{});
        edit(config);
        EXPECT_ANY_THROW(nam::get_dsp(convNetFile(config, nam_test::seededWeights(19, 1))));
    }
    // A per-channel activation with one slope per channel is fine.
    json config = convNetConfig(ConvNetShape{});
    config["activation"] = {{"type", "PReLU"}, {"negative_slopes", {0.1, 0.2}}};
    EXPECT_NO_THROW(nam::get_dsp(convNetFile(config, nam_test::seededWeights(19, 1))));
}

TEST(ConvNet, BatchNormFoldsAndRefusesNonFiniteScales) {
    // mean 1, variance 0, weight 2, bias 0.5, epsilon 1e-5: scale = 2 / sqrt(1e-5).
    std::vector<float> record = {1.0f, 0.0f, 2.0f, 0.5f, 1e-5f};
    nam::weights_it it = record.cbegin();
    const nam::convnet::BatchNorm norm(1, it);
    EXPECT_EQ(it, record.cend());
    EXPECT_FLOAT_EQ(norm.scale()(0), 2.0f / std::sqrt(1e-5f));
    EXPECT_FLOAT_EQ(norm.loc()(0), 0.5f - norm.scale()(0));

    for (const auto& [variance, epsilon] : {std::pair{0.0f, 0.0f}, {-1.0f, 0.5f}, {0.0f, -1e-5f}}) {
        SCOPED_TRACE(variance);
        std::vector<float> bad = {1.0f, variance, 2.0f, 0.5f, epsilon};
        nam::weights_it bit = bad.cbegin();
        EXPECT_THROW(nam::convnet::BatchNorm(1, bit), std::runtime_error);
    }
    // Through the loader: the first block's first variance made negative beyond epsilon.
    ConvNetShape shape;
    shape.batchnorm = true;
    auto weights = nam_test::seededWeights(33, 9);
    ConvNetReference{shape}.makeBatchNormValid(weights);
    weights[4 + 2] = -1.0f;  // after the 4 taps and the first mean of block 0
    EXPECT_THROW(load(shape, weights), std::runtime_error);
}

TEST(ConvNet, ProcessingAllocatesNothingInSteadyState) {
    ConvNetShape shape{.channels = 16, .dilations = {1, 2, 4, 8, 16, 32, 64, 128}, .batchnorm = true};
    auto weights = nam_test::seededWeights(ConvNetReference{shape}.weightCount(), 5);
    ConvNetReference{shape}.makeBatchNormValid(weights);
    auto model = load(shape, weights);
    model->Reset(48000.0, 4096);
    std::vector<double> in(8192, 0.25), out(8192);
    double* inPtr = in.data();
    double* outPtr = out.data();
    tolvane::test::AllocationCounter counter;
    for (const int n : {32, 1, 511, 4096, 8192, 64})  // 8192: two pieces of the reset size
        model->process(&inPtr, &outPtr, n);
    EXPECT_EQ(counter.allocations(), 0u);
}

// Nothing in a mono ConvNet grows with the block size it is sized for.
TEST(ConvNet, MonoModelsHoldTheSameMemoryForAnyBlockSize) {
    const ConvNetShape shape{.channels = 64, .dilations = {1, 2}, .activation = "Hardtanh"};
    auto model = load(shape, nam_test::seededWeights(ConvNetReference{shape}.weightCount(), 7));
    model->Reset(48000.0, 64);
    const std::size_t sizedForShortBlocks = tolvane::test::heapInUse();
    model->Reset(48000.0, 65536);
    EXPECT_LE(tolvane::test::heapInUse(), sizedForShortBlocks + 1024);
}

TEST(ConvNet, RunsThroughThePlayerWithoutAllocating) {
    ConvNetShape shape{.channels = 8, .dilations = {1, 2, 4, 8}};
    nam_test::TempDir dir;
    const auto path = dir.write("convnet.nam", convNetFile(convNetConfig(shape), nam_test::seededWeights(ConvNetReference{shape}.weightCount(), 6)));
    NAMPlayer player;
    ASSERT_TRUE(player.loadModelAtPath(path.string()));
    player.resetWithSampleRate(48000.0, 512);
    std::vector<float> block(512, 0.1f);
    tolvane::test::AllocationCounter counter;
    for (const int n : {512, 17, 256}) EXPECT_TRUE(player.processBuffer(block.data(), n));
    EXPECT_EQ(counter.allocations(), 0u);
}

}  // namespace
