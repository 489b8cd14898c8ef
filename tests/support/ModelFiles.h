#pragma once

// The two model file formats the effect loads, written by the tests themselves: Linear `.nam`
// models and the VINYL models' LSTM state dictionaries.

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace tolvane::test {

// A Linear model file: taps t[0..rf-1] (t[0] on the current sample), then the bias if any. [1]
// is the identity and [g] a gain.
inline nlohmann::json linearModel(const std::vector<float>& taps, std::optional<float> bias = std::nullopt,
                                  const std::string& version = "0.5.4") {
    nlohmann::json weights = taps;
    if (bias) weights.push_back(*bias);
    return nlohmann::json{{"version", version},
                          {"architecture", "Linear"},
                          {"config", {{"receptive_field", taps.size()}, {"bias", bias.has_value()}}},
                          {"weights", weights},
                          {"sample_rate", 48000}};
}

// The tensors of a VINYL model file, one LSTM layer of 40 cells and a dense read-out, in the
// file's own layout: gate blocks i, f, g, o, matrices as lists of rows. All zeros, as made, is
// a model that adds nothing, so its player is the identity.
struct VinylModelFile {
    static constexpr int kHidden = 40;
    static constexpr int kGates = 4 * kHidden;
    using Rows = std::vector<std::vector<float>>;

    Rows inputWeights = Rows(kGates, std::vector<float>(1, 0.0f));
    Rows recurrentWeights = Rows(kGates, std::vector<float>(kHidden, 0.0f));
    std::vector<float> inputBias = std::vector<float>(kGates, 0.0f);
    std::vector<float> recurrentBias = std::vector<float>(kGates, 0.0f);
    Rows denseWeights = Rows(1, std::vector<float>(kHidden, 0.0f));
    std::vector<float> denseBias = std::vector<float>(1, 0.0f);

    nlohmann::json toJson() const {
        return nlohmann::json{{"state_dict",
                               {{"rec.weight_ih_l0", inputWeights},
                                {"rec.weight_hh_l0", recurrentWeights},
                                {"rec.bias_ih_l0", inputBias},
                                {"rec.bias_hh_l0", recurrentBias},
                                {"lin.weight", denseWeights},
                                {"lin.bias", denseBias}}}};
    }
};

}  // namespace tolvane::test
