#pragma once

#include <utility>

#include <Eigen/Dense>

#include "neural/nam/block_products.h"
#include "neural/nam/dsp.h"

namespace nam {

// A grouped 1x1 convolution: per frame, out = W x in (+ bias). With G groups W is
// block-diagonal; when in == out == groups the layer is depthwise and keeps one weight per
// channel instead of a matrix.
//
// Life cycle: constructor, set_weights_, SetMaxBufferSize, then process_ calls with blocks of at
// most the maximum buffer size. Neither process_ nor process allocates once the layer is sized.
// Not thread-safe: one owner thread at a time.
class Conv1x1 {
public:
    // Throws std::runtime_error, before anything is allocated, when in_channels or out_channels
    // is not a multiple of groups, when groups < 1 or a channel count < 0, or when the shape
    // exceeds the model limits (neural/nam/limits.h).
    Conv1x1(int in_channels, int out_channels, bool bias, int groups = 1);

    // Reads get_num_weights() floats and advances the iterator past them: general form, for each
    // group, output row in the group, input column in the group; depthwise form, one weight per
    // channel. Then the bias when the flag is set. The caller checks that enough are left.
    void set_weights_(weights_it& weights);

    // Resizes the output to out_channels x max_buffer_size (contents not cleared). Throws
    // std::invalid_argument when the size is negative or exceeds the model limits.
    void SetMaxBufferSize(int max_buffer_size);

    // Writes the result for the first num_frames columns of input (in_channels rows; any block
    // whose columns are contiguous) into the first num_frames columns of GetOutput().
    // Requires num_frames <= GetOutput().cols().
    void process_(const Eigen::Ref<const Eigen::MatrixXf>& input, int num_frames);

    // The same result, returned as a view of GetOutput() that stays valid until the next call.
    // Grows the output (allocating) only when num_frames exceeds the size it was given.
    ConstColumns process(const Eigen::Ref<const Eigen::MatrixXf>& input, int num_frames);

    // out_channels x max buffer size; the first num_frames columns hold the last result. The
    // owner may modify them in place before the next call.
    Eigen::MatrixXf& GetOutput() { return _output; }
    const Eigen::MatrixXf& GetOutput() const { return _output; }
    ConstColumns GetOutput(int num_frames) const { return std::as_const(_output).leftCols(num_frames); }

    long get_in_channels() const { return _in_channels; }
    long get_out_channels() const { return _out_channels; }
    int get_groups() const { return _num_groups; }
    bool is_depthwise() const { return _is_depthwise; }
    bool has_bias() const { return _do_bias; }
    // Floats that set_weights_ consumes.
    long get_num_weights() const;

private:
    Eigen::MatrixXf _weight;            // general form: out x in; 0 x 0 when depthwise
    Eigen::VectorXf _depthwise_weight;  // depthwise form: one weight per channel
    bool _is_depthwise = false;
    int _channels = 0;  // depthwise channel count; 0 in the general form
    Eigen::VectorXf _bias;
    int _num_groups = 1;
    Eigen::MatrixXf _output;
    bool _do_bias = false;
    int _in_channels = 0;
    int _out_channels = 0;
};

}  // namespace nam
