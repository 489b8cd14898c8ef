#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "neural/nam/block_products.h"
#include "neural/nam/dsp.h"
#include "neural/nam/ring_buffer.h"

namespace nam {

// A causal, dilated, grouped one-dimensional convolution over a stream of frames:
//     y[t] = bias + sum over k of W_k x[t - (K-1-k) * dilation]
// so tap K-1 meets the newest frame and tap 0 the oldest. Signals are float matrices with one
// row per channel and one column per frame (column 0 the oldest). The layer keeps its own input
// history, so it is fed one block at a time.
//
// With G groups each tap matrix is block-diagonal: output rows of group g only see input
// columns of group g. When in == out == groups the layer is depthwise and keeps one weight per
// channel and tap instead of full matrices.
//
// Life cycle: set_size_, set_weights_ (or set_size_and_weights_), SetMaxBufferSize, then any
// number of Process calls with blocks of at most the maximum buffer size. Process allocates
// nothing. Not thread-safe: one owner thread at a time.
class Conv1D {
public:
    Conv1D() = default;

    // Checks the shape and allocates zeroed weights (and bias). Throws std::runtime_error, with
    // nothing changed, when in_channels or out_channels is not a multiple of groups, when
    // groups < 1, kernel_size < 1, dilation < 0 or a channel count < 0, or when the shape
    // exceeds the model limits (neural/nam/limits.h).
    void set_size_(int in_channels, int out_channels, int kernel_size, bool do_bias, int dilation, int groups = 1);
    // Reads get_num_weights() floats and advances the iterator past them. Order: general form,
    // for each group, output row in the group, input column in the group, tap; depthwise form,
    // for each channel, tap. Then the bias, if any. The caller checks that enough are left.
    void set_weights_(weights_it& weights);
    // set_size_ then set_weights_. Note: dilation comes before the bias flag here.
    void set_size_and_weights_(int in_channels, int out_channels, int kernel_size, int dilation, bool do_bias,
                               int groups, weights_it& weights);

    // Sizes (and clears) the history and the output for blocks of up to max_buffer_size frames;
    // the frames before the next block count as silence. Throws std::invalid_argument when the
    // size is negative or the buffers would exceed the model limits.
    void SetMaxBufferSize(int max_buffer_size);

    // Convolves the first num_frames columns of input (in_channels rows) with the history,
    // writes the result into the first num_frames columns of GetOutput() and advances.
    void Process(const Eigen::Ref<const Eigen::MatrixXf>& input, int num_frames);

    // History-free form on matrices that already hold the past: output columns
    // [j_start, j_start + ncols) from input columns ending at i_start + ncols. Requires
    // i_start >= get_lookback() and both ranges in bounds.
    void process_(const Eigen::Ref<const Eigen::MatrixXf>& input, Eigen::Ref<Eigen::MatrixXf> output, long i_start,
                  long ncols, long j_start) const;

    // out_channels x max buffer size; the first num_frames columns hold the last result. The
    // owner may modify them in place before the next Process.
    Eigen::MatrixXf& GetOutput() { return _output; }
    const Eigen::MatrixXf& GetOutput() const { return _output; }
    ConstColumns GetOutput(int num_frames) const { return std::as_const(_output).leftCols(num_frames); }

    long get_kernel_size() const { return _kernel_size; }
    long get_in_channels() const { return _in_channels; }
    long get_out_channels() const { return _out_channels; }
    int get_dilation() const { return _dilation; }
    int get_groups() const { return _num_groups; }
    bool is_depthwise() const { return _is_depthwise; }
    bool has_bias() const { return _bias.size() > 0; }
    // Frames of look-back the layer needs: (K - 1) * dilation.
    int64_t get_lookback() const { return static_cast<int64_t>(_kernel_size - 1) * _dilation; }
    int get_max_buffer_size() const { return _max_buffer_size; }
    // Floats that set_weights_ consumes.
    long get_num_weights() const;
    // The weight that tap k gives input channel in for output channel out (0 across groups),
    // and the bias of output channel out (0 without a bias).
    float get_tap_weight(int k, int out, int in) const;
    float get_bias(int out) const { return _bias.size() > 0 ? _bias(out) : 0.0f; }

private:
    // Adds tap k's contribution of `frames` (in_channels rows) into `out`.
    template <typename Out, typename In>
    void _add_tap(Out&& out, int k, const In& frames) const;

    std::vector<Eigen::MatrixXf> _weight;            // general form: K matrices, out x in
    std::vector<Eigen::VectorXf> _depthwise_weight;  // depthwise form: K vectors of channels
    bool _is_depthwise = false;
    int _channels = 0;  // depthwise channel count; 0 in the general form
    Eigen::VectorXf _bias;
    int _dilation = 1;
    int _num_groups = 1;
    int _kernel_size = 0;
    int _in_channels = 0;
    int _out_channels = 0;
    RingBuffer _input_buffer;
    Eigen::MatrixXf _output;
    int _max_buffer_size = 0;
};

}  // namespace nam
