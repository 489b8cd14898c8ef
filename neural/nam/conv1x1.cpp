#include "neural/nam/conv1x1.h"

#include <cassert>
#include <stdexcept>
#include <string>

#include "neural/nam/config_values.h"
#include "neural/nam/conv_shape.h"
#include "neural/nam/limits.h"

namespace nam {

Conv1x1::Conv1x1(int in_channels, int out_channels, bool bias, int groups) {
    conv_shape::check_groups(in_channels, out_channels, groups);
    _is_depthwise = in_channels == out_channels && in_channels == groups;
    if (!_is_depthwise)
        config::check_limit(config::checked_mul(in_channels, out_channels), limits::kMaxStateValues,
                            "Convolution weight storage");
    _num_groups = groups;
    _do_bias = bias;
    _in_channels = in_channels;
    _out_channels = out_channels;
    if (_is_depthwise) {
        _channels = in_channels;
        _depthwise_weight.setZero(_channels);
    } else {
        _weight.setZero(out_channels, in_channels);
    }
    if (bias) _bias.setZero(out_channels);
}

void Conv1x1::set_weights_(weights_it& weights) {
    if (_is_depthwise) {
        for (int c = 0; c < _channels; ++c) _depthwise_weight(c) = *(weights++);
    } else {
        const int out_per_group = _out_channels / _num_groups;
        const int in_per_group = _in_channels / _num_groups;
        for (int g = 0; g < _num_groups; ++g)
            for (int o = 0; o < out_per_group; ++o)
                for (int i = 0; i < in_per_group; ++i)
                    _weight(g * out_per_group + o, g * in_per_group + i) = *(weights++);
    }
    if (_do_bias)
        for (int o = 0; o < _out_channels; ++o) _bias(o) = *(weights++);
}

long Conv1x1::get_num_weights() const {
    const long matrix = _is_depthwise ? _channels : static_cast<long>(_out_channels) * _in_channels / _num_groups;
    return matrix + (_do_bias ? _out_channels : 0);
}

void Conv1x1::SetMaxBufferSize(int max_buffer_size) {
    if (max_buffer_size < 0 ||
        config::checked_mul(max_buffer_size, _out_channels) > limits::kMaxStateValues)
        throw std::invalid_argument("Max buffer size (" + std::to_string(max_buffer_size) +
                                    ") is out of range for this convolution");
    _output.conservativeResize(_out_channels, max_buffer_size);
}

void Conv1x1::process_(const Eigen::Ref<const Eigen::MatrixXf>& input, int num_frames) {
    assert(num_frames <= _output.cols() && "num_frames <= _output.cols()");
    auto out = _output.leftCols(num_frames);
    const auto in = input.leftCols(num_frames);
    if (_is_depthwise)
        out = in.array().colwise() * _depthwise_weight.array();
    else
        assign_product(out, _weight, in);
    if (_do_bias) out.colwise() += _bias;
}

ConstColumns Conv1x1::process(const Eigen::Ref<const Eigen::MatrixXf>& input, int num_frames) {
    if (num_frames > _output.cols()) _output.conservativeResize(_out_channels, num_frames);
    process_(input, num_frames);
    return GetOutput(num_frames);
}

}  // namespace nam
