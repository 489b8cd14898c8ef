#include "neural/nam/registry.h"

#include <algorithm>
#include <stdexcept>

namespace nam {

ConfigParserRegistry& ConfigParserRegistry::instance() {
    // Deliberately never destroyed: registrars and loads may run during static (de)initialisation.
    static ConfigParserRegistry* const registry = new ConfigParserRegistry();
    return *registry;
}

void ConfigParserRegistry::add(const std::string& name, ConfigParserFunction parser) {
    if (_parsers.contains(name)) throw std::runtime_error("Config parser already registered for: " + name);
    _parsers.emplace(name, std::move(parser));
}

bool ConfigParserRegistry::has(const std::string& name) const { return _parsers.contains(name); }

std::unique_ptr<ModelConfig> ConfigParserRegistry::parse(const std::string& name, const nlohmann::json& config,
                                                         double expected_sample_rate) const {
    const auto found = _parsers.find(name);
    if (found == _parsers.end()) throw std::runtime_error("No config parser registered for architecture: " + name);
    return found->second(config, expected_sample_rate);
}

std::vector<std::string> ConfigParserRegistry::names() const {
    std::vector<std::string> result;
    result.reserve(_parsers.size());
    for (const auto& entry : _parsers) result.push_back(entry.first);
    std::sort(result.begin(), result.end());
    return result;
}

void register_config_parser(const std::string& name, ConfigParserFunction parser) {
    ConfigParserRegistry::instance().add(name, std::move(parser));
}

std::unique_ptr<ModelConfig> lookup_config_parser(const std::string& name, const nlohmann::json& config,
                                                  double expected_sample_rate) {
    return ConfigParserRegistry::instance().parse(name, config, expected_sample_rate);
}

}  // namespace nam
