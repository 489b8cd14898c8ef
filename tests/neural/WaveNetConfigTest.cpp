// WaveNet configuration parsing: defaults, the three gating forms, FiLM records, and every
// configuration error with its message.

#include <functional>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

#include "neural/nam/get_dsp.h"
#include "neural/nam/registry.h"
#include "neural/nam/wavenet_config.h"
#include "tests/neural/WaveNetTestSupport.h"

namespace {

using nam::activations::ActivationType;
using nam::wavenet::GatingMode;
using nam::wavenet::parse_config_json;
using wavenet_test::json;
using wavenet_test::layerArray;

json twoLayerConfig() { return wavenet_test::config({layerArray(1, 1, 2, 1, 2, {1, 2})}); }

nam::wavenet::LayerArrayParams parseArray(const json& array) {
    return std::move(parse_config_json(wavenet_test::config({array}), 48000.0).layer_array_params.front());
}

TEST(WaveNetConfig, AMinimalArrayGetsEveryDefault) {
    const nam::wavenet::WaveNetConfig parsed = parse_config_json(twoLayerConfig(), 48000.0);
    EXPECT_EQ(parsed.in_channels, 1);
    EXPECT_FALSE(parsed.with_head);
    EXPECT_FLOAT_EQ(parsed.head_scale, 0.02f);
    EXPECT_EQ(parsed.condition_dsp, nullptr);
    ASSERT_EQ(parsed.layer_array_params.size(), 1u);

    const auto& p = parsed.layer_array_params[0];
    EXPECT_EQ(p.groups_input, 1);
    EXPECT_EQ(p.groups_input_mixin, 1);
    EXPECT_EQ(p.bottleneck, 2);
    EXPECT_TRUE(p.layer1x1_params.active);
    EXPECT_EQ(p.layer1x1_params.groups, 1);
    EXPECT_FALSE(p.head1x1_params.active);
    EXPECT_EQ(p.head1x1_params.out_channels, 2);
    EXPECT_EQ(p.head1x1_params.groups, 1);
    EXPECT_EQ(p.dilations, (std::vector<int>{1, 2}));
    EXPECT_EQ(p.gating_modes, (std::vector<GatingMode>{GatingMode::NONE, GatingMode::NONE}));
    ASSERT_EQ(p.activation_configs.size(), 2u);
    EXPECT_EQ(p.activation_configs[1].type, ActivationType::Tanh);
    for (const auto* film : {&p.conv_pre_film_params, &p.conv_post_film_params, &p.input_mixin_pre_film_params,
                             &p.input_mixin_post_film_params, &p.activation_pre_film_params,
                             &p.activation_post_film_params, &p.layer1x1_post_film_params, &p.head1x1_post_film_params})
        EXPECT_FALSE(film->active);
}

TEST(WaveNetConfig, TopLevelKeysAndExplicitArrayKeysAreRead) {
    json cfg = twoLayerConfig();
    cfg["in_channels"] = 3;
    cfg["head"] = json::object();
    json& a = cfg["layers"][0];
    a["groups_input"] = 2;
    a["groups_input_mixin"] = 1;
    a["bottleneck"] = 4;
    a["layer1x1"] = {{"active", false}, {"groups", 2}};
    a["head1x1"] = {{"active", true}, {"out_channels", 3}, {"groups", 1}};
    a["activation"] = json::array({"ReLU", {{"type", "LeakyReLU"}, {"negative_slope", 0.2}}});
    const auto parsed = parse_config_json(cfg, -1.0);
    EXPECT_EQ(parsed.in_channels, 3);
    EXPECT_TRUE(parsed.with_head);  // refused later, when the model is built
    const auto& p = parsed.layer_array_params[0];
    EXPECT_EQ(p.groups_input, 2);
    EXPECT_EQ(p.bottleneck, 4);
    EXPECT_FALSE(p.layer1x1_params.active);
    EXPECT_EQ(p.layer1x1_params.groups, 2);
    EXPECT_TRUE(p.head1x1_params.active);
    EXPECT_EQ(p.head1x1_params.out_channels, 3);
    EXPECT_EQ(p.activation_configs[0].type, ActivationType::ReLU);
    EXPECT_EQ(p.activation_configs[1].type, ActivationType::LeakyReLU);
    EXPECT_FLOAT_EQ(*p.activation_configs[1].negative_slope, 0.2f);
}

TEST(WaveNetConfig, GatingForms) {
    json legacy = layerArray(1, 1, 2, 1, 2, {1, 2});
    legacy["gated"] = true;
    legacy["secondary_activation"] = "Tanh";  // not read in the older form
    auto p = parseArray(legacy);
    EXPECT_EQ(p.gating_modes, (std::vector<GatingMode>{GatingMode::GATED, GatingMode::GATED}));
    EXPECT_EQ(p.secondary_activation_configs[0].type, ActivationType::Sigmoid);
    EXPECT_EQ(p.secondary_activation_configs[1].type, ActivationType::Sigmoid);

    legacy["gated"] = false;
    EXPECT_EQ(parseArray(legacy).gating_modes[0], GatingMode::NONE);

    json list = layerArray(1, 1, 2, 1, 2, {1, 2, 4});
    list["gating_mode"] = {"gated", "none", "blended"};
    list["secondary_activation"] = {"Tanh", "ReLU", "Softsign"};
    p = parseArray(list);
    EXPECT_EQ(p.gating_modes, (std::vector<GatingMode>{GatingMode::GATED, GatingMode::NONE, GatingMode::BLENDED}));
    EXPECT_EQ(p.secondary_activation_configs[0].type, ActivationType::Tanh);
    EXPECT_EQ(p.secondary_activation_configs[1].type, ActivationType::Tanh);  // the default, never applied
    EXPECT_EQ(p.secondary_activation_configs[2].type, ActivationType::Softsign);

    json single = layerArray(1, 1, 2, 1, 2, {1, 2});
    single["gating_mode"] = "blended";
    p = parseArray(single);
    EXPECT_EQ(p.gating_modes, (std::vector<GatingMode>{GatingMode::BLENDED, GatingMode::BLENDED}));
    EXPECT_EQ(p.secondary_activation_configs[1].type, ActivationType::Sigmoid);
    single["secondary_activation"] = "Hardtanh";
    EXPECT_EQ(parseArray(single).secondary_activation_configs[0].type, ActivationType::Hardtanh);
}

TEST(WaveNetConfig, FiLMRecords) {
    json a = layerArray(1, 1, 2, 1, 2, {1});
    a["conv_pre_film"] = json::object();
    a["conv_post_film"] = nullptr;
    a["input_mixin_pre_film"] = {{"shift", false}, {"groups", 1}};
    a["activation_post_film"] = {{"active", false}};
    a["head1x1_post_film"] = {{"groups", 2}};
    const auto p = parseArray(a);
    EXPECT_TRUE(p.conv_pre_film_params.active);
    EXPECT_TRUE(p.conv_pre_film_params.shift);
    EXPECT_EQ(p.conv_pre_film_params.groups, 1);
    EXPECT_FALSE(p.conv_post_film_params.active);
    EXPECT_TRUE(p.input_mixin_pre_film_params.active);
    EXPECT_FALSE(p.input_mixin_pre_film_params.shift);
    EXPECT_FALSE(p.activation_post_film_params.active);
    EXPECT_TRUE(p.head1x1_post_film_params.active);
    EXPECT_EQ(p.head1x1_post_film_params.groups, 2);
}

TEST(WaveNetConfig, WaveNetIsARegisteredArchitecture) {
    EXPECT_TRUE(nam::ConfigParserRegistry::instance().has("WaveNet"));
    auto config = nam::parse_model_config_json("WaveNet", twoLayerConfig(), 48000.0);
    EXPECT_NE(dynamic_cast<nam::wavenet::WaveNetConfig*>(config.get()), nullptr);
}

// --- Errors -------------------------------------------------------------------------------------

enum class Kind { Runtime, InvalidArgument, AnyStandard };

struct ErrorCase {
    const char* name;
    std::function<void(json& config)> edit;
    Kind kind;
    std::string message;  // empty: any text
};

json conditionModel(double sampleRate, bool withRate) {
    json m = wavenet_test::randomModel(wavenet_test::config({layerArray(1, 1, 2, 1, 2, {1})}), 5);
    if (withRate)
        m["sample_rate"] = sampleRate;
    else
        m.erase("sample_rate");
    return m;
}

// A conditioning model nested `depth` deep.
json nestedConditions(int depth) {
    json m = conditionModel(48000.0, true);
    for (int i = 1; i < depth; ++i) {
        json outer = conditionModel(48000.0, true);
        outer["config"]["condition_dsp"] = m;
        m = outer;
    }
    return m;
}

void expectError(const ErrorCase& c, const std::function<void()>& action) {
    SCOPED_TRACE(c.name);
    try {
        action();
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(c.kind, Kind::Runtime) << e.what();
        if (!c.message.empty()) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    } catch (const std::runtime_error& e) {
        EXPECT_NE(c.kind, Kind::InvalidArgument) << e.what();
        if (!c.message.empty()) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    } catch (const std::exception& e) {
        EXPECT_EQ(c.kind, Kind::AnyStandard) << typeid(e).name() << ": " << e.what();
    }
}

TEST(WaveNetConfig, ConfigurationErrorsAreRefusedWithTheirMessages) {
    auto array = [](json& cfg, size_t i = 0) -> json& { return cfg["layers"][i]; };
    const std::vector<ErrorCase> cases = {
        {"activation list", [&](json& c) { array(c)["activation"] = {"Tanh"}; }, Kind::Runtime,
         "Layer array 0: activation array size (1) must match dilations size (2)"},
        {"secondary list too short for a later gated layer",
         [&](json& c) {
             array(c)["gating_mode"] = {"none", "gated"};
             array(c)["secondary_activation"] = {"Tanh"};
         },
         Kind::Runtime, "Layer array 0: secondary_activation array size must be at least 2"},
        {"secondary list shorter than the layers",
         [&](json& c) {
             array(c)["gating_mode"] = {"gated", "none"};
             array(c)["secondary_activation"] = {"Tanh"};
         },
         Kind::Runtime, "Layer array 0: secondary_activation array size (1) must match dilations size (2)"},
        {"gating list of the second array",
         [&](json& c) {
             c["layers"].push_back(layerArray(1, 1, 2, 1, 2, {1, 2}));
             array(c, 1)["gating_mode"] = {"gated"};
         },
         Kind::Runtime, "Layer array 1: gating_mode array size (1) must match dilations size (2)"},
        {"gating mode spelling", [&](json& c) { array(c)["gating_mode"] = "Gated"; }, Kind::Runtime,
         "Invalid gating_mode: Gated"},
        {"gating mode in a list", [&](json& c) { array(c)["gating_mode"] = {"none", "GATED"}; }, Kind::Runtime,
         "Invalid gating_mode: GATED"},
        {"layer1x1 post FiLM without layer1x1",
         [&](json& c) {
             array(c)["layer1x1"] = {{"active", false}, {"groups", 1}};
             array(c)["layer1x1_post_film"] = {{"active", true}};
         },
         Kind::Runtime, "Layer array 0: layer1x1_post_film cannot be active when layer1x1.active is false"},
        {"no layer arrays", [&](json& c) { c["layers"] = json::array(); }, Kind::Runtime,
         "WaveNet config requires at least one layer array"},
        {"conditioning model without a sample rate", [&](json& c) { c["condition_dsp"] = conditionModel(0, false); },
         Kind::Runtime, "Condition DSP expected sample rate (-1) doesn't match WaveNet expected sample rate (48000!\n"},
        {"conditioning model at another rate", [&](json& c) { c["condition_dsp"] = conditionModel(44100, true); },
         Kind::Runtime,
         "Condition DSP expected sample rate (44100) doesn't match WaveNet expected sample rate (48000!\n"},
        {"conditioning models nested too deep",
         [&](json& c) { c["condition_dsp"] = nestedConditions(nam::wavenet::kMaxConditionDepth + 1); }, Kind::Runtime,
         "Conditioning models are nested more than 4 deep"},
        {"empty dilations", [&](json& c) { array(c)["dilations"] = json::array(); }, Kind::Runtime,
         "Layer array 0: dilations must not be empty"},
        {"negative dilation", [&](json& c) { array(c)["dilations"] = {1, -2}; }, Kind::Runtime, ""},
        {"fractional dilation", [&](json& c) { array(c)["dilations"] = {1, 2.5}; }, Kind::Runtime, ""},
        {"kernel size zero", [&](json& c) { array(c)["kernel_size"] = 0; }, Kind::Runtime, ""},
        {"channels zero", [&](json& c) { array(c)["channels"] = 0; }, Kind::Runtime, "Channel counts must be positive"},
        {"huge channel count", [&](json& c) { array(c)["channels"] = 1e12; }, Kind::Runtime, ""},
        {"group count zero", [&](json& c) { array(c)["groups_input"] = 0; }, Kind::Runtime, ""},
        {"FiLM group count zero", [&](json& c) { array(c)["conv_pre_film"] = {{"groups", 0}}; }, Kind::Runtime, ""},
        {"non-finite head scale", [&](json& c) { c["head_scale"] = 1e300; }, Kind::Runtime, ""},
        {"dilations not a list", [&](json& c) { array(c)["dilations"] = 3; }, Kind::AnyStandard, ""},
        {"missing layers", [&](json& c) { c.erase("layers"); }, Kind::AnyStandard, ""},
        {"missing head scale", [&](json& c) { c.erase("head_scale"); }, Kind::AnyStandard, ""},
        {"missing channels", [&](json& c) { array(c).erase("channels"); }, Kind::AnyStandard, ""},
        {"layer1x1 without groups", [&](json& c) { array(c)["layer1x1"] = {{"active", true}}; }, Kind::AnyStandard,
         ""},
        {"head1x1 without out_channels",
         [&](json& c) { array(c)["head1x1"] = {{"active", false}, {"groups", 1}}; }, Kind::AnyStandard, ""},
        {"gated flag not a bool", [&](json& c) { array(c)["gated"] = "yes"; }, Kind::AnyStandard, ""},
        {"unknown activation", [&](json& c) { array(c)["activation"] = "tanh"; }, Kind::Runtime,
         "Unknown activation type: tanh"},
    };
    for (const ErrorCase& c : cases) {
        json cfg = twoLayerConfig();
        c.edit(cfg);
        expectError(c, [&] { parse_config_json(cfg, 48000.0); });
    }
}

TEST(WaveNetConfig, NestingUpToTheLimitIsAccepted) {
    json cfg = twoLayerConfig();
    cfg["condition_dsp"] = nestedConditions(nam::wavenet::kMaxConditionDepth);
    const auto parsed = parse_config_json(cfg, 48000.0);
    ASSERT_NE(parsed.condition_dsp, nullptr);
    EXPECT_EQ(parsed.condition_dsp->NumOutputChannels(), 1);
}

TEST(WaveNetConfig, LayerArrayParamsRefusesListsOfTheWrongLength) {
    using nam::activations::ActivationConfig;
    const std::vector<ActivationConfig> two(2), three(3);
    const std::vector<GatingMode> modes2(2, GatingMode::NONE), modes1(1, GatingMode::NONE);
    const nam::wavenet::FiLMParams off;
    auto build = [&](const std::vector<ActivationConfig>& activations, const std::vector<GatingMode>& modes,
                     const std::vector<ActivationConfig>& secondaries) {
        return nam::wavenet::LayerArrayParams(1, 1, 1, 2, 2, 2, {1, 2}, activations, modes, true, 1, 1, {}, {}, secondaries,
                                              off, off, off, off, off, off, off, off);
    };
    const std::vector<ErrorCase> cases = {
        {"activations", nullptr, Kind::InvalidArgument,
         "LayerArrayParams: dilations size (2) must match activation_configs size (3)"},
        {"gating modes", nullptr, Kind::InvalidArgument,
         "LayerArrayParams: dilations size (2) must match gating_modes size (1)"},
        {"secondaries", nullptr, Kind::InvalidArgument,
         "LayerArrayParams: dilations size (2) must match secondary_activation_configs size (3)"},
    };
    expectError(cases[0], [&] { build(three, modes2, two); });
    expectError(cases[1], [&] { build(two, modes1, three); });
    expectError(cases[2], [&] { build(two, modes2, three); });
    EXPECT_NO_THROW(build(two, modes2, two));
}

}  // namespace
