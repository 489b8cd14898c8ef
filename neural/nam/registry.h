#pragma once

// The architecture registry: architecture name -> configuration parser.
//
// How an architecture registers itself
// ------------------------------------
// 1. Give it a namespace (nam::<arch>) with a configuration record derived from nam::ModelConfig
//    whose `create(weights, expected_sample_rate)` builds the model, and a parser
//        std::unique_ptr<nam::ModelConfig> create_config(const nlohmann::json& config, double sample_rate);
//    Read every number through neural/nam/config_values.h (64-bit, range-checked, capped by
//    neural/nam/limits.h) so an untrusted file cannot overflow sizes or ask for huge buffers.
// 2. In the architecture's .cpp file (never in a header), at namespace scope:
//        namespace { const nam::ConfigParserRegistrar registrar{"MyArch", nam::myarch::create_config}; }
//    The registrar runs during static initialisation; order does not matter because the
//    registry is created on first use. Registering a name twice throws at start-up.
// 3. Add the .cpp to neural/nam/CMakeLists.txt. The `nam` archive is linked whole into every
//    consumer (see neural/CMakeLists.txt), so the registrar's object file is never dropped even
//    though nothing names its symbols. Consumers link `tolvane_neural`, never `nam` directly.
//
// Weights: the model's constructor receives the file's flat float list and must check the total
// count (computed in 64-bit from the configuration) before it allocates anything sized by the
// configuration; each layer then consumes its share in a fixed order through a
// nam::weights_it passed by reference ("weights then bias").

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "neural/nam/model_config.h"

namespace nam {

using ConfigParserFunction =
    std::function<std::unique_ptr<ModelConfig>(const nlohmann::json& config, double expected_sample_rate)>;

class ConfigParserRegistry {
public:
    // The process-wide registry, created on first use and never destroyed.
    static ConfigParserRegistry& instance();

    // Throws std::runtime_error "Config parser already registered for: <name>" on a duplicate.
    void add(const std::string& name, ConfigParserFunction parser);
    bool has(const std::string& name) const;
    // Throws std::runtime_error "No config parser registered for architecture: <name>".
    std::unique_ptr<ModelConfig> parse(const std::string& name, const nlohmann::json& config,
                                       double expected_sample_rate) const;
    // Registered names, sorted.
    std::vector<std::string> names() const;

private:
    ConfigParserRegistry() = default;
    std::unordered_map<std::string, ConfigParserFunction> _parsers;
};

void register_config_parser(const std::string& name, ConfigParserFunction parser);
std::unique_ptr<ModelConfig> lookup_config_parser(const std::string& name, const nlohmann::json& config,
                                                  double expected_sample_rate);

// Registers one architecture from a static initialiser (see the comment at the top).
struct ConfigParserRegistrar {
    ConfigParserRegistrar(const std::string& name, ConfigParserFunction parser) {
        register_config_parser(name, std::move(parser));
    }
};

}  // namespace nam
