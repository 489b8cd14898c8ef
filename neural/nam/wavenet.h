#pragma once

#include <memory>
#include <vector>

#include <Eigen/Dense>

#include "neural/nam/dsp.h"
#include "neural/nam/wavenet_config.h"
#include "neural/nam/wavenet_layer.h"

namespace nam::wavenet {

// The runnable WaveNet: a chain of layer arrays fed with the model input and a condition signal,
// which is the input itself or the output of a nested conditioning model. The first array takes
// the input; each later array takes the preceding array's last residual and continues its head
// sum; the output is head_scale times the last array's head outputs.
//
// Everything runs in float, in buffers sized by SetMaxBufferSize; the conversion from and to
// double happens once at the input and once at the output, and process never allocates (as far
// as a conditioning model's own process does not).
class WaveNet : public DSP {
public:
    // Checks the whole configuration (channel chaining between arrays and with the conditioning
    // model, the layers' shapes, size limits and the weight count) before it builds anything,
    // then builds the arrays and distributes the weights. Throws std::runtime_error or
    // std::invalid_argument; no model is built.
    WaveNet(int in_channels, const std::vector<LayerArrayParams>& layer_array_params, float head_scale,
            bool with_head, std::vector<float> weights, std::unique_ptr<DSP> condition_dsp,
            double expected_sample_rate);

    // Arrays in order, then one value that becomes the head scale. Throws std::runtime_error,
    // before reading anything, unless the list holds exactly that many values.
    void set_weights_(std::vector<float>& weights);

    void process(double** input, double** output, int num_frames) override;
    int PrewarmSamples() override { return _prewarm_samples; }
    void SetMaxBufferSize(int max_buffer_size) override;

    float GetHeadScale() const { return _head_scale; }
    const std::vector<_LayerArray>& GetLayerArrays() const { return _layer_arrays; }
    // Largest block the layers take at once; longer blocks are processed in slices of it.
    int GetProcessingBlockSize() const { return static_cast<int>(_condition_input.cols()); }

    // Upper bound of the slice that the layers are sized for.
    static constexpr int kMaxProcessingBlock = 512;

protected:
    virtual void _process_condition(int num_frames);
    virtual void _set_condition_array(double** input, int num_frames);
    virtual int _get_condition_dim() { return in_channels; }

private:
    void _check_configuration(const std::vector<LayerArrayParams>& params, size_t weight_count) const;
    void _check_chaining(const std::vector<LayerArrayParams>& params, size_t index) const;
    void _process_slice(double** input, double** output, int offset, int num_frames);
    // The condition of the current slice: the conditioning model's output, or the input itself.
    const Eigen::MatrixXf& _condition() const { return _condition_dsp ? _condition_output : _condition_input; }

    Eigen::MatrixXf _condition_input;
    Eigen::MatrixXf _condition_output;
    std::unique_ptr<DSP> _condition_dsp;
    std::vector<std::vector<double>> _condition_dsp_input_buffers;
    std::vector<std::vector<double>> _condition_dsp_output_buffers;
    std::vector<double*> _condition_dsp_input_pointers;
    std::vector<double*> _condition_dsp_output_pointers;
    std::vector<_LayerArray> _layer_arrays;
    float _head_scale;
    int _prewarm_samples = 0;
    // Input channel pointers of the caller's buffers, advanced to the current slice.
    std::vector<double*> _slice_inputs;
};

}  // namespace nam::wavenet
