#pragma once

// The model file formats the effect loads, written by the tests themselves: Linear and ConvNet
// `.nam` models and the VINYL models' LSTM state dictionaries.

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/Signals.h"

namespace tolvane::test {

// `depth` arrays, each the only element of the one around it: a member no model reader needs,
// deeper than any reader takes.
inline nlohmann::json nestedArrays(int depth) {
    nlohmann::json value = nlohmann::json::array();
    for (int level = 1; level < depth; ++level) value = nlohmann::json::array({value});
    return value;
}

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

// A ConvNet with one input and one output: kernel-2 blocks of `channels` channels, one per
// dilation, each with its bias or (batchnorm) its normalisation record, then the head.
struct MonoConvNet {
    int channels = 2;
    std::vector<int> dilations = {1};
    bool batchnorm = false;
    std::string activation = "Tanh";

    std::size_t weightCount() const {
        std::size_t count = 0;
        for (std::size_t b = 0; b < dilations.size(); ++b) {
            const std::size_t in = b == 0 ? 1 : static_cast<std::size_t>(channels);
            count += 2 * channels * in + (batchnorm ? 4 * channels + 1 : channels);
        }
        return count + channels + 1;
    }

    // Seeded weights of the right count, uniform in [-amplitude, amplitude]; batch-norm variances
    // positive and epsilons small.
    std::vector<float> seededWeights(unsigned seed, float amplitude) const {
        std::vector<float> weights = noise(weightCount(), seed, amplitude);
        if (!batchnorm) return weights;
        std::size_t at = 0;
        for (std::size_t b = 0; b < dilations.size(); ++b) {
            at += 2 * channels * (b == 0 ? 1 : static_cast<std::size_t>(channels));
            for (int i = 0; i < channels; ++i) weights[at + channels + i] = 1.0f + std::fabs(weights[at + i]);
            weights[at + 4 * channels] = 1e-5f;
            at += 4 * channels + 1;
        }
        return weights;
    }

    nlohmann::json toJson(const std::vector<float>& weights, double sampleRate = 48000) const {
        return nlohmann::json{
            {"version", "0.5.4"},
            {"architecture", "ConvNet"},
            {"config", {{"channels", channels}, {"dilations", dilations}, {"batchnorm", batchnorm}, {"activation", activation}}},
            {"weights", weights},
            {"sample_rate", sampleRate}};
    }
};

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

    // Every weight drawn from seeded noise, uniform in [-amplitude, amplitude]: a dense model.
    static VinylModelFile seeded(unsigned seed, float amplitude) {
        VinylModelFile file;
        const std::vector<float> values = noise(kGates * (kHidden + 3) + kHidden + 1, seed, amplitude);
        std::size_t at = 0;
        for (auto& row : file.inputWeights) row[0] = values[at++];
        for (auto& row : file.recurrentWeights)
            for (float& v : row) v = values[at++];
        for (float& v : file.inputBias) v = values[at++];
        for (float& v : file.recurrentBias) v = values[at++];
        for (float& v : file.denseWeights[0]) v = values[at++];
        file.denseBias[0] = values[at];
        return file;
    }

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
