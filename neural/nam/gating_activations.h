#pragma once

#include <Eigen/Dense>

#include "neural/nam/activations.h"

// The two-input activations of gated and blended WaveNet layers. Each reads a signal of
// 2 x num_channels rows: the top half is the signal, the bottom half steers it.
namespace nam::gating_activations {

// A read-only view of a block of frames (possibly the rows of a taller matrix).
using ConstSignal = Eigen::Ref<const Eigen::MatrixXf, 0, Eigen::OuterStride<>>;
// A writable view; it may be the top rows of the very matrix that ConstSignal reads.
using Signal = Eigen::Ref<Eigen::MatrixXf, 0, Eigen::OuterStride<>>;

// Both activations work through scratch matrices of num_channels rows. A block wider than the
// scratch is taken in slices, so `apply` never allocates; SetMaxBufferSize widens the scratch
// (off the audio thread) so that a whole block is transformed per activation call.
class GatingActivation {
public:
    // Throws std::invalid_argument "GatingActivation: number of input channels must be positive".
    GatingActivation(activations::Activation::Ptr input_activation, activations::Activation::Ptr gating_activation,
                     int num_channels);

    void SetMaxBufferSize(int max_buffer_size);
    // output = input_activation(top rows) * gating_activation(bottom rows), element-wise.
    void apply(const ConstSignal& input, Signal output);
    int get_num_channels() const { return num_channels; }

private:
    activations::Activation::Ptr input_activation;
    activations::Activation::Ptr gating_activation;
    int num_channels;
    Eigen::MatrixXf input_scratch;
    Eigen::MatrixXf gating_scratch;
};

class BlendingActivation {
public:
    // Throws std::invalid_argument "BlendingActivation: number of input channels must be positive".
    BlendingActivation(activations::Activation::Ptr input_activation, activations::Activation::Ptr blending_activation,
                       int num_channels);

    void SetMaxBufferSize(int max_buffer_size);
    // With alpha = blending_activation(bottom rows):
    // output = (1 - alpha) * top rows + alpha * input_activation(top rows), element-wise.
    void apply(const ConstSignal& input, Signal output);
    int get_num_channels() const { return num_channels; }

private:
    activations::Activation::Ptr input_activation;
    activations::Activation::Ptr blending_activation;
    int num_channels;
    Eigen::MatrixXf raw_scratch;
    Eigen::MatrixXf activated_scratch;
    Eigen::MatrixXf alpha_scratch;
};

}  // namespace nam::gating_activations
