#pragma once

#include <memory>
#include <vector>

#include <nlohmann/json.hpp>

#include "neural/nam/dsp.h"
#include "neural/nam/model_config.h"

namespace nam {

// An FIR filter over each input channel's history: y[t] = bias + sum_k t[k] * x[t - k], where
// the file's taps t[0..rf-1] start at the current sample. Output channels beyond the input
// channels are silent.
class Linear : public Buffer {
public:
    // Throws std::runtime_error "Params vector does not match expected size based on
    // architecture parameters" unless weights holds receptive_field taps plus the bias if any.
    Linear(int in_channels, int out_channels, int receptive_field, bool bias, const std::vector<float>& weights,
           double expected_sample_rate);
    void process(double** input, double** output, int num_frames) override;

protected:
    std::vector<float> _weight;  // taps in reversed file order: _weight[rf - 1] is the current sample
    float _bias = 0.0f;
};

namespace linear {

struct LinearConfig : ModelConfig {
    int receptive_field = 0;
    bool bias = false;
    int in_channels = 1;
    int out_channels = 1;

    std::unique_ptr<DSP> create(std::vector<float> weights, double expected_sample_rate) override;
};

// Keys: "receptive_field" (required), "bias" (required), "in_channels" = 1, "out_channels" = 1.
LinearConfig parse_config_json(const nlohmann::json& config);
std::unique_ptr<ModelConfig> create_config(const nlohmann::json& config, double expected_sample_rate);

}  // namespace linear
}  // namespace nam
