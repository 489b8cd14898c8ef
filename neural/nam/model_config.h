#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace nam {

class DSP;

// What a model file yields before a model is built; a plain value record.
struct dspData {
    std::string version;
    std::string architecture;
    nlohmann::json config;
    nlohmann::json metadata;  // null when the file has none
    std::vector<float> weights;
    double expected_sample_rate = -1.0;  // -1.0: the file does not say
};

// What the model factory needs besides the configuration.
struct ModelMetadata {
    std::string version;
    double expected_sample_rate = -1.0;
    std::optional<double> loudness;
    std::optional<double> input_level;
    std::optional<double> output_level;
};

struct ModelVersion {
    int major = 0;
    int minor = 0;
    int patch = 0;
};

// A parsed architecture configuration. It builds the model from the file's flat weight list,
// which is moved in; the configuration stays owned by its caller and is discarded afterwards.
class ModelConfig {
public:
    virtual ~ModelConfig() = default;
    virtual std::unique_ptr<DSP> create(std::vector<float> weights, double expected_sample_rate) = 0;
};

}  // namespace nam
