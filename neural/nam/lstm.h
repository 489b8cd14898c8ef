#pragma once

#include <memory>
#include <vector>

#include <Eigen/Dense>
#include <nlohmann/json.hpp>

#include "neural/nam/dsp.h"
#include "neural/nam/model_config.h"

// The "LSTM" architecture: a stack of LSTM layers run one sample at a time, then a linear head
// from the last layer's hidden state to the output channels. The recurrent state is the model's
// only memory.
namespace nam::lstm {

// One layer with input size I and hidden size H. Gate blocks, in the weight rows, the bias and
// the gate vector: input i = [0, H), forget f = [H, 2H), candidate g = [2H, 3H), output o =
// [3H, 4H). The input and the hidden state live side by side in one vector [x; h], so a step is
// a single matrix-vector product.
class LSTMCell {
public:
    // Reads, in order: the 4H x (I + H) weight row by row (each row: I input weights, then H
    // recurrent weights), 4H biases, H initial hidden values, H initial cell values.
    LSTMCell(int input_size, int hidden_size, weights_it& weights);

    // One time step on exactly I input values. Allocates nothing.
    void process_(const Eigen::Ref<const Eigen::VectorXf>& x);
    // The hidden state after the last step (a view of the last H entries of [x; h]).
    Eigen::VectorXf::ConstSegmentReturnType get_hidden_state() const { return _xh.tail(_hidden_size); }
    const Eigen::VectorXf& get_cell_state() const { return _c; }
    int get_input_size() const { return _input_size; }
    int get_hidden_size() const { return _hidden_size; }

private:
    Eigen::MatrixXf _w;    // 4H x (I + H)
    Eigen::VectorXf _b;    // 4H
    Eigen::VectorXf _xh;   // [x; h]
    Eigen::VectorXf _ifgo; // gate pre-activations, then the gates, of the last step
    Eigen::VectorXf _c;    // cell state
    int _input_size;
    int _hidden_size;
};

class LSTM : public DSP {
public:
    // Computes the weight count from the configuration and checks it before anything is read
    // or allocated: a list of any other length is refused with std::runtime_error, as are
    // in_channels > input_size and sizes beyond the model limits.
    LSTM(int in_channels, int out_channels, int num_layers, int input_size, int hidden_size,
         const std::vector<float>& weights, double expected_sample_rate);

    // Sample by sample; allocates nothing. A non-finite input sample enters the state as 0, so
    // one bad sample cannot poison the recurrent state for good.
    void process(double** input, double** output, int num_frames) override;
    // Half a second of silence at the expected rate (at least 1), clamped so that an absurd rate
    // in a model file cannot stall a load.
    int PrewarmSamples() override;

    size_t NumLayers() const { return _layers.size(); }
    const LSTMCell& Layer(size_t index) const { return _layers[index]; }

    // The rate whose half-second prewarm is the longest allowed.
    static constexpr double kMaxPrewarmSampleRate = 768000.0;

protected:
    // One sample from the input vector to the output vector.
    void _process_sample();

    Eigen::MatrixXf _head_weight;  // out_channels x H
    Eigen::VectorXf _head_bias;
    std::vector<LSTMCell> _layers;
    Eigen::VectorXf _input;   // input_size; entries beyond in_channels stay 0
    Eigen::VectorXf _output;  // out_channels
};

struct LSTMConfig : ModelConfig {
    int num_layers = 0;
    int input_size = 0;
    int hidden_size = 0;
    int in_channels = 1;
    int out_channels = 1;

    std::unique_ptr<DSP> create(std::vector<float> weights, double expected_sample_rate) override;
};

// Keys: "num_layers", "input_size", "hidden_size" (required); "in_channels" = 1,
// "out_channels" = 1.
LSTMConfig parse_config_json(const nlohmann::json& config);
std::unique_ptr<ModelConfig> create_config(const nlohmann::json& config, double expected_sample_rate);

}  // namespace nam::lstm
