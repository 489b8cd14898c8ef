#pragma once

// Model files for the WaveNet tests: layer-array and model builders with seeded weights of the
// exact count, and a runner that feeds a model block by block.

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "neural/nam/dsp.h"
#include "neural/nam/get_dsp.h"
#include "tests/neural/WaveNetReference.h"

namespace wavenet_test {

using nlohmann::json;

// A layer array with only the required keys.
inline json layerArray(int inputSize, int conditionSize, int channels, int headSize, int kernelSize,
                       std::vector<int> dilations, bool headBias = true, json activation = "Tanh") {
    return json{{"input_size", inputSize},   {"condition_size", conditionSize},
                {"channels", channels},      {"head_size", headSize},
                {"kernel_size", kernelSize}, {"dilations", dilations},
                {"activation", activation},  {"head_bias", headBias}};
}

inline json config(std::vector<json> arrays, double headScale = 0.02) {
    return json{{"layers", arrays}, {"head", nullptr}, {"head_scale", headScale}};
}

inline std::vector<float> randomWeights(size_t count, unsigned seed, float scale) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-scale, scale);
    std::vector<float> weights(count);
    for (float& w : weights) w = dist(rng);
    return weights;
}

inline json model(const json& cfg, const std::vector<float>& weights, double sampleRate = 48000.0) {
    return json{{"version", "0.5.4"},
                {"architecture", "WaveNet"},
                {"config", cfg},
                {"weights", weights},
                {"sample_rate", sampleRate}};
}

// A model with seeded random weights of exactly the count the configuration asks for.
inline json randomModel(const json& cfg, unsigned seed, float scale = 0.3f) {
    return model(cfg, randomWeights(wavenet_ref::weight_count(cfg), seed, scale));
}

// A small WaveNet that turns in_channels inputs into out_channels outputs, to condition others.
inline json conditionModel(int inChannels, int outChannels) {
    json cfg = config({layerArray(inChannels, inChannels, 2, outChannels, 2, {1})});
    cfg["in_channels"] = inChannels;
    return randomModel(cfg, 9);
}

// Two arrays using every layer feature at once: per-layer gating modes, a bottleneck with layer
// and head 1x1s, FiLM slots, and a conditioning model with two output channels.
inline json everyFeatureModel() {
    json first = layerArray(1, 2, 4, 3, 3, {1, 2, 4});
    first["gating_mode"] = {"gated", "blended", "none"};
    first["bottleneck"] = 3;
    first["head1x1"] = {{"active", true}, {"out_channels", 3}, {"groups", 1}};
    for (const char* key : {"conv_pre_film", "input_mixin_post_film", "activation_post_film", "head1x1_post_film"})
        first[key] = json::object();
    json cfg = config({first, layerArray(4, 2, 3, 1, 2, {1, 8})});
    cfg["condition_dsp"] = conditionModel(1, 2);
    return randomModel(cfg, 8);
}

// The two-array model the effect's LO-FI and FILLDRIVE modes are sized for.
inline json typicalConfig(int wide = 16, int narrow = 8) {
    const std::vector<int> dilations = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512};
    json first = layerArray(1, 1, wide, narrow, 3, dilations, false);
    first["gated"] = false;
    json second = layerArray(wide, 1, narrow, 1, 3, dilations, true);
    second["gated"] = false;
    return config({first, second});
}

// Smooth noise around a few sines, mono.
inline std::vector<double> testSignal(size_t frames, unsigned seed, double level = 0.5) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 0.1);
    std::vector<double> x(frames);
    for (size_t t = 0; t < frames; ++t)
        x[t] = level * (0.6 * std::sin(0.013 * t) + 0.3 * std::sin(0.17 * t + 1.0) + noise(rng));
    return x;
}

// Runs one-input models block by block; returns [channel][frame].
inline wavenet_ref::Signal runBlocks(nam::DSP& dsp, const std::vector<double>& x, const std::vector<int>& blocks) {
    const int outputs = dsp.NumOutputChannels();
    wavenet_ref::Signal y(outputs, std::vector<double>(x.size(), 0.0));
    std::vector<double> in(x);
    size_t at = 0;
    for (size_t b = 0; at < x.size(); ++b) {
        const int n = static_cast<int>(std::min<size_t>(blocks[b % blocks.size()], x.size() - at));
        double* input = in.data() + at;
        std::vector<double*> output(outputs);
        for (int c = 0; c < outputs; ++c) output[c] = y[c].data() + at;
        dsp.process(&input, output.data(), n);
        at += n;
    }
    return y;
}

// The reference over `lead` zeros followed by x, without the lead.
inline wavenet_ref::Signal referenceOutput(const json& modelFile, const std::vector<double>& x, size_t lead) {
    wavenet_ref::Signal input(1, std::vector<double>(lead, 0.0));
    input[0].insert(input[0].end(), x.begin(), x.end());
    wavenet_ref::Signal y = wavenet_ref::run(modelFile, input);
    for (auto& row : y) row.erase(row.begin(), row.begin() + static_cast<long>(lead));
    return y;
}

inline double largestDifference(const wavenet_ref::Signal& a, const wavenet_ref::Signal& b) {
    double worst = 0.0;
    for (size_t c = 0; c < a.size(); ++c)
        for (size_t t = 0; t < a[c].size(); ++t) worst = std::max(worst, std::fabs(a[c][t] - b[c][t]));
    return worst;
}

inline double largestMagnitude(const wavenet_ref::Signal& a) {
    double largest = 0.0;
    for (const auto& row : a)
        for (double v : row) largest = std::max(largest, std::fabs(v));
    return largest;
}

}  // namespace wavenet_test
