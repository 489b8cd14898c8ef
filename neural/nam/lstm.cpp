#include "neural/nam/lstm.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "neural/nam/activations.h"
#include "neural/nam/config_values.h"
#include "neural/nam/limits.h"
#include "neural/nam/registry.h"

namespace nam::lstm {
namespace {

const ConfigParserRegistrar registrar{"LSTM", create_config};

// Layers are paid for by the weights (at least 10 floats each); the cap only keeps the count
// arithmetic and the layer list in sane bounds before the weight check.
constexpr int64_t kMaxLayers = 1 << 16;

// Floats one layer of input size I and hidden size H consumes.
int64_t layer_weight_count(int64_t input_size, int64_t hidden_size) {
    using config::checked_add;
    using config::checked_mul;
    const int64_t gates = checked_mul(4, hidden_size);
    return checked_add(checked_mul(gates, checked_add(input_size, hidden_size + 1)), checked_mul(2, hidden_size));
}

void check_weight_count(int in_channels, int out_channels, int num_layers, int input_size, int hidden_size,
                        size_t weight_count) {
    using config::checked_add;
    using config::checked_mul;
    if (num_layers < 0 || input_size < 1 || hidden_size < 1)
        throw std::runtime_error("LSTM sizes must be positive (num_layers " + std::to_string(num_layers) +
                                 ", input_size " + std::to_string(input_size) + ", hidden_size " +
                                 std::to_string(hidden_size) + ")");
    config::check_limit(num_layers, kMaxLayers, "LSTM layer count");
    config::check_limit(std::max(input_size, hidden_size), limits::kMaxChannels, "LSTM size");
    if (in_channels > input_size)
        throw std::runtime_error("LSTM in_channels (" + std::to_string(in_channels) + ") exceeds input_size (" +
                                 std::to_string(input_size) + ")");
    int64_t expected = checked_mul(out_channels, hidden_size + 1);
    if (num_layers > 0) {
        expected = checked_add(expected, layer_weight_count(input_size, hidden_size));
        expected = checked_add(expected, checked_mul(num_layers - 1, layer_weight_count(hidden_size, hidden_size)));
    }
    if (expected != static_cast<int64_t>(weight_count))
        throw std::runtime_error("LSTM weights: expected " + std::to_string(expected) + " values for this "
                                 "configuration, the model has " + std::to_string(weight_count));
}

// The rational tanh approximation of the fast activation, for when the fast switch is on.
float fast_tanh(float x) {
    const float ax = std::fabs(x);
    const float x2 = x * x;
    const float numerator = x * (2.4555075f + 2.4555075f * ax + (0.89322984f + 0.82122666f * ax) * x2);
    const float denominator = 2.4450665f + std::fabs(x + 0.8146427f * x * ax) * (2.4450665f + x2);
    return numerator / denominator;
}

float fast_sigmoid(float v) { return 0.5f * (fast_tanh(0.5f * v) + 1.0f); }

// The gate and cell update with the fast forms, one value at a time.
void update_state_fast(const Eigen::VectorXf& ifgo, Eigen::VectorXf& c, float* h, int hidden) {
    for (int j = 0; j < hidden; ++j)
        c(j) = fast_sigmoid(ifgo(hidden + j)) * c(j) + fast_sigmoid(ifgo(j)) * fast_tanh(ifgo(2 * hidden + j));
    for (int j = 0; j < hidden; ++j) h[j] = fast_sigmoid(ifgo(3 * hidden + j)) * fast_tanh(c(j));
}

// 1 / (1 + exp(-v)) over a whole gate block at once.
template <typename Block>
void sigmoid_in_place(Block&& v) {
    v = (1.0f + (-v).exp()).inverse();
}

// The gate and cell update with the exact functions, vectorised over the gate blocks (the
// transcendental functions dominate a step's cost). The gate vector is overwritten.
void update_state_exact(Eigen::VectorXf& ifgo, Eigen::VectorXf& c, float* h, int hidden) {
    auto gates = ifgo.array();
    sigmoid_in_place(gates.head(2 * hidden));  // input and forget gates
    gates.segment(2 * hidden, hidden) = gates.segment(2 * hidden, hidden).tanh();
    sigmoid_in_place(gates.tail(hidden));  // output gate
    auto cell = c.array();
    cell = gates.segment(hidden, hidden) * cell + gates.head(hidden) * gates.segment(2 * hidden, hidden);
    Eigen::Map<Eigen::ArrayXf>(h, hidden) = gates.tail(hidden) * cell.tanh();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// LSTMCell

LSTMCell::LSTMCell(int input_size, int hidden_size, weights_it& weights)
    : _w(4 * hidden_size, input_size + hidden_size),
      _b(4 * hidden_size),
      _xh(Eigen::VectorXf::Zero(input_size + hidden_size)),
      _ifgo(Eigen::VectorXf::Zero(4 * hidden_size)),
      _c(hidden_size),
      _input_size(input_size),
      _hidden_size(hidden_size) {
    for (Eigen::Index row = 0; row < _w.rows(); ++row)
        for (Eigen::Index col = 0; col < _w.cols(); ++col) _w(row, col) = *(weights++);
    for (Eigen::Index i = 0; i < _b.size(); ++i) _b(i) = *(weights++);
    for (int j = 0; j < hidden_size; ++j) _xh(input_size + j) = *(weights++);
    for (int j = 0; j < hidden_size; ++j) _c(j) = *(weights++);
}

void LSTMCell::process_(const Eigen::Ref<const Eigen::VectorXf>& x) {
    _xh.head(_input_size) = x;
    _ifgo = _b;
    _ifgo.noalias() += _w * _xh;
    float* h = _xh.data() + _input_size;
    if (activations::Activation::using_fast_tanh)
        update_state_fast(_ifgo, _c, h, _hidden_size);
    else
        update_state_exact(_ifgo, _c, h, _hidden_size);
}

// ---------------------------------------------------------------------------------------------
// LSTM

LSTM::LSTM(int in_channels_, int out_channels_, int num_layers, int input_size, int hidden_size,
           const std::vector<float>& weights, double expected_sample_rate)
    : DSP(in_channels_, out_channels_, expected_sample_rate) {
    check_weight_count(in_channels, out_channels, num_layers, input_size, hidden_size, weights.size());
    _input.setZero(input_size);
    _output.setZero(out_channels);
    weights_it it = weights.begin();
    _layers.reserve(static_cast<size_t>(num_layers));
    for (int l = 0; l < num_layers; ++l) _layers.emplace_back(l == 0 ? input_size : hidden_size, hidden_size, it);
    _head_weight.resize(out_channels, hidden_size);
    for (int o = 0; o < out_channels; ++o)
        for (int j = 0; j < hidden_size; ++j) _head_weight(o, j) = *(it++);
    _head_bias.resize(out_channels);
    for (int o = 0; o < out_channels; ++o) _head_bias(o) = *(it++);
}

int LSTM::PrewarmSamples() {
    // Compare in double before converting: a rate past the int range must not reach the cast.
    const double samples = std::trunc(0.5 * std::min(mExpectedSampleRate, kMaxPrewarmSampleRate));
    return samples >= 1.0 ? static_cast<int>(samples) : 1;  // NaN and rates below 2 Hz give 1
}

void LSTM::_process_sample() {
    if (_layers.empty()) {
        const int copied = std::min(in_channels, out_channels);
        _output.head(copied) = _input.head(copied);
        _output.tail(out_channels - copied).setZero();
        return;
    }
    _layers.front().process_(_input);
    for (size_t l = 1; l < _layers.size(); ++l) _layers[l].process_(_layers[l - 1].get_hidden_state());
    _output = _head_bias;
    _output.noalias() += _head_weight * _layers.back().get_hidden_state();
}

void LSTM::process(double** input, double** output, int num_frames) {
    for (int t = 0; t < num_frames; ++t) {
        for (int c = 0; c < in_channels; ++c) {
            const auto sample = static_cast<float>(input[c][t]);
            _input(c) = std::isfinite(sample) ? sample : 0.0f;
        }
        _process_sample();
        for (int c = 0; c < out_channels; ++c) output[c][t] = _output(c);
    }
}

// ---------------------------------------------------------------------------------------------
// Configuration

LSTMConfig parse_config_json(const nlohmann::json& config) {
    LSTMConfig result;
    result.num_layers = static_cast<int>(config::get_int(config, "num_layers", 0, kMaxLayers));
    result.input_size = static_cast<int>(config::get_int(config, "input_size", 1, limits::kMaxChannels));
    result.hidden_size = static_cast<int>(config::get_int(config, "hidden_size", 1, limits::kMaxChannels));
    result.in_channels = config::get_channel_count(config, "in_channels", 1);
    result.out_channels = config::get_channel_count(config, "out_channels", 1);
    return result;
}

std::unique_ptr<ModelConfig> create_config(const nlohmann::json& config, double /*expected_sample_rate*/) {
    return std::make_unique<LSTMConfig>(parse_config_json(config));
}

std::unique_ptr<DSP> LSTMConfig::create(std::vector<float> weights, double expected_sample_rate) {
    return std::make_unique<LSTM>(in_channels, out_channels, num_layers, input_size, hidden_size, weights,
                                  expected_sample_rate);
}

}  // namespace nam::lstm
