#include "neural/nam/conv1d.h"

#include <cassert>
#include <stdexcept>
#include <string>

#include "neural/nam/config_values.h"
#include "neural/nam/conv_shape.h"
#include "neural/nam/limits.h"

namespace nam {

void Conv1D::set_size_(int in_channels, int out_channels, int kernel_size, bool do_bias, int dilation, int groups) {
    conv_shape::check_groups(in_channels, out_channels, groups);
    if (kernel_size < 1)
        throw std::runtime_error("kernel_size (" + std::to_string(kernel_size) + ") must be at least 1");
    if (dilation < 0) throw std::runtime_error("dilation (" + std::to_string(dilation) + ") must not be negative");
    const int64_t lookback = config::checked_mul(kernel_size - 1, dilation);
    config::check_limit(lookback, limits::kMaxLookback, "Convolution lookback");
    config::check_limit(config::checked_mul(lookback, in_channels), limits::kMaxStateValues,
                        "Convolution history size");
    const bool depthwise = in_channels == out_channels && in_channels == groups;
    const int64_t per_tap = depthwise ? in_channels : config::checked_mul(in_channels, out_channels);
    config::check_limit(config::checked_mul(per_tap, kernel_size), limits::kMaxStateValues,
                        "Convolution weight storage");

    _dilation = dilation;
    _num_groups = groups;
    _kernel_size = kernel_size;
    _in_channels = in_channels;
    _out_channels = out_channels;
    _is_depthwise = depthwise;
    if (depthwise) {
        _channels = in_channels;
        _weight.clear();
        _depthwise_weight.assign(kernel_size, Eigen::VectorXf::Zero(_channels));
    } else {
        _channels = 0;
        _depthwise_weight.clear();
        _weight.assign(kernel_size, Eigen::MatrixXf::Zero(out_channels, in_channels));
    }
    if (do_bias)
        _bias.setZero(out_channels);
    else
        _bias.resize(0);
}

void Conv1D::set_weights_(weights_it& weights) {
    if (_is_depthwise) {
        for (int c = 0; c < _channels; ++c)
            for (int k = 0; k < _kernel_size; ++k) _depthwise_weight[k](c) = *(weights++);
    } else {
        const int out_per_group = _out_channels / _num_groups;
        const int in_per_group = _in_channels / _num_groups;
        for (int g = 0; g < _num_groups; ++g)
            for (int o = 0; o < out_per_group; ++o)
                for (int i = 0; i < in_per_group; ++i)
                    for (int k = 0; k < _kernel_size; ++k)
                        _weight[k](g * out_per_group + o, g * in_per_group + i) = *(weights++);
    }
    for (Eigen::Index o = 0; o < _bias.size(); ++o) _bias(o) = *(weights++);
}

void Conv1D::set_size_and_weights_(int in_channels, int out_channels, int kernel_size, int dilation, bool do_bias,
                                   int groups, weights_it& weights) {
    set_size_(in_channels, out_channels, kernel_size, do_bias, dilation, groups);
    set_weights_(weights);
}

long Conv1D::get_num_weights() const {
    const long taps = _is_depthwise ? static_cast<long>(_channels) * _kernel_size
                                    : static_cast<long>(_kernel_size) * _out_channels * _in_channels / _num_groups;
    return taps + static_cast<long>(_bias.size());
}

float Conv1D::get_tap_weight(int k, int out, int in) const {
    if (_is_depthwise) return out == in ? _depthwise_weight[k](out) : 0.0f;
    return _weight[k](out, in);
}

void Conv1D::SetMaxBufferSize(int max_buffer_size) {
    if (max_buffer_size < 0)
        throw std::invalid_argument("Max buffer size (" + std::to_string(max_buffer_size) + ") must not be negative");
    const int64_t history = config::checked_mul(max_buffer_size + 2 * get_lookback(), _in_channels);
    const int64_t output = config::checked_mul(max_buffer_size, _out_channels);
    if (history > limits::kMaxStateValues || output > limits::kMaxStateValues)
        throw std::invalid_argument("Max buffer size (" + std::to_string(max_buffer_size) +
                                    ") is out of range for this convolution");
    _max_buffer_size = max_buffer_size;
    _input_buffer.SetMaxLookback(get_lookback());
    _input_buffer.Reset(_in_channels, max_buffer_size);
    _output.setZero(_out_channels, max_buffer_size);
}

template <typename Out, typename In>
void Conv1D::_add_tap(Out&& out, int k, const In& frames) const {
    if (_is_depthwise)
        out.array() += frames.array().colwise() * _depthwise_weight[k].array();
    else
        add_product(out, _weight[k], frames);
}

void Conv1D::Process(const Eigen::Ref<const Eigen::MatrixXf>& input, int num_frames) {
    assert(num_frames >= 0 && num_frames <= _max_buffer_size && "num_frames <= max buffer size");
    _input_buffer.Write(input, num_frames);
    auto out = _output.leftCols(num_frames);
    out.setZero();
    for (int k = 0; k < _kernel_size; ++k) {
        const int64_t lookback = static_cast<int64_t>(_kernel_size - 1 - k) * _dilation;
        _add_tap(out, k, _input_buffer.Read(num_frames, lookback));
    }
    if (_bias.size() > 0) out.colwise() += _bias;
    _input_buffer.Advance(num_frames);
}

void Conv1D::process_(const Eigen::Ref<const Eigen::MatrixXf>& input, Eigen::Ref<Eigen::MatrixXf> output,
                      long i_start, long ncols, long j_start) const {
    assert(i_start >= get_lookback() && "i_start must cover the look-back");
    auto out = output.middleCols(j_start, ncols);
    out.setZero();
    for (int k = 0; k < _kernel_size; ++k) {
        const int64_t lookback = static_cast<int64_t>(_kernel_size - 1 - k) * _dilation;
        _add_tap(out, k, input.middleCols(i_start - lookback, ncols));
    }
    if (_bias.size() > 0) out.colwise() += _bias;
}

}  // namespace nam
