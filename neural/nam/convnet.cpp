#include "neural/nam/convnet.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>

#include "neural/nam/config_values.h"
#include "neural/nam/conv_shape.h"
#include "neural/nam/limits.h"
#include "neural/nam/registry.h"

namespace nam::convnet {
namespace {

constexpr int kKernelSize = 2;
const char* const kWeightCountMessage = "Didn't touch all the weights when initializing ConvNet";

const ConfigParserRegistrar registrar{"ConvNet", create_config};

// Floats one block consumes: taps, then either its bias or the batch-norm record.
int64_t block_weight_count(int in_channels, int channels, bool batchnorm, int groups) {
    const int64_t taps = config::checked_mul(config::checked_mul(kKernelSize, channels), in_channels) / groups;
    const int64_t tail = batchnorm ? config::checked_add(config::checked_mul(4, channels), 1) : channels;
    return config::checked_add(taps, tail);
}

// Validates everything that sizes the model, before anything is allocated, and returns the
// largest dilation (the receptive field of the input history).
int checked_receptive_field(int in_channels, int out_channels, int channels, const std::vector<int>& dilations,
                            bool batchnorm, int groups, size_t weight_count) {
    if (in_channels < 1 || out_channels < 1 || channels < 1)
        throw std::runtime_error("Channel counts must be positive");
    if (dilations.empty()) throw std::runtime_error("ConvNet needs at least one dilation");
    conv_shape::check_groups(in_channels, channels, groups);
    conv_shape::check_groups(channels, channels, groups);
    config::check_limit(std::max(in_channels, out_channels), limits::kMaxChannels, "Channel count");

    int64_t expected = 0;
    int64_t dilation_sum = 0;
    for (size_t i = 0; i < dilations.size(); ++i) {
        if (dilations[i] < 0)
            throw std::runtime_error("dilation (" + std::to_string(dilations[i]) + ") must not be negative");
        dilation_sum = config::checked_add(dilation_sum, dilations[i]);
        const int block_in = i == 0 ? in_channels : channels;
        expected = config::checked_add(expected, block_weight_count(block_in, channels, batchnorm, groups));
    }
    config::check_limit(dilation_sum, limits::kMaxLookback, "Sum of dilations");
    expected = config::checked_add(expected, config::checked_mul(out_channels, config::checked_add(channels, 1)));
    if (expected != static_cast<int64_t>(weight_count)) throw std::runtime_error(kWeightCountMessage);
    return *std::max_element(dilations.begin(), dilations.end());
}

// A per-channel activation must have one slope, or exactly one per channel: any other count
// would mis-map channels or throw on the audio thread.
void check_activation_channels(const activations::Activation& activation, long channels) {
    const auto* prelu = dynamic_cast<const activations::ActivationPReLU*>(&activation);
    if (prelu == nullptr) return;
    const auto slopes = static_cast<long>(prelu->negative_slopes().size());
    if (slopes != 1 && slopes != channels)
        throw std::runtime_error("PReLU has " + std::to_string(slopes) + " slopes for " + std::to_string(channels) +
                                 " channels");
}

std::vector<int> parse_dilations(const nlohmann::json& config) {
    const nlohmann::json& list = config.at("dilations");
    if (!list.is_array()) throw std::runtime_error("Config value \"dilations\" must be an array of integers");
    std::vector<int> dilations;
    dilations.reserve(list.size());
    for (const auto& value : list) {
        const nlohmann::json entry = {{"dilations", value}};
        dilations.push_back(static_cast<int>(config::get_int(entry, "dilations", 0, limits::kMaxLookback)));
    }
    return dilations;
}

int required_channel_count(const nlohmann::json& config, const std::string& key) {
    (void)config.at(key);  // the JSON library's error for a missing key
    return config::get_channel_count(config, key, 1);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// BatchNorm

BatchNorm::BatchNorm(int dim, weights_it& weights) {
    Eigen::VectorXf mean(dim), variance(dim), weight(dim), bias(dim);
    for (auto* vector : {&mean, &variance, &weight, &bias})
        for (int i = 0; i < dim; ++i) (*vector)(i) = *(weights++);
    const float epsilon = *(weights++);

    _scale.resize(dim);
    _loc.resize(dim);
    for (int i = 0; i < dim; ++i) {
        _scale(i) = weight(i) / std::sqrt(epsilon + variance(i));
        _loc(i) = bias(i) - _scale(i) * mean(i);
        if (!std::isfinite(_scale(i)) || !std::isfinite(_loc(i)))
            throw std::runtime_error("BatchNorm channel " + std::to_string(i) +
                                     " folds to a scale or offset that is not finite (epsilon + variance must be "
                                     "positive)");
    }
}

void BatchNorm::process_(Eigen::Ref<Eigen::MatrixXf> x, long i_start, long i_end) const {
    auto columns = x.middleCols(i_start, i_end - i_start).array();
    columns.colwise() *= _scale.array();
    columns.colwise() += _loc.array();
}

// ---------------------------------------------------------------------------------------------
// ConvNetBlock

void ConvNetBlock::set_weights_(int in_channels, int out_channels, int dilation, bool batchnorm,
                                const activations::ActivationConfig& activation_config, int groups,
                                weights_it& weights) {
    _do_batchnorm = batchnorm;
    _conv.set_size_and_weights_(in_channels, out_channels, kKernelSize, dilation, !batchnorm, groups, weights);
    if (batchnorm) _batchnorm = BatchNorm(out_channels, weights);
    _activation = activations::Activation::get_activation(activation_config);
    check_activation_channels(*_activation, out_channels);
}

void ConvNetBlock::SetMaxBufferSize(int max_buffer_size) {
    _conv.SetMaxBufferSize(max_buffer_size);
    _output.setZero(_conv.get_out_channels(), max_buffer_size);
}

void ConvNetBlock::_normalise_and_activate(Columns block) {
    if (_do_batchnorm) _batchnorm.process_(block, 0, block.cols());
    _activation->apply(block);
}

void ConvNetBlock::Process(const Eigen::Ref<const Eigen::MatrixXf>& input, int num_frames) {
    _conv.Process(input, num_frames);
    _output.leftCols(num_frames) = _conv.GetOutput(num_frames);
    _normalise_and_activate(_output.leftCols(num_frames));
}

void ConvNetBlock::process_(const Eigen::Ref<const Eigen::MatrixXf>& input, Eigen::Ref<Eigen::MatrixXf> output,
                            long i_start, long i_end) {
    const int num_frames = static_cast<int>(i_end - i_start);
    Process(input.middleCols(i_start, num_frames), num_frames);
    output.middleCols(i_start, num_frames) = GetOutput(num_frames);
}

// ---------------------------------------------------------------------------------------------
// _Head

_Head::_Head(int in_channels, int out_channels, weights_it& weights) : _weight(out_channels, in_channels), _bias(out_channels) {
    for (int o = 0; o < out_channels; ++o)
        for (int i = 0; i < in_channels; ++i) _weight(o, i) = *(weights++);
    for (int o = 0; o < out_channels; ++o) _bias(o) = *(weights++);
}

void _Head::process_(const Eigen::Ref<const Eigen::MatrixXf>& input, Eigen::MatrixXf& output, long i_start,
                     long i_end) const {
    const long num_frames = i_end - i_start;
    if (output.rows() != _weight.rows() || output.cols() < num_frames) output.resize(_weight.rows(), num_frames);
    auto out = output.leftCols(num_frames);
    assign_product(out, _weight, input.middleCols(i_start, num_frames));
    out.colwise() += _bias;
}

// ---------------------------------------------------------------------------------------------
// ConvNet

ConvNet::ConvNet(int in_channels_, int out_channels_, int channels, const std::vector<int>& dilations, bool batchnorm,
                 const activations::ActivationConfig& activation_config, const std::vector<float>& weights,
                 double expected_sample_rate, int groups)
    : Buffer(in_channels_, out_channels_,
             checked_receptive_field(in_channels_, out_channels_, channels, dilations, batchnorm, groups,
                                     weights.size()),
             expected_sample_rate),
      _piece_input(in_channels_, nullptr),
      _piece_output(out_channels_, nullptr) {
    weights_it it = weights.begin();
    _blocks.resize(dilations.size());
    for (size_t i = 0; i < dilations.size(); ++i)
        _blocks[i].set_weights_(i == 0 ? in_channels : channels, channels, dilations[i], batchnorm,
                                activation_config, groups, it);
    _head = _Head(channels, out_channels, it);
    if (it != weights.end()) throw std::runtime_error(kWeightCountMessage);
    _prewarm_samples = 1 + std::accumulate(dilations.begin(), dilations.end(), 0);
    if (PlanarConvNet::supports(in_channels, out_channels, groups))
        _planar = std::make_unique<PlanarConvNet>(_blocks, _head);
    else
        _size_buffers(1);  // usable (one frame at a time) before the owner sizes it
}

void ConvNet::_size_buffers(int frames) {
    for (auto& block : _blocks) block.SetMaxBufferSize(frames);
    _block_input.setZero(in_channels, frames);
    _head_output.setZero(out_channels, frames);
    _capacity = frames;
}

void ConvNet::SetMaxBufferSize(int max_buffer_size) {
    if (_planar) {
        // The planar form keeps no input history of its own and never grows.
        DSP::SetMaxBufferSize(max_buffer_size);
        _planar->reset();
        return;
    }
    Buffer::SetMaxBufferSize(max_buffer_size);
    _size_buffers(std::max(1, max_buffer_size));
}

void ConvNet::process(double** input, double** output, int num_frames) {
    if (_planar) {
        _planar->process(input[0], output[0], std::max(num_frames, 0));
        return;
    }
    for (int start = 0; start < num_frames; start += _capacity) {
        const int piece = std::min(_capacity, num_frames - start);
        for (int c = 0; c < in_channels; ++c) _piece_input[c] = input[c] + start;
        for (int c = 0; c < out_channels; ++c) _piece_output[c] = output[c] + start;
        _process_piece(_piece_input.data(), _piece_output.data(), piece);
    }
}

void ConvNet::_process_piece(double** input, double** output, int num_frames) {
    _update_buffers_(input, num_frames);
    for (int c = 0; c < in_channels; ++c)
        _block_input.row(c).head(num_frames) =
            Eigen::Map<const Eigen::RowVectorXf>(_input_buffers[c].data() + _input_buffer_offset, num_frames);

    _blocks.front().Process(_block_input.leftCols(num_frames), num_frames);
    for (size_t b = 1; b < _blocks.size(); ++b) _blocks[b].Process(_blocks[b - 1].GetOutput(num_frames), num_frames);
    _head.process_(_blocks.back().GetOutput(num_frames), _head_output, 0, num_frames);

    for (int c = 0; c < out_channels; ++c)
        for (int t = 0; t < num_frames; ++t) output[c][t] = _head_output(c, t);
    _advance_input_buffer_(num_frames);
}

// ---------------------------------------------------------------------------------------------
// Configuration

ConvNetConfig parse_config_json(const nlohmann::json& config) {
    ConvNetConfig result;
    result.channels = required_channel_count(config, "channels");
    result.dilations = parse_dilations(config);
    result.batchnorm = config.at("batchnorm").get<bool>();
    result.activation = activations::ActivationConfig::from_json(config.at("activation"));
    result.groups = static_cast<int>(config::get_int(config, "groups", 1, std::numeric_limits<int>::min(),
                                                     std::numeric_limits<int>::max()));
    result.in_channels = config::get_channel_count(config, "in_channels", 1);
    result.out_channels = config::get_channel_count(config, "out_channels", 1);
    return result;
}

std::unique_ptr<ModelConfig> create_config(const nlohmann::json& config, double /*expected_sample_rate*/) {
    return std::make_unique<ConvNetConfig>(parse_config_json(config));
}

std::unique_ptr<DSP> ConvNetConfig::create(std::vector<float> weights, double expected_sample_rate) {
    return std::make_unique<ConvNet>(in_channels, out_channels, channels, dilations, batchnorm, activation, weights,
                                     expected_sample_rate, groups);
}

}  // namespace nam::convnet
