#pragma once

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "neural/nam/activations.h"
#include "neural/nam/dsp.h"
#include "neural/nam/model_config.h"

// The configuration of the "WaveNet" architecture: the per-layer-array records, their parsing
// from a model file's "config" object, and the record that builds the model (neural/nam/wavenet.h).
namespace nam::wavenet {

// How a layer turns its pre-activation into its output. Gated and blended layers compute twice
// the bottleneck and combine the two halves.
enum class GatingMode { NONE = 0, GATED = 1, BLENDED = 2 };

// "none", "gated" or "blended" (exact spelling); anything else throws
// std::runtime_error "Invalid gating_mode: <text>".
GatingMode gating_mode_from_string(const std::string& text);

struct Layer1x1Params {
    bool active = true;
    int groups = 1;
};

struct Head1x1Params {
    bool active = false;
    int out_channels = 0;
    int groups = 1;
};

// One feature-wise modulation slot of a layer: scale (and shift) computed from the condition.
struct FiLMParams {
    bool active = false;
    bool shift = false;
    int groups = 1;
};

// One layer array: a stack of residual layers, one per dilation, with its input and head
// projections.
struct LayerArrayParams {
    // Throws std::invalid_argument unless every per-layer list has one entry per dilation.
    LayerArrayParams(int input_size, int condition_size, int head_size, int channels, int bottleneck,
                     int kernel_size, const std::vector<int>& dilations,
                     const std::vector<activations::ActivationConfig>& activation_configs,
                     const std::vector<GatingMode>& gating_modes, bool head_bias, int groups_input,
                     int groups_input_mixin, const Layer1x1Params& layer1x1_params,
                     const Head1x1Params& head1x1_params,
                     const std::vector<activations::ActivationConfig>& secondary_activation_configs,
                     const FiLMParams& conv_pre_film_params, const FiLMParams& conv_post_film_params,
                     const FiLMParams& input_mixin_pre_film_params, const FiLMParams& input_mixin_post_film_params,
                     const FiLMParams& activation_pre_film_params, const FiLMParams& activation_post_film_params,
                     const FiLMParams& layer1x1_post_film_params, const FiLMParams& head1x1_post_film_params);

    int input_size;
    int condition_size;
    int head_size;
    int channels;
    int bottleneck;
    int kernel_size;
    std::vector<int> dilations;
    std::vector<activations::ActivationConfig> activation_configs;
    std::vector<GatingMode> gating_modes;
    bool head_bias;
    int groups_input;
    int groups_input_mixin;
    Layer1x1Params layer1x1_params;
    Head1x1Params head1x1_params;
    std::vector<activations::ActivationConfig> secondary_activation_configs;
    FiLMParams conv_pre_film_params;
    FiLMParams conv_post_film_params;
    FiLMParams input_mixin_pre_film_params;
    FiLMParams input_mixin_post_film_params;
    FiLMParams activation_pre_film_params;
    FiLMParams activation_post_film_params;
    FiLMParams layer1x1_post_film_params;
    FiLMParams head1x1_post_film_params;
};

struct WaveNetConfig : ModelConfig {
    int in_channels = 1;
    std::vector<LayerArrayParams> layer_array_params;
    float head_scale = 0.0f;
    bool with_head = false;
    // The nested conditioning model; moved into the model by create, so a configuration
    // creates one model at most.
    std::unique_ptr<DSP> condition_dsp;

    std::unique_ptr<DSP> create(std::vector<float> weights, double expected_sample_rate) override;
};

// Conditioning models may themselves be conditioned; nesting deeper than this is refused before
// anything is built, so a crafted file cannot recurse without end.
inline constexpr int kMaxConditionDepth = 4;

// Parses a "config" object. Bad configurations throw std::runtime_error (and
// std::invalid_argument from the records' own checks); type mismatches and missing required
// keys throw the JSON library's errors.
WaveNetConfig parse_config_json(const nlohmann::json& config, double expected_sample_rate);
// The parser registered under "WaveNet".
std::unique_ptr<ModelConfig> create_config(const nlohmann::json& config, double expected_sample_rate);

}  // namespace nam::wavenet
