#pragma once

#include <Eigen/Dense>

#include "neural/nam/conv1x1.h"
#include "neural/nam/dsp.h"

namespace nam {

// Feature-wise linear modulation: a D-row signal is scaled (and, with shift, offset) frame by
// frame by values that a 1x1 convolution computes from the Cc-row condition:
//     output = input * scale + shift,  [scale; shift] = W condition + b
//
// Life cycle: constructor, set_weights_, SetMaxBufferSize, then Process or Process_ calls with
// blocks of at most the maximum buffer size. Neither allocates. Not thread-safe.
class FiLM {
public:
    // A read-only block of frames; any block whose columns are contiguous (for example the top
    // rows of a taller matrix).
    using ConstSignal = Eigen::Ref<const Eigen::MatrixXf>;
    using Signal = Eigen::Ref<Eigen::MatrixXf>;

    // Throws the 1x1 convolution's errors when groups does not divide the channel counts.
    FiLM(int condition_dim, int input_dim, bool shift, int groups = 1);

    void SetMaxBufferSize(int max_buffer_size);
    // The convolution's weights, then its bias.
    void set_weights_(weights_it& weights) { _condition_conv.set_weights_(weights); }
    long get_num_weights() const { return _condition_conv.get_num_weights(); }

    // Writes the modulated first num_frames columns of input into GetOutput().
    void Process(const ConstSignal& input, const ConstSignal& condition, int num_frames);
    // Modulates the first num_frames columns of signal in place.
    void Process_(Signal signal, const ConstSignal& condition, int num_frames);

    // D x max buffer size; the first num_frames columns hold the last Process result.
    const Eigen::MatrixXf& GetOutput() const { return _output; }

    long get_input_dim() const { return _shift ? _condition_conv.get_out_channels() / 2 : _condition_conv.get_out_channels(); }
    long get_condition_dim() const { return _condition_conv.get_in_channels(); }
    bool has_shift() const { return _shift; }

private:
    // Runs the condition through the convolution; its output then holds scale (and shift).
    void _compute_modulation(const ConstSignal& condition, int num_frames);
    template <typename Out>
    void _modulate(Out&& output, const ConstSignal& input, int num_frames) const;

    Conv1x1 _condition_conv;
    Eigen::MatrixXf _output;
    bool _shift;
};

}  // namespace nam
