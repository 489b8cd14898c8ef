#include "neural/nam/get_dsp.h"

#include <cmath>
#include <iostream>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "neural/nam/model_file.h"
#include "neural/nam/registry.h"
#include "platform/foundation/DurableFile.h"

namespace nam {
namespace {

constexpr const char* kEarliestSupportedVersion = "0.5.0";
constexpr const char* kLatestFullySupportedVersion = "0.6.0";

std::string to_string(const ModelVersion& v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
}

int parse_version_part(const std::string& part, const std::string& version_text) {
    try {
        return std::stoi(part);
    } catch (const std::invalid_argument&) {
        throw std::invalid_argument("Invalid version string: " + version_text);
    } catch (const std::out_of_range&) {
        throw std::out_of_range("Version string out of range: " + version_text);
    }
}

bool is_older(const ModelVersion& a, const ModelVersion& b) {
    if (a.major != b.major) return a.major < b.major;
    if (a.minor != b.minor) return a.minor < b.minor;
    return a.patch < b.patch;
}

float weight_to_float(const nlohmann::json& value, size_t index) {
    const double d = value.get<double>();
    if (!std::isfinite(d) || std::fabs(d) > static_cast<double>(std::numeric_limits<float>::max()))
        throw std::runtime_error("Weight " + std::to_string(index) + " is not a finite 32-bit float");
    return static_cast<float>(d);
}

std::optional<double> optional_metadata_value(const nlohmann::json& metadata, const char* key) {
    if (!metadata.is_object() || !metadata.contains(key) || metadata.at(key).is_null()) return std::nullopt;
    return metadata.at(key).get<double>();
}

nlohmann::json parse_file(const std::filesystem::path& path) {
    Error error;
    std::optional<std::string> text = readWholeFile(path, &error, kMaxModelFileBytes);
    if (!text) {
        // A missing file is the one failure readWholeFile reports without an error.
        if (error.localizedDescription.empty()) throw std::runtime_error("Config file doesn't exist!\n");
        throw std::runtime_error("Cannot load the model: " + error.localizedDescription);
    }
    return parse_model_text(std::move(*text), path);
}

}  // namespace

ModelVersion ParseVersion(const std::string& version_text) {
    std::istringstream stream(version_text);
    std::string major, minor, patch;
    std::getline(stream, major, '.');
    std::getline(stream, minor, '.');
    std::getline(stream, patch);
    ModelVersion version;
    version.major = parse_version_part(major, version_text);
    version.minor = parse_version_part(minor, version_text);
    version.patch = parse_version_part(patch, version_text);
    if (version.major < 0 || version.minor < 0 || version.patch < 0)
        throw std::invalid_argument("Negative version component: " + version_text);
    return version;
}

void verify_config_version(std::string version_text) {
    const ModelVersion version = ParseVersion(version_text);
    const ModelVersion latest = ParseVersion(kLatestFullySupportedVersion);
    const ModelVersion earliest = ParseVersion(kEarliestSupportedVersion);

    if (is_older(version, earliest))
        throw std::runtime_error("Model config is an unsupported version " + version_text +
                                 ". The earliest supported version is " + to_string(earliest) +
                                 ". Try either converting the model to a more recent version, or update your "
                                 "version of the NAM plugin.");
    if (latest.major < version.major || latest.minor < version.minor)
        throw std::runtime_error("Model config is an unsupported version " + version_text +
                                 ". The latest fully-supported version is " + to_string(latest));
    if (version.major == 0 && version.minor == 6 && version.patch > 0) {
        std::cerr << "Model config is a partially-supported version " << version_text
                  << ". The latest fully-supported version is " << to_string(latest)
                  << ". Continuing with partial support." << std::endl;
    }
}

std::vector<float> GetWeights(const nlohmann::json& j) {
    if (!j.contains("weights")) throw std::runtime_error("Corrupted model file is missing weights.");
    const nlohmann::json& values = j.at("weights");
    if (!values.is_array())
        throw nlohmann::json::type_error::create(302, "type must be array, but is " + std::string(values.type_name()),
                                                 &values);
    std::vector<float> weights;
    weights.reserve(values.size());
    for (const auto& value : values) weights.push_back(weight_to_float(value, weights.size()));
    return weights;
}

double get_sample_rate_from_nam_file(const nlohmann::json& j) {
    return j.contains("sample_rate") ? j.at("sample_rate").get<double>() : -1.0;
}

std::unique_ptr<ModelConfig> parse_model_config_json(const std::string& architecture, const nlohmann::json& config,
                                                     double sample_rate) {
    return lookup_config_parser(architecture, config, sample_rate);
}

std::unique_ptr<DSP> create_dsp(std::unique_ptr<ModelConfig> config, std::vector<float> weights,
                                const ModelMetadata& metadata) {
    std::unique_ptr<DSP> model = config->create(std::move(weights), metadata.expected_sample_rate);
    if (metadata.loudness) model->SetLoudness(*metadata.loudness);
    if (metadata.input_level) model->SetInputLevel(*metadata.input_level);
    if (metadata.output_level) model->SetOutputLevel(*metadata.output_level);
    model->prewarm();
    return model;
}

std::unique_ptr<DSP> get_dsp(dspData& conf) {
    verify_config_version(conf.version);
    ModelMetadata metadata;
    metadata.version = conf.version;
    metadata.expected_sample_rate = conf.expected_sample_rate;
    metadata.loudness = optional_metadata_value(conf.metadata, "loudness");
    metadata.input_level = optional_metadata_value(conf.metadata, "input_level_dbu");
    metadata.output_level = optional_metadata_value(conf.metadata, "output_level_dbu");

    std::unique_ptr<ModelConfig> config = lookup_config_parser(conf.architecture, conf.config, conf.expected_sample_rate);
    return create_dsp(std::move(config), std::move(conf.weights), metadata);
}

std::unique_ptr<DSP> get_dsp(const nlohmann::json& config, dspData& returned_config) {
    verify_config_version(config.at("version").get<std::string>());
    const nlohmann::json& architecture = config.at("architecture");
    const nlohmann::json& architecture_config = config.at("config");
    std::vector<float> weights = GetWeights(config);

    returned_config.version = config.at("version").get<std::string>();
    returned_config.architecture = architecture.get<std::string>();
    returned_config.config = architecture_config;
    returned_config.metadata = config.contains("metadata") ? config.at("metadata") : nlohmann::json();
    returned_config.weights = std::move(weights);
    returned_config.expected_sample_rate = get_sample_rate_from_nam_file(config);

    dspData copy = returned_config;
    return get_dsp(copy);
}

std::unique_ptr<DSP> get_dsp(const nlohmann::json& config) {
    dspData scratch;
    return get_dsp(config, scratch);
}

std::unique_ptr<DSP> get_dsp(const std::filesystem::path& config_filename, dspData& returned_config) {
    const nlohmann::json j = parse_file(config_filename);
    get_dsp(j, returned_config);  // validates and builds once; the model is discarded
    dspData copy = returned_config;
    return get_dsp(copy);
}

std::unique_ptr<DSP> get_dsp(const std::filesystem::path& config_filename) {
    dspData scratch;
    return get_dsp(config_filename, scratch);
}

}  // namespace nam
