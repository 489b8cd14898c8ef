#pragma once

#include <memory>
#include <vector>

#include <Eigen/Dense>
#include <nlohmann/json.hpp>

#include "neural/nam/activations.h"
#include "neural/nam/block_products.h"
#include "neural/nam/conv1d.h"
#include "neural/nam/convnet_planar.h"
#include "neural/nam/dsp.h"
#include "neural/nam/model_config.h"

// The "ConvNet" architecture: a stack of dilated kernel-2 convolution blocks, each with an
// optional folded batch normalisation and an activation, then a linear head from the last
// block's channels to the output channels.
namespace nam::convnet {

// Batch normalisation folded into one scale and one offset per channel: x * scale + loc.
class BatchNorm {
public:
    BatchNorm() = default;
    // Reads dim running means, dim running variances, dim weights, dim biases and one epsilon,
    // and folds them: scale = weight / sqrt(epsilon + variance), loc = bias - scale * mean.
    // Throws std::runtime_error when a folded value is not finite (epsilon + variance <= 0),
    // since such a model would output NaN forever.
    BatchNorm(int dim, weights_it& weights);
    // Normalises columns [i_start, i_end) of x in place.
    void process_(Eigen::Ref<Eigen::MatrixXf> x, long i_start, long i_end) const;

    const Eigen::VectorXf& scale() const { return _scale; }
    const Eigen::VectorXf& loc() const { return _loc; }

private:
    Eigen::VectorXf _scale;
    Eigen::VectorXf _loc;
};

// One dilated kernel-2 convolution (bias only without batch norm), the batch norm, and the
// activation, applied in place to the block's own output.
class ConvNetBlock {
public:
    // Builds the block from the weights: convolution taps, then its bias (without batch norm) or
    // the batch-norm record (with it). Throws for bad shapes and for a per-channel activation
    // whose channel count does not match.
    void set_weights_(int in_channels, int out_channels, int dilation, bool batchnorm,
                      const activations::ActivationConfig& activation_config, int groups, weights_it& weights);
    // Sizes and clears the convolution history and the output.
    void SetMaxBufferSize(int max_buffer_size);
    long get_out_channels() const { return _conv.get_out_channels(); }
    int get_dilation() const { return _conv.get_dilation(); }
    const Conv1D& conv() const { return _conv; }
    // The folded batch normalisation, or nullptr when the block has none.
    const BatchNorm* batchnorm() const { return _do_batchnorm ? &_batchnorm : nullptr; }
    const activations::Activation::Ptr& activation() const { return _activation; }

    // Streams the first num_frames input columns through the block; the result is GetOutput.
    void Process(const Eigen::Ref<const Eigen::MatrixXf>& input, int num_frames);
    ConstColumns GetOutput(int num_frames) const { return std::as_const(_output).leftCols(num_frames); }
    // Range form: streams input columns [i_start, i_end) through the block (the same history as
    // Process) and writes the result into the same columns of output.
    void process_(const Eigen::Ref<const Eigen::MatrixXf>& input, Eigen::Ref<Eigen::MatrixXf> output, long i_start,
                  long i_end);

private:
    void _normalise_and_activate(Columns block);

    Conv1D _conv;
    BatchNorm _batchnorm;
    bool _do_batchnorm = false;
    activations::Activation::Ptr _activation;
    Eigen::MatrixXf _output;
};

// The linear output layer: out = weight x in + bias.
class _Head {
public:
    _Head() = default;
    // Reads the weight row by row (out_channels rows of in_channels values), then the biases.
    _Head(int in_channels, int out_channels, weights_it& weights);
    // Writes the result for input columns [i_start, i_end) into the first i_end - i_start
    // columns of output, which is grown only when it has fewer columns.
    void process_(const Eigen::Ref<const Eigen::MatrixXf>& input, Eigen::MatrixXf& output, long i_start,
                  long i_end) const;
    const Eigen::MatrixXf& weight() const { return _weight; }
    const Eigen::VectorXf& bias() const { return _bias; }

private:
    Eigen::MatrixXf _weight;
    Eigen::VectorXf _bias;
};

// The model. A mono model with ungrouped convolutions runs planar (PlanarConvNet), whose memory
// is fixed when it is built. Any other runs on the blocks' own convolutions: they are fed the
// new frames straight from the input history and from each other's outputs, and the head reads
// the last block's output in place; every buffer is sized by SetMaxBufferSize, so process
// allocates nothing, and longer blocks than that size are processed in pieces of that size.
class ConvNet : public Buffer {
public:
    // Checks the whole configuration and the weight count before anything is built. Throws
    // std::runtime_error "Didn't touch all the weights when initializing ConvNet" for a weight
    // list of any other length than the configuration needs, and refuses an empty dilation
    // list, bad group counts, negative dilations and shapes beyond the model limits.
    ConvNet(int in_channels, int out_channels, int channels, const std::vector<int>& dilations, bool batchnorm,
            const activations::ActivationConfig& activation_config, const std::vector<float>& weights,
            double expected_sample_rate, int groups = 1);

    void process(double** input, double** output, int num_frames) override;
    // 1 + the sum of the dilations: enough silence to flush every block's history.
    int PrewarmSamples() override { return _prewarm_samples; }
    void SetMaxBufferSize(int max_buffer_size) override;

    size_t NumBlocks() const { return _blocks.size(); }

private:
    // One piece of at most _capacity frames.
    void _process_piece(double** input, double** output, int num_frames);
    void _size_buffers(int frames);

    std::vector<ConvNetBlock> _blocks;
    Eigen::MatrixXf _block_input;  // the new frames of the input history, in_channels rows
    Eigen::MatrixXf _head_output;
    _Head _head;
    int _prewarm_samples = 1;
    int _capacity = 0;  // frames the buffers hold
    std::vector<double*> _piece_input;
    std::vector<double*> _piece_output;
    std::unique_ptr<PlanarConvNet> _planar;
};

struct ConvNetConfig : ModelConfig {
    int channels = 0;
    std::vector<int> dilations;
    bool batchnorm = false;
    activations::ActivationConfig activation;
    int groups = 1;
    int in_channels = 1;
    int out_channels = 1;

    std::unique_ptr<DSP> create(std::vector<float> weights, double expected_sample_rate) override;
};

// Keys: "channels", "dilations" (array of integers), "batchnorm", "activation" (all required);
// "groups" = 1, "in_channels" = 1, "out_channels" = 1.
ConvNetConfig parse_config_json(const nlohmann::json& config);
std::unique_ptr<ModelConfig> create_config(const nlohmann::json& config, double expected_sample_rate);

}  // namespace nam::convnet
