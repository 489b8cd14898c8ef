#include "neural/nam/wavenet_config.h"

#include <sstream>
#include <stdexcept>
#include <utility>

#include "neural/nam/config_values.h"
#include "neural/nam/get_dsp.h"
#include "neural/nam/limits.h"
#include "neural/nam/registry.h"
#include "neural/nam/wavenet.h"

namespace nam::wavenet {
namespace {

using nlohmann::json;
using activations::ActivationConfig;
using activations::ActivationType;

const ConfigParserRegistrar registrar{"WaveNet", create_config};

std::string layer_array_prefix(int index) { return "Layer array " + std::to_string(index) + ": "; }

// Default stream formatting: six significant digits, no trailing zeros (48000, -1).
std::string format_rate(double rate) {
    std::ostringstream stream;
    stream << rate;
    return stream.str();
}

// A required channel count: a missing key is the JSON library's error, like every required key.
int required_channel_count(const json& object, const std::string& key) {
    static_cast<void>(object.at(key));
    return config::get_channel_count(object, key, 0);
}

int group_count(const json& object, const std::string& key) {
    return static_cast<int>(config::get_int(object, key, 1, 1, limits::kMaxChannels));
}

const json& required_array(const json& object, const std::string& key) {
    const json& value = object.at(key);
    if (!value.is_array())
        throw json::type_error::create(302, "type must be array, but is " + std::string(value.type_name()), &value);
    return value;
}

// One dilation: an integral number of frames in [0, limits::kMaxLookback].
int dilation_value(const json& value, int layer_array, size_t layer) {
    const std::string what = layer_array_prefix(layer_array) + "dilation " + std::to_string(layer);
    if (!value.is_number()) throw json::type_error::create(302, "type must be number, but is " + std::string(value.type_name()), &value);
    const double number = value.get<double>();
    if (!(number >= 0.0) || number > static_cast<double>(limits::kMaxLookback) || number != static_cast<double>(static_cast<int64_t>(number)))
        throw std::runtime_error(what + " (" + value.dump() + ") must be an integer between 0 and " +
                                 std::to_string(limits::kMaxLookback));
    return static_cast<int>(number);
}

std::vector<int> parse_dilations(const json& layer_array, int index) {
    const json& values = required_array(layer_array, "dilations");
    // An array without layers has no output to pass on.
    if (values.empty()) throw std::runtime_error(layer_array_prefix(index) + "dilations must not be empty");
    std::vector<int> dilations;
    dilations.reserve(values.size());
    for (const json& value : values) dilations.push_back(dilation_value(value, index, dilations.size()));
    return dilations;
}

std::vector<ActivationConfig> parse_activations(const json& layer_array, int index, size_t layers) {
    const json& activation = layer_array.at("activation");
    if (!activation.is_array()) return std::vector<ActivationConfig>(layers, ActivationConfig::from_json(activation));
    if (activation.size() != layers)
        throw std::runtime_error(layer_array_prefix(index) + "activation array size (" +
                                 std::to_string(activation.size()) + ") must match dilations size (" +
                                 std::to_string(layers) + ")");
    std::vector<ActivationConfig> configs;
    configs.reserve(layers);
    for (const json& entry : activation) configs.push_back(ActivationConfig::from_json(entry));
    return configs;
}

struct Gating {
    std::vector<GatingMode> modes;
    std::vector<ActivationConfig> secondaries;
};

const ActivationConfig kSigmoid = ActivationConfig::simple(ActivationType::Sigmoid);

// The older boolean form: "gated" alone decides, and "secondary_activation" is not read.
Gating parse_legacy_gating(const json& layer_array, size_t layers) {
    const bool gated = layer_array.contains("gated") && layer_array.at("gated").get<bool>();
    if (gated) return {std::vector<GatingMode>(layers, GatingMode::GATED), std::vector<ActivationConfig>(layers, kSigmoid)};
    return {std::vector<GatingMode>(layers, GatingMode::NONE), std::vector<ActivationConfig>(layers)};
}

Gating parse_gating_list(const json& layer_array, const json& modes, int index, size_t layers) {
    const bool has_secondary = layer_array.contains("secondary_activation");
    const json* secondary = has_secondary ? &layer_array.at("secondary_activation") : nullptr;
    Gating gating;
    for (const json& entry : modes) {
        const GatingMode mode = gating_mode_from_string(entry.get<std::string>());
        gating.modes.push_back(mode);
        if (mode == GatingMode::NONE) {
            gating.secondaries.emplace_back();
        } else if (!secondary) {
            gating.secondaries.push_back(kSigmoid);
        } else if (secondary->is_array()) {
            const size_t needed = gating.modes.size();
            if (secondary->size() < needed)
                throw std::runtime_error(layer_array_prefix(index) + "secondary_activation array size must be at least " +
                                         std::to_string(needed));
            gating.secondaries.push_back(ActivationConfig::from_json((*secondary)[needed - 1]));
        } else {
            gating.secondaries.push_back(ActivationConfig::from_json(*secondary));
        }
    }
    if (gating.modes.size() != layers)
        throw std::runtime_error(layer_array_prefix(index) + "gating_mode array size (" +
                                 std::to_string(gating.modes.size()) + ") must match dilations size (" +
                                 std::to_string(layers) + ")");
    if (secondary && secondary->is_array() && secondary->size() != layers)
        throw std::runtime_error(layer_array_prefix(index) + "secondary_activation array size (" +
                                 std::to_string(secondary->size()) + ") must match dilations size (" +
                                 std::to_string(layers) + ")");
    return gating;
}

Gating parse_gating_single(const json& layer_array, const json& mode_text, size_t layers) {
    const GatingMode mode = gating_mode_from_string(mode_text.get<std::string>());
    ActivationConfig secondary;
    if (mode != GatingMode::NONE)
        secondary = layer_array.contains("secondary_activation")
                        ? ActivationConfig::from_json(layer_array.at("secondary_activation"))
                        : kSigmoid;
    return {std::vector<GatingMode>(layers, mode), std::vector<ActivationConfig>(layers, secondary)};
}

Gating parse_gating(const json& layer_array, int index, size_t layers) {
    if (!layer_array.contains("gating_mode")) return parse_legacy_gating(layer_array, layers);
    const json& modes = layer_array.at("gating_mode");
    if (modes.is_array()) return parse_gating_list(layer_array, modes, index, layers);
    return parse_gating_single(layer_array, modes, layers);
}

Layer1x1Params parse_layer1x1(const json& layer_array) {
    if (!layer_array.contains("layer1x1")) return {};
    const json& object = layer_array.at("layer1x1");
    Layer1x1Params params;
    params.active = object.at("active").get<bool>();
    params.groups = static_cast<int>(config::get_int(object, "groups", 1, limits::kMaxChannels));
    return params;
}

Head1x1Params parse_head1x1(const json& layer_array, int channels) {
    Head1x1Params params;
    params.out_channels = channels;
    if (!layer_array.contains("head1x1")) return params;
    const json& object = layer_array.at("head1x1");
    params.active = object.at("active").get<bool>();
    params.out_channels = required_channel_count(object, "out_channels");
    params.groups = static_cast<int>(config::get_int(object, "groups", 1, limits::kMaxChannels));
    return params;
}

FiLMParams parse_film_params(const json& layer_array, const char* key) {
    if (!layer_array.contains(key) || layer_array.at(key).is_null()) return {};
    const json& object = layer_array.at(key);
    FiLMParams params;
    params.active = object.value("active", true);
    params.shift = object.value("shift", true);
    params.groups = group_count(object, "groups");
    return params;
}

LayerArrayParams parse_layer_array(const json& layer_array, int index) {
    const int groups_input = group_count(layer_array, "groups_input");
    const int groups_input_mixin = group_count(layer_array, "groups_input_mixin");
    const int channels = required_channel_count(layer_array, "channels");
    const int bottleneck = config::get_channel_count(layer_array, "bottleneck", channels);
    const Layer1x1Params layer1x1 = parse_layer1x1(layer_array);

    const int input_size = required_channel_count(layer_array, "input_size");
    const int condition_size = required_channel_count(layer_array, "condition_size");
    const int head_size = required_channel_count(layer_array, "head_size");
    const int kernel_size = static_cast<int>(config::get_int(layer_array, "kernel_size", 1, limits::kMaxLookback + 1));
    const std::vector<int> dilations = parse_dilations(layer_array, index);
    const size_t layers = dilations.size();

    const std::vector<ActivationConfig> activation_configs = parse_activations(layer_array, index, layers);
    Gating gating = parse_gating(layer_array, index, layers);

    const bool head_bias = layer_array.at("head_bias").get<bool>();
    const Head1x1Params head1x1 = parse_head1x1(layer_array, channels);

    const FiLMParams conv_pre = parse_film_params(layer_array, "conv_pre_film");
    const FiLMParams conv_post = parse_film_params(layer_array, "conv_post_film");
    const FiLMParams input_mixin_pre = parse_film_params(layer_array, "input_mixin_pre_film");
    const FiLMParams input_mixin_post = parse_film_params(layer_array, "input_mixin_post_film");
    const FiLMParams activation_pre = parse_film_params(layer_array, "activation_pre_film");
    const FiLMParams activation_post = parse_film_params(layer_array, "activation_post_film");
    const FiLMParams layer1x1_post = parse_film_params(layer_array, "layer1x1_post_film");
    const FiLMParams head1x1_post = parse_film_params(layer_array, "head1x1_post_film");

    if (layer1x1_post.active && !layer1x1.active)
        throw std::runtime_error(layer_array_prefix(index) +
                                 "layer1x1_post_film cannot be active when layer1x1.active is false");

    return LayerArrayParams(input_size, condition_size, head_size, channels, bottleneck, kernel_size, dilations,
                            activation_configs, gating.modes, head_bias, groups_input, groups_input_mixin, layer1x1,
                            head1x1, gating.secondaries, conv_pre, conv_post, input_mixin_pre, input_mixin_post,
                            activation_pre, activation_post, layer1x1_post, head1x1_post);
}

// How many conditioning models are nested below this configuration, counted without building
// any of them and without looking further than one level past the limit.
int condition_nesting(const json& config) {
    int depth = 0;
    const json* current = &config;
    while (depth <= kMaxConditionDepth && current->is_object()) {
        const auto condition = current->find("condition_dsp");
        if (condition == current->end() || !condition->is_object()) break;
        ++depth;
        const auto architecture = condition->find("architecture");
        const auto nested = condition->find("config");
        if (architecture == condition->end() || nested == condition->end() || *architecture != "WaveNet") break;
        current = &*nested;
    }
    return depth;
}

std::unique_ptr<DSP> parse_condition_dsp(const json& config, double expected_sample_rate) {
    if (!config.contains("condition_dsp") || config.at("condition_dsp").is_null()) return nullptr;
    if (condition_nesting(config) > kMaxConditionDepth)
        throw std::runtime_error("Conditioning models are nested more than " + std::to_string(kMaxConditionDepth) +
                                 " deep");
    std::unique_ptr<DSP> condition = get_dsp(config.at("condition_dsp"));
    const double condition_rate = condition->GetExpectedSampleRate();
    if (condition_rate != expected_sample_rate)
        throw std::runtime_error("Condition DSP expected sample rate (" + format_rate(condition_rate) +
                                 ") doesn't match WaveNet expected sample rate (" + format_rate(expected_sample_rate) +
                                 "!\n");
    return condition;
}

void check_per_layer_size(const char* what, size_t size, size_t dilations) {
    if (size != dilations)
        throw std::invalid_argument(std::string("LayerArrayParams: dilations size (") + std::to_string(dilations) +
                                    ") must match " + what + " size (" + std::to_string(size) + ")");
}

}  // namespace

GatingMode gating_mode_from_string(const std::string& text) {
    if (text == "none") return GatingMode::NONE;
    if (text == "gated") return GatingMode::GATED;
    if (text == "blended") return GatingMode::BLENDED;
    throw std::runtime_error("Invalid gating_mode: " + text);
}

LayerArrayParams::LayerArrayParams(
    int input_size_, int condition_size_, int head_size_, int channels_, int bottleneck_, int kernel_size_,
    const std::vector<int>& dilations_, const std::vector<activations::ActivationConfig>& activation_configs_,
    const std::vector<GatingMode>& gating_modes_, bool head_bias_, int groups_input_, int groups_input_mixin_,
    const Layer1x1Params& layer1x1_params_, const Head1x1Params& head1x1_params_,
    const std::vector<activations::ActivationConfig>& secondary_activation_configs_,
    const FiLMParams& conv_pre_film_params_, const FiLMParams& conv_post_film_params_,
    const FiLMParams& input_mixin_pre_film_params_, const FiLMParams& input_mixin_post_film_params_,
    const FiLMParams& activation_pre_film_params_, const FiLMParams& activation_post_film_params_,
    const FiLMParams& layer1x1_post_film_params_, const FiLMParams& head1x1_post_film_params_)
    : input_size(input_size_),
      condition_size(condition_size_),
      head_size(head_size_),
      channels(channels_),
      bottleneck(bottleneck_),
      kernel_size(kernel_size_),
      dilations(dilations_),
      activation_configs(activation_configs_),
      gating_modes(gating_modes_),
      head_bias(head_bias_),
      groups_input(groups_input_),
      groups_input_mixin(groups_input_mixin_),
      layer1x1_params(layer1x1_params_),
      head1x1_params(head1x1_params_),
      secondary_activation_configs(secondary_activation_configs_),
      conv_pre_film_params(conv_pre_film_params_),
      conv_post_film_params(conv_post_film_params_),
      input_mixin_pre_film_params(input_mixin_pre_film_params_),
      input_mixin_post_film_params(input_mixin_post_film_params_),
      activation_pre_film_params(activation_pre_film_params_),
      activation_post_film_params(activation_post_film_params_),
      layer1x1_post_film_params(layer1x1_post_film_params_),
      head1x1_post_film_params(head1x1_post_film_params_) {
    check_per_layer_size("activation_configs", activation_configs.size(), dilations.size());
    check_per_layer_size("gating_modes", gating_modes.size(), dilations.size());
    check_per_layer_size("secondary_activation_configs", secondary_activation_configs.size(), dilations.size());
}

WaveNetConfig parse_config_json(const nlohmann::json& config, double expected_sample_rate) {
    WaveNetConfig result;
    result.condition_dsp = parse_condition_dsp(config, expected_sample_rate);

    const json& layers = required_array(config, "layers");
    for (size_t i = 0; i < layers.size(); ++i)
        result.layer_array_params.push_back(parse_layer_array(layers[i], static_cast<int>(i)));

    result.with_head = config.contains("head") && !config.at("head").is_null();
    result.head_scale = config::get_float(config, "head_scale");
    result.in_channels = config::get_channel_count(config, "in_channels", 1);

    if (result.layer_array_params.empty()) throw std::runtime_error("WaveNet config requires at least one layer array");
    return result;
}

std::unique_ptr<ModelConfig> create_config(const nlohmann::json& config, double expected_sample_rate) {
    return std::make_unique<WaveNetConfig>(parse_config_json(config, expected_sample_rate));
}

std::unique_ptr<DSP> WaveNetConfig::create(std::vector<float> weights, double expected_sample_rate) {
    return std::make_unique<WaveNet>(in_channels, layer_array_params, head_scale, with_head, std::move(weights),
                                     std::move(condition_dsp), expected_sample_rate);
}

}  // namespace nam::wavenet
