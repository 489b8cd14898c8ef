#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "neural/nam/dsp.h"
#include "neural/nam/model_config.h"

// Loading `.nam` model files: the format-version check, the metadata, and the hand-off to the
// architecture registry (neural/nam/registry.h). Every failure is an exception; nothing here
// catches, and a load never touches any model the caller already holds.
namespace nam {

// Loads a model file. Pass a std::filesystem::path (a plain string would also convert to JSON).
// Only a regular file is read, without waiting, and only within the bounds of model_file.h.
std::unique_ptr<DSP> get_dsp(const std::filesystem::path& config_filename);
std::unique_ptr<DSP> get_dsp(const std::filesystem::path& config_filename, dspData& returned_config);
// Builds a model from an already parsed model object (same keys as a file).
std::unique_ptr<DSP> get_dsp(const nlohmann::json& config);
std::unique_ptr<DSP> get_dsp(const nlohmann::json& config, dspData& returned_config);
// Builds a model from a filled record; its weights are moved out.
std::unique_ptr<DSP> get_dsp(dspData& conf);

// Applies the metadata to the model that `config` creates, then prewarms it.
std::unique_ptr<DSP> create_dsp(std::unique_ptr<ModelConfig> config, std::vector<float> weights,
                                const ModelMetadata& metadata);
std::unique_ptr<ModelConfig> parse_model_config_json(const std::string& architecture, const nlohmann::json& config,
                                                     double sample_rate);

// "weights" as 32-bit floats; a missing key, a non-number or a value beyond float range throws.
std::vector<float> GetWeights(const nlohmann::json& j);
// "sample_rate", or -1.0 when absent.
double get_sample_rate_from_nam_file(const nlohmann::json& j);

ModelVersion ParseVersion(const std::string& version_text);
// Throws for versions below 0.5.0 or above 0.6.x; writes a warning line to stderr for 0.6.1+.
void verify_config_version(std::string version_text);

}  // namespace nam
