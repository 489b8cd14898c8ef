#include "neural/nam/linear.h"

#include <algorithm>
#include <stdexcept>

#include "neural/nam/config_values.h"
#include "neural/nam/limits.h"
#include "neural/nam/registry.h"

namespace nam {
namespace {

// Checked before the history is allocated, so a wrong file never sizes anything.
int checked_receptive_field(int receptive_field, bool bias, size_t weight_count) {
    const int64_t expected = static_cast<int64_t>(receptive_field) + (bias ? 1 : 0);
    if (expected != static_cast<int64_t>(weight_count))
        throw std::runtime_error("Params vector does not match expected size based on architecture parameters");
    return receptive_field;
}

const ConfigParserRegistrar registrar{"Linear", linear::create_config};

}  // namespace

Linear::Linear(int in_channels_, int out_channels_, int receptive_field, bool bias, const std::vector<float>& weights,
               double expected_sample_rate)
    : Buffer(in_channels_, out_channels_, checked_receptive_field(receptive_field, bias, weights.size()),
             expected_sample_rate) {
    _weight.resize(static_cast<size_t>(receptive_field));
    for (int i = 0; i < receptive_field; ++i) _weight[i] = weights[receptive_field - 1 - i];
    _bias = bias ? weights[receptive_field] : 0.0f;
}

void Linear::process(double** input, double** output, int num_frames) {
    if (num_frames <= 0) return;
    _update_buffers_(input, num_frames);
    const int filtered = std::min(in_channels, out_channels);
    const int rf = _receptive_field;
    for (int c = 0; c < filtered; ++c) {
        const float* history = _input_buffers[c].data();
        for (int i = 0; i < num_frames; ++i) {
            const float* window = history + (_input_buffer_offset + i - rf + 1);
            float sum = _bias;
            for (int j = 0; j < rf; ++j) sum += _weight[j] * window[j];
            output[c][i] = sum;
        }
    }
    for (int c = in_channels; c < out_channels; ++c) std::fill(output[c], output[c] + num_frames, 0.0);
    _advance_input_buffer_(num_frames);
}

namespace linear {

LinearConfig parse_config_json(const nlohmann::json& config) {
    LinearConfig result;
    result.receptive_field = static_cast<int>(config::get_int(config, "receptive_field", 0, limits::kMaxLookback));
    result.bias = config.at("bias").get<bool>();
    result.in_channels = config::get_channel_count(config, "in_channels", 1);
    result.out_channels = config::get_channel_count(config, "out_channels", 1);
    return result;
}

std::unique_ptr<ModelConfig> create_config(const nlohmann::json& config, double /*expected_sample_rate*/) {
    return std::make_unique<LinearConfig>(parse_config_json(config));
}

std::unique_ptr<DSP> LinearConfig::create(std::vector<float> weights, double expected_sample_rate) {
    return std::make_unique<Linear>(in_channels, out_channels, receptive_field, bias, weights, expected_sample_rate);
}

}  // namespace linear
}  // namespace nam
