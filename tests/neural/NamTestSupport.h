#pragma once

// Shared helpers of the nam library tests: scratch model files, model JSON builders, a naive
// double-precision FIR reference and small test-only architectures registered at run time.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "neural/nam/dsp.h"
#include "neural/nam/model_config.h"
#include "neural/nam/registry.h"
#include "tests/support/ModelFiles.h"
#include "tests/support/Signals.h"
#include "tests/support/TempFolder.h"

namespace nam_test {

using nlohmann::json;

// A scratch folder for model files, which takes JSON models as well as text.
class TempDir : public tolvane::test::TempFolder {
public:
    using TempFolder::write;
    std::filesystem::path write(const std::string& name, const json& model) const { return write(name, model.dump()); }
};

using tolvane::test::linearModel;

// The same model with "metadata": {"loudness": loudness}.
inline json withLoudness(json model, double loudness) {
    model["metadata"] = {{"loudness", loudness}};
    return model;
}

// y[t] = bias + sum_k taps[k] * x[t - k], x before the start being zero; in double.
inline std::vector<double> firReference(const std::vector<float>& taps, float bias, const std::vector<double>& x) {
    std::vector<double> y(x.size());
    for (size_t t = 0; t < x.size(); ++t) {
        double sum = bias;
        for (size_t k = 0; k < taps.size() && k <= t; ++k) sum += static_cast<double>(taps[k]) * x[t - k];
        y[t] = sum;
    }
    return y;
}

inline std::vector<float> randomVector(size_t n, unsigned seed, float scale = 1.0f) {
    return tolvane::test::noise(n, seed, scale);
}

// A test-only architecture whose behaviour the test supplies: construction, sizing and
// processing hooks. Registered under a unique name per use.
struct ScriptedModel : nam::DSP {
    std::function<void(int)> onSetMaxBufferSize;
    std::function<void(double**, double**, int)> onProcess;
    int prewarmSamples = 0;

    ScriptedModel() : nam::DSP(1, 1, 48000.0) {}
    int PrewarmSamples() override { return prewarmSamples; }
    void SetMaxBufferSize(int size) override {
        nam::DSP::SetMaxBufferSize(size);
        if (onSetMaxBufferSize) onSetMaxBufferSize(size);
    }
    void process(double** input, double** output, int frames) override {
        if (onProcess)
            onProcess(input, output, frames);
        else
            nam::DSP::process(input, output, frames);
    }
};

// Registers `name` so that files of that architecture build a ScriptedModel set up by `setup`.
inline void registerScriptedArchitecture(const std::string& name, std::function<void(ScriptedModel&)> setup) {
    struct Config : nam::ModelConfig {
        std::function<void(ScriptedModel&)> setup;
        std::unique_ptr<nam::DSP> create(std::vector<float>, double) override {
            auto model = std::make_unique<ScriptedModel>();
            setup(*model);
            return model;
        }
    };
    nam::register_config_parser(name, [setup](const json&, double) {
        auto config = std::make_unique<Config>();
        config->setup = setup;
        return config;
    });
}

inline json scriptedModelFile(const std::string& architecture) {
    return json{{"version", "0.5.0"}, {"architecture", architecture}, {"config", json::object()}, {"weights", json::array()}};
}

}  // namespace nam_test
