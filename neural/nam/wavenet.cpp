#include "neural/nam/wavenet.h"

#include <algorithm>
#include <cassert>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "neural/nam/config_values.h"
#include "neural/nam/limits.h"

namespace nam::wavenet {
namespace {

// Floats of layer state (convolution histories and per-block buffers) a whole model may hold.
// None of it is paid for by the file's weights, so a small file must not be able to ask for more.
constexpr int64_t kMaxModelStateValues = 4 * limits::kMaxStateValues;

std::string number(int64_t value) { return std::to_string(value); }

// The model's output channels: the last array's head size. An empty list is refused first.
int last_head_size(const std::vector<LayerArrayParams>& params) {
    if (params.empty()) throw std::runtime_error("WaveNet requires at least one layer array");
    return params.back().head_size;
}

void check_condition_inputs(const DSP* condition_dsp, int in_channels) {
    if (condition_dsp && condition_dsp->NumInputChannels() != in_channels)
        throw std::runtime_error("input channels of WaveNet (" + number(in_channels) +
                                 ") don't match input channels of condition DSP (" +
                                 number(condition_dsp->NumInputChannels()) + "!\n");
}

void check_condition_outputs(const DSP* condition_dsp, const LayerArrayParams& params, size_t index) {
    if (condition_dsp && condition_dsp->NumOutputChannels() != params.condition_size)
        throw std::runtime_error("condition_size of layer " + number(static_cast<int64_t>(index)) + " (" +
                                 number(params.condition_size) + ") doesn't match output channels of condition DSP (" +
                                 number(condition_dsp->NumOutputChannels()) + "!\n");
}

void check_weight_count(int64_t expected, size_t provided) {
    const auto count = static_cast<int64_t>(provided);
    if (count < expected)
        throw std::runtime_error("Weight mismatch: provided " + number(count) + " weights, but the model expects more.");
    if (count > expected)
        throw std::runtime_error("Weight mismatch: assigned " + number(expected) + " weights, but " + number(count) +
                                 " were provided.");
}

int saturate_to_int(int64_t value) {
    return static_cast<int>(std::min<int64_t>(value, std::numeric_limits<int>::max()));
}

}  // namespace

WaveNet::WaveNet(int in_channels_, const std::vector<LayerArrayParams>& layer_array_params, float head_scale,
                 bool with_head, std::vector<float> weights, std::unique_ptr<DSP> condition_dsp,
                 double expected_sample_rate)
    : DSP(in_channels_, last_head_size(layer_array_params), expected_sample_rate),
      _condition_dsp(std::move(condition_dsp)),
      _head_scale(head_scale) {
    check_condition_inputs(_condition_dsp.get(), in_channels);
    if (with_head) throw std::runtime_error("Head not implemented!");
    _check_configuration(layer_array_params, weights.size());

    _layer_arrays.reserve(layer_array_params.size());
    for (const LayerArrayParams& params : layer_array_params) _layer_arrays.emplace_back(params);
    set_weights_(weights);

    int64_t prewarm = _condition_dsp ? _condition_dsp->PrewarmSamples() : 1;
    for (const _LayerArray& array : _layer_arrays) prewarm += array.get_receptive_field();
    _prewarm_samples = saturate_to_int(prewarm);
    _slice_inputs.resize(static_cast<size_t>(in_channels));
}

// Everything the arrays' constructors would refuse, the sizes that must chain from one array to
// the next, the size limits and the weight count: all before anything is allocated.
void WaveNet::_check_configuration(const std::vector<LayerArrayParams>& params, size_t weight_count) const {
    int64_t expected_weights = 1;  // the head scale
    int64_t receptive_field = 0;
    int64_t state = 0;
    for (size_t i = 0; i < params.size(); ++i) {
        check_condition_outputs(_condition_dsp.get(), params[i], i);
        _LayerArray::check(params[i]);
        if (i > 0 && params[i].channels != params[i - 1].head_size)
            throw std::runtime_error("channels of layer " + number(static_cast<int64_t>(i)) + " (" +
                                     number(params[i].channels) + ") doesn't match head_size of preceding layer (" +
                                     number(params[i - 1].head_size) + "!\n");
        _check_chaining(params, i);
        expected_weights = config::checked_add(expected_weights, _LayerArray::weight_count(params[i]));
        receptive_field = config::checked_add(receptive_field, _LayerArray::receptive_field(params[i]));
        state = config::checked_add(state, _LayerArray::state_values(params[i], kMaxProcessingBlock));
    }
    config::check_limit(receptive_field, limits::kMaxLookback, "WaveNet receptive field");
    config::check_limit(state, kMaxModelStateValues, "WaveNet layer state");
    check_weight_count(expected_weights, weight_count);
}

// Each array reads what the one before it produced: its input rows, and the head sum it
// continues. Without a conditioning model every layer's condition is the model input.
void WaveNet::_check_chaining(const std::vector<LayerArrayParams>& params, size_t index) const {
    const LayerArrayParams& p = params[index];
    const std::string layer = "layer " + number(static_cast<int64_t>(index));
    if (index == 0 && p.input_size != in_channels)
        throw std::runtime_error("input_size of " + layer + " (" + number(p.input_size) +
                                 ") doesn't match input channels of WaveNet (" + number(in_channels) + ")");
    if (index > 0 && p.input_size != params[index - 1].channels)
        throw std::runtime_error("input_size of " + layer + " (" + number(p.input_size) +
                                 ") doesn't match channels of preceding layer (" + number(params[index - 1].channels) +
                                 ")");
    if (index > 0 && _LayerArray::head_rows(p) != params[index - 1].head_size)
        throw std::runtime_error("head sum rows of " + layer + " (" + number(_LayerArray::head_rows(p)) +
                                 ") don't match head_size of preceding layer (" + number(params[index - 1].head_size) +
                                 ")");
    if (!_condition_dsp && p.condition_size != in_channels)
        throw std::runtime_error("condition_size of " + layer + " (" + number(p.condition_size) +
                                 ") doesn't match input channels of WaveNet (" + number(in_channels) + ")");
}

void WaveNet::set_weights_(std::vector<float>& weights) {
    int64_t expected = 1;
    for (const _LayerArray& array : _layer_arrays) expected += array.get_num_weights();
    check_weight_count(expected, weights.size());
    weights_it it = weights.cbegin();
    for (_LayerArray& array : _layer_arrays) array.set_weights_(it);
    _head_scale = *it++;
    assert(it == weights.cend() && "every weight is consumed");
}

void WaveNet::SetMaxBufferSize(int max_buffer_size) {
    DSP::SetMaxBufferSize(max_buffer_size);
    // The layers work in slices of at most kMaxProcessingBlock frames, which bounds their
    // buffers whatever block size the host uses.
    const int frames = std::clamp(max_buffer_size, 1, kMaxProcessingBlock);
    const int condition_dim = _get_condition_dim();
    _condition_input.setZero(condition_dim, frames);
    if (_condition_dsp) {
        _condition_dsp->SetMaxBufferSize(frames);
        const int condition_channels = _condition_dsp->NumOutputChannels();
        _condition_output.setZero(condition_channels, frames);
        _condition_dsp_input_buffers.assign(condition_dim, std::vector<double>(frames, 0.0));
        _condition_dsp_output_buffers.assign(condition_channels, std::vector<double>(frames, 0.0));
        _condition_dsp_input_pointers.clear();
        _condition_dsp_output_pointers.clear();
        for (auto& buffer : _condition_dsp_input_buffers) _condition_dsp_input_pointers.push_back(buffer.data());
        for (auto& buffer : _condition_dsp_output_buffers) _condition_dsp_output_pointers.push_back(buffer.data());
    } else {
        _condition_output.resize(0, 0);  // the condition is the input itself
    }
    for (_LayerArray& array : _layer_arrays) array.SetMaxBufferSize(frames);
}

void WaveNet::process(double** input, double** output, int num_frames) {
    const int slice = GetProcessingBlockSize();
    if (slice == 0) {  // never sized: there is nothing to run the layers in
        for (int c = 0; c < out_channels; ++c) std::fill(output[c], output[c] + std::max(num_frames, 0), 0.0);
        return;
    }
    for (int offset = 0; offset < num_frames; offset += slice)
        _process_slice(input, output, offset, std::min(slice, num_frames - offset));
}

void WaveNet::_process_slice(double** input, double** output, int offset, int n) {
    for (int c = 0; c < in_channels; ++c) _slice_inputs[c] = input[c] + offset;
    _set_condition_array(_slice_inputs.data(), n);
    _process_condition(n);

    const Eigen::MatrixXf& condition = _condition();
    _layer_arrays.front().Process(_condition_input, condition, n);
    for (size_t i = 1; i < _layer_arrays.size(); ++i) {
        const _LayerArray& previous = _layer_arrays[i - 1];
        _layer_arrays[i].Process(previous.GetLayerOutputs(), condition, previous.GetHeadOutputs(), n);
    }

    const Eigen::MatrixXf& head = std::as_const(_layer_arrays.back()).GetHeadOutputs();
    assert(head.rows() == out_channels && "final_head_outputs.rows() == out_channels");
    for (int c = 0; c < out_channels; ++c) {
        double* out = output[c] + offset;
        for (int j = 0; j < n; ++j) out[j] = static_cast<double>(_head_scale * head(c, j));
    }
}

void WaveNet::_set_condition_array(double** input, int num_frames) {
    for (int c = 0; c < in_channels; ++c)
        for (int j = 0; j < num_frames; ++j) _condition_input(c, j) = static_cast<float>(input[c][j]);
}

void WaveNet::_process_condition(int num_frames) {
    if (!_condition_dsp) return;
    for (size_t c = 0; c < _condition_dsp_input_buffers.size(); ++c)
        for (int j = 0; j < num_frames; ++j) _condition_dsp_input_buffers[c][j] = _condition_input(c, j);
    _condition_dsp->process(_condition_dsp_input_pointers.data(), _condition_dsp_output_pointers.data(), num_frames);
    for (size_t c = 0; c < _condition_dsp_output_buffers.size(); ++c)
        for (int j = 0; j < num_frames; ++j)
            _condition_output(c, j) = static_cast<float>(_condition_dsp_output_buffers[c][j]);
}

}  // namespace nam::wavenet
