#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <Eigen/Dense>

#include "neural/nam/activations.h"
#include "neural/nam/conv1d.h"
#include "neural/nam/conv1x1.h"
#include "neural/nam/dsp.h"
#include "neural/nam/film.h"
#include "neural/nam/gating_activations.h"
#include "neural/nam/wavenet_config.h"

// The building blocks of the WaveNet model: one residual layer and a stack of them (a layer
// array) with its input and head projections. Signals are float matrices, one row per channel
// and one column per frame; the first n columns of every buffer are the valid part of an
// n-frame block.
//
// Each class has a static `check` that raises every error its constructor would raise, in the
// same order, without allocating anything, and a static `weight_count`: the model checks a whole
// file with them before it builds anything that the file's sizes ask for.
namespace nam::wavenet {

// A read-only block of frames whose columns are contiguous (a whole matrix, its leading columns,
// or the top rows of a taller one).
using ConstSignal = Eigen::Ref<const Eigen::MatrixXf>;

// Everything one layer needs, taken from its array's parameters.
struct LayerParams {
    int condition_size;
    int channels;
    int bottleneck;
    int kernel_size;
    int dilation;
    activations::ActivationConfig activation_config;
    GatingMode gating_mode;
    int groups_input;
    int groups_input_mixin;
    Layer1x1Params layer1x1_params;
    Head1x1Params head1x1_params;
    activations::ActivationConfig secondary_activation_config;
    FiLMParams conv_pre_film_params;
    FiLMParams conv_post_film_params;
    FiLMParams input_mixin_pre_film_params;
    FiLMParams input_mixin_post_film_params;
    FiLMParams activation_pre_film_params;
    FiLMParams activation_post_film_params;
    FiLMParams layer1x1_post_film_params;
    FiLMParams head1x1_post_film_params;

    // The parameters of layer `index` of an array.
    static LayerParams of_layer(const LayerArrayParams& array, size_t index);
};

// One residual layer:
//     z = conv(x) + mixin(condition)       (each optionally FiLM-modulated before or after)
//     a = activation(z), or gated / blended from the two halves of z
//     head contribution = a, or head1x1(a)
//     residual = x + layer1x1(a), or x without a layer 1x1
class _Layer {
public:
    explicit _Layer(const LayerParams& params);

    // The constructor's errors (std::invalid_argument, and the convolutions' std::runtime_error)
    // without building anything.
    static void check(const LayerParams& params);
    // Floats that set_weights_ consumes, computed from the parameters.
    static int64_t weight_count(const LayerParams& params);
    // Floats of history and per-block buffers the layer holds when sized for max_frames.
    static int64_t state_values(const LayerParams& params, int64_t max_frames);

    void SetMaxBufferSize(int max_buffer_size);
    // Dilated convolution (taps, then bias), input mixin, layer 1x1, head 1x1, then the present
    // FiLM modules in slot order.
    void set_weights_(weights_it& weights);

    // input: channels rows; condition: condition_size rows; both at least num_frames columns.
    void Process(const ConstSignal& input, const ConstSignal& condition, int num_frames);

    const Eigen::MatrixXf& GetResidualOutput() const { return _residual_output; }
    // The contribution to the array's head sum of the last block (num_frames columns).
    ConstSignal GetHeadContribution(int num_frames) const;
    long get_head_rows() const;
    long get_channels() const { return _dilated_conv.get_in_channels(); }
    int get_dilation() const { return _dilated_conv.get_dilation(); }
    long get_kernel_size() const { return _dilated_conv.get_kernel_size(); }
    long get_num_weights() const;

private:
    // Applies the activation (or gating) to _pre_activation; the result is its top B rows.
    void _activate(int num_frames);

    Conv1D _dilated_conv;
    Conv1x1 _input_mixin;
    std::unique_ptr<Conv1x1> _layer1x1;
    std::unique_ptr<Conv1x1> _head1x1;
    Eigen::MatrixXf _pre_activation;
    Eigen::MatrixXf _residual_output;
    activations::Activation::Ptr _activation;
    GatingMode _gating_mode;
    int _bottleneck;
    std::unique_ptr<gating_activations::GatingActivation> _gating_activation;
    std::unique_ptr<gating_activations::BlendingActivation> _blending_activation;
    std::unique_ptr<FiLM> _conv_pre_film;
    std::unique_ptr<FiLM> _conv_post_film;
    std::unique_ptr<FiLM> _input_mixin_pre_film;
    std::unique_ptr<FiLM> _input_mixin_post_film;
    std::unique_ptr<FiLM> _activation_pre_film;
    std::unique_ptr<FiLM> _activation_post_film;
    std::unique_ptr<FiLM> _layer1x1_post_film;
    std::unique_ptr<FiLM> _head1x1_post_film;
};

// A stack of layers, one per dilation: the input is projected to the layers' channel count,
// each layer feeds its residual to the next, and the layers' head contributions are summed and
// projected to head_size rows.
class _LayerArray {
public:
    explicit _LayerArray(const LayerArrayParams& params);

    static void check(const LayerArrayParams& params);
    static int64_t weight_count(const LayerArrayParams& params);
    static int64_t state_values(const LayerArrayParams& params, int64_t max_frames);
    // Rows of the head sum: the head 1x1's out_channels when it is active, else the bottleneck.
    static int head_rows(const LayerArrayParams& params);
    // Sum over the layers of dilation x (kernel_size - 1).
    static int64_t receptive_field(const LayerArrayParams& params);

    void SetMaxBufferSize(int max_buffer_size);
    // Input projection, each layer in order, then the head projection (its bias if any).
    void set_weights_(weights_it& weights);

    // The first array of a model: the head sum starts at zero.
    void Process(const ConstSignal& layer_inputs, const ConstSignal& condition, int num_frames);
    // A later array: the head sum starts from the preceding array's head outputs.
    void Process(const ConstSignal& layer_inputs, const ConstSignal& condition, const ConstSignal& head_inputs,
                 int num_frames);

    // head_size x max buffer size; the first num_frames columns hold the last result.
    const Eigen::MatrixXf& GetHeadOutputs() const { return _head_projection.GetOutput(); }
    Eigen::MatrixXf& GetHeadOutputs() { return _head_projection.GetOutput(); }
    // The last layer's residual output (channels rows), which feeds the next array.
    const Eigen::MatrixXf& GetLayerOutputs() const { return _layers.back().GetResidualOutput(); }

    long get_receptive_field() const;
    long _get_channels() const { return _layers.empty() ? 0 : _layers.front().get_channels(); }
    long get_num_weights() const;

private:
    void ProcessInner(const ConstSignal& layer_inputs, const ConstSignal& condition, int num_frames);

    Conv1x1 _input_projection;
    std::vector<_Layer> _layers;
    Eigen::MatrixXf _head_sum;
    Conv1x1 _head_projection;
    int _head_sum_rows;
};

}  // namespace nam::wavenet
