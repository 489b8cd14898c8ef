// The LSTM architecture, checked against a naive double-precision LSTM that reads the flat
// weight list in the file's order and starts from the stored initial states.

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "neural/NAMPlayer.h"
#include "neural/nam/activations.h"
#include "neural/nam/get_dsp.h"
#include "neural/nam/lstm.h"
#include "tests/neural/NamArchTestSupport.h"
#include "tests/neural/NamTestSupport.h"
#include "tests/support/AllocationCounter.h"

namespace {

using nam_test::Signal;
using nlohmann::json;

struct LstmShape {
    int layers = 1, inputSize = 1, hidden = 3, in = 1, out = 1;
};

std::string describe(const LstmShape& s) {
    return std::to_string(s.layers) + " layers, input " + std::to_string(s.inputSize) + ", hidden " +
           std::to_string(s.hidden) + ", in " + std::to_string(s.in) + ", out " + std::to_string(s.out);
}

double sigmoid(double v) { return 1.0 / (1.0 + std::exp(-v)); }

// Per layer: gate weights row by row (4H rows of I input then H recurrent weights; gates i, f,
// g, o), 4H biases, H initial hidden values, H initial cell values. Then the head, row by row,
// and its biases.
struct LstmReference {
    LstmShape shape;

    size_t weightCount() const {
        size_t n = 0;
        for (int l = 0; l < shape.layers; ++l) {
            const size_t in = l == 0 ? shape.inputSize : shape.hidden;
            n += 4 * shape.hidden * (in + shape.hidden) + 4 * shape.hidden + 2 * shape.hidden;
        }
        return n + shape.out * (shape.hidden + 1);
    }

    Signal run(const std::vector<float>& w, const Signal& x) const {
        const int H = shape.hidden;
        struct Layer {
            int inputs;
            std::vector<std::vector<double>> weight;
            std::vector<double> bias, h, c;
        };
        std::vector<Layer> layers;
        size_t pos = 0;
        auto take = [&](size_t n) {
            std::vector<double> v(w.begin() + pos, w.begin() + pos + n);
            pos += n;
            return v;
        };
        for (int l = 0; l < shape.layers; ++l) {
            Layer layer;
            layer.inputs = l == 0 ? shape.inputSize : H;
            for (int row = 0; row < 4 * H; ++row) layer.weight.push_back(take(layer.inputs + H));
            layer.bias = take(4 * H);
            layer.h = take(H);
            layer.c = take(H);
            layers.push_back(layer);
        }
        std::vector<std::vector<double>> head;
        for (int o = 0; o < shape.out; ++o) head.push_back(take(H));
        const std::vector<double> headBias = take(shape.out);

        const size_t frames = x.front().size();
        Signal y(shape.out, std::vector<double>(frames));
        for (size_t t = 0; t < frames; ++t) {
            std::vector<double> input(shape.inputSize, 0.0);
            for (int c = 0; c < shape.in; ++c) input[c] = x[c][t];
            for (Layer& layer : layers) {
                std::vector<double> z(4 * H);
                for (int row = 0; row < 4 * H; ++row) {
                    double sum = layer.bias[row];
                    for (int i = 0; i < layer.inputs; ++i) sum += layer.weight[row][i] * input[i];
                    for (int j = 0; j < H; ++j) sum += layer.weight[row][layer.inputs + j] * layer.h[j];
                    z[row] = sum;
                }
                for (int j = 0; j < H; ++j) {
                    layer.c[j] = sigmoid(z[H + j]) * layer.c[j] + sigmoid(z[j]) * std::tanh(z[2 * H + j]);
                    layer.h[j] = sigmoid(z[3 * H + j]) * std::tanh(layer.c[j]);
                }
                input = layer.h;
            }
            for (int o = 0; o < shape.out; ++o) {
                double sum = headBias[o];
                if (layers.empty())
                    sum = o < shape.in ? x[o][t] : 0.0;  // no layers: the input passes through
                else
                    for (int j = 0; j < H; ++j) sum += head[o][j] * input[j];
                y[o][t] = sum;
            }
        }
        return y;
    }
};

std::unique_ptr<nam::lstm::LSTM> build(const LstmShape& s, const std::vector<float>& weights,
                                       double sampleRate = 48000.0) {
    return std::make_unique<nam::lstm::LSTM>(s.in, s.out, s.layers, s.inputSize, s.hidden, weights, sampleRate);
}

json lstmFile(const LstmShape& s, const std::vector<float>& weights) {
    return json{{"version", "0.5.4"},
                {"architecture", "LSTM"},
                {"config", {{"num_layers", s.layers}, {"input_size", s.inputSize}, {"hidden_size", s.hidden}}},
                {"weights", weights},
                {"sample_rate", 48000}};
}

// Runs x through the model in blocks of the given lengths; the result is channels x frames.
Signal stream(nam::DSP& model, Signal x, const std::vector<int>& lengths) {
    const size_t frames = x.front().size();
    Signal out(model.NumOutputChannels(), std::vector<double>(frames));
    std::vector<double*> inPtr(x.size()), outPtr(out.size());
    size_t done = 0;
    for (const int n : lengths) {
        for (size_t c = 0; c < x.size(); ++c) inPtr[c] = x[c].data() + done;
        for (size_t c = 0; c < out.size(); ++c) outPtr[c] = out[c].data() + done;
        model.process(inPtr.data(), outPtr.data(), n);
        done += n;
    }
    return out;
}

const std::vector<LstmShape> kShapes = {
    {1, 1, 3, 1, 1},   // the 70-weight example
    {2, 1, 2, 1, 1},   // the 83-weight example
    {1, 1, 16, 1, 1},  // a typical size
    {3, 3, 8, 2, 2},   // input wider than the channels: the extra inputs stay 0
    {0, 1, 4, 1, 2},   // no layers: pass-through, silent extra output
};

TEST(Lstm, MatchesTheNaiveReferenceFromTheStoredState) {
    unsigned seed = 300;
    for (const LstmShape& shape : kShapes) {
        SCOPED_TRACE(describe(shape));
        const LstmReference reference{shape};
        const auto weights = nam_test::seededWeights(reference.weightCount(), ++seed, 0.6f);
        const Signal x = nam_test::seededSignal(shape.in, 4000, ++seed);
        auto model = build(shape, weights);
        EXPECT_LT(nam_test::maxRelativeError(nam_test::toMatrix(stream(*model, x, {4000})), reference.run(weights, x)),
                  1e-5);
    }
}

TEST(Lstm, OutputIsBitIdenticalAcrossBlockSplits) {
    const LstmShape shape{2, 1, 8, 1, 1};
    const auto weights = nam_test::seededWeights(LstmReference{shape}.weightCount(), 11);
    const Signal x = nam_test::seededSignal(1, 6000, 12);
    const Signal whole = stream(*build(shape, weights), x, {4096, 1904});
    for (const int split : {1, 7, 64, 511}) {
        SCOPED_TRACE(split);
        EXPECT_EQ(stream(*build(shape, weights), x, nam_test::blockLengths(6000, split)), whole);
    }
    EXPECT_EQ(stream(*build(shape, weights), x, nam_test::irregularBlockLengths(6000, 700, 13)), whole);
}

TEST(Lstm, WeightCountsAreExact) {
    for (const auto& [shape, count] : {std::pair{LstmShape{1, 1, 3, 1, 1}, size_t{70}}, {LstmShape{2, 1, 2, 1, 1}, size_t{83}}}) {
        SCOPED_TRACE(describe(shape));
        ASSERT_EQ(LstmReference{shape}.weightCount(), count);
        EXPECT_NO_THROW(nam::get_dsp(lstmFile(shape, nam_test::seededWeights(count, 1))));
        for (const size_t wrong : {count - 1, count + 1})
            EXPECT_THROW(nam::get_dsp(lstmFile(shape, nam_test::seededWeights(wrong, 1))), std::runtime_error) << wrong;
    }
}

TEST(Lstm, OnlyAHeadBiasGivesThatConstant) {
    // Zero weights and states: c = 0.5 c + 0.5 tanh(0) stays 0, so h = 0 and y = the head bias.
    const LstmShape shape{1, 1, 3, 1, 1};
    std::vector<float> weights(70, 0.0f);
    weights.back() = 0.25f;
    const Signal y = stream(*build(shape, weights), nam_test::seededSignal(1, 500, 2), {500});
    for (const double v : y[0]) ASSERT_EQ(v, 0.25);
}

TEST(Lstm, PrewarmIsHalfASecondClampedForAbsurdRates) {
    const std::vector<std::pair<double, int>> cases = {
        {48000.0, 24000}, {44100.0, 22050}, {1.0, 1},       {-1.0, 1},      {0.0, 1},
        {3.0, 1},         {768000.0, 384000}, {1e12, 384000}, {5e9, 384000},
        {std::numeric_limits<double>::infinity(), 384000},   {std::numeric_limits<double>::quiet_NaN(), 1},
    };
    const auto weights = nam_test::seededWeights(70, 1);
    for (const auto& [rate, samples] : cases) {
        SCOPED_TRACE(rate);
        EXPECT_EQ(build(LstmShape{}, weights, rate)->PrewarmSamples(), samples);
    }
}

TEST(Lstm, NonFiniteInputEntersTheStateAsSilence) {
    const LstmShape shape{1, 1, 8, 1, 1};
    const auto weights = nam_test::seededWeights(LstmReference{shape}.weightCount(), 21);
    Signal poisoned = nam_test::seededSignal(1, 300, 22);
    Signal cleaned = poisoned;
    const double bad[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity(), 1e300};
    for (int i = 0; i < 4; ++i) {
        poisoned[0][50 + 60 * i] = bad[i];
        cleaned[0][50 + 60 * i] = 0.0;
    }
    const Signal y = stream(*build(shape, weights), poisoned, {300});
    for (const double v : y[0]) ASSERT_TRUE(std::isfinite(v));
    EXPECT_EQ(y, stream(*build(shape, weights), cleaned, {300}));
}

TEST(Lstm, BadConfigurationsAreRefused) {
    const std::vector<std::pair<std::string, std::function<void(json&)>>> cases = {
        {"no num_layers", [](json& c) { c.erase("num_layers"); }},
        {"no input_size", [](json& c) { c.erase("input_size"); }},
        {"no hidden_size", [](json& c) { c.erase("hidden_size"); }},
        {"negative hidden size", [](json& c) { c["hidden_size"] = -1; }},
        {"no layers, negative hidden size", [](json& c) { c["num_layers"] = 0; c["hidden_size"] = -1; }},
        {"negative layer count", [](json& c) { c["num_layers"] = -1; }},
        {"huge hidden size", [](json& c) { c["hidden_size"] = 1e10; }},
        {"more channels than inputs", [](json& c) { c["in_channels"] = 2; }},
        {"hidden size a string", [](json& c) { c["hidden_size"] = "3"; }},
    };
    for (const auto& [name, edit] : cases) {
        SCOPED_TRACE(name);
        json file = lstmFile(LstmShape{}, nam_test::seededWeights(70, 1));
        edit(file["config"]);
        EXPECT_ANY_THROW(nam::get_dsp(file));
    }
    EXPECT_THROW(build(LstmShape{1, 1, 3, 2, 1}, nam_test::seededWeights(70, 1)), std::runtime_error);
}

TEST(Lstm, FastTanhSwitchUsesTheApproximation) {
    const LstmShape shape{1, 1, 8, 1, 1};
    const auto weights = nam_test::seededWeights(LstmReference{shape}.weightCount(), 31);
    const Signal x = nam_test::seededSignal(1, 1000, 32);
    const Signal exact = stream(*build(shape, weights), x, {1000});
    nam::activations::Activation::enable_fast_tanh();
    const Signal fast = stream(*build(shape, weights), x, {1000});
    nam::activations::Activation::disable_fast_tanh();
    EXPECT_NE(fast, exact);
    EXPECT_LT(nam_test::maxRelativeError(nam_test::toMatrix(fast), exact), 1e-2);
    EXPECT_EQ(stream(*build(shape, weights), x, {1000}), exact);
}

TEST(Lstm, ProcessingAllocatesNothing) {
    const LstmShape shape{2, 1, 16, 1, 1};
    auto model = build(shape, nam_test::seededWeights(LstmReference{shape}.weightCount(), 41));
    std::vector<double> in(4096, 0.1), out(4096);
    double* inPtr = in.data();
    double* outPtr = out.data();
    tolvane::test::AllocationCounter counter;
    for (const int n : {1, 32, 511, 4096}) model->process(&inPtr, &outPtr, n);
    EXPECT_EQ(counter.allocations(), 0u);

    nam_test::TempDir dir;
    const auto path = dir.write("lstm.nam", lstmFile(LstmShape{}, nam_test::seededWeights(70, 42)));
    NAMPlayer player;
    ASSERT_TRUE(player.loadModelAtPath(path.string()));
    player.resetWithSampleRate(48000.0, 256);
    std::vector<float> block(256, 0.1f);
    tolvane::test::AllocationCounter playerCounter;
    for (const int n : {256, 3, 100}) EXPECT_TRUE(player.processBuffer(block.data(), n));
    EXPECT_EQ(playerCounter.allocations(), 0u);
}

}  // namespace
