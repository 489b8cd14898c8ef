#include "plugin/ParameterState.h"

#include "platform/foundation/JSONReading.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace tolvane::plugin {

namespace {

constexpr const char* kFormat = "tolvane-parameters";
constexpr int kVersion = 1;
constexpr const char* kDomain = "tolvane.parameter-state";

bool refuse(Error* error, std::string message) {
    setError(error, kDomain, -1, std::move(message));
    return false;
}

std::optional<uint32_t> indexOfSymbol(const AudioUnitAdapter& adapter, const std::string& symbol) {
    const auto& parameters = adapter.layout().parameters;
    for (uint32_t i = 0; i < parameters.size(); ++i)
        if (parameters[i].symbol == symbol) return i;
    return std::nullopt;
}

// Finite, and finite still as the float a parameter holds (converting a larger double is undefined).
bool fitsAFloat(double value) {
    return std::isfinite(value) && std::abs(value) <= static_cast<double>(std::numeric_limits<float>::max());
}

}  // namespace

std::string saveParameterState(const AudioUnitAdapter& adapter) {
    nlohmann::json values = nlohmann::json::object();
    for (uint32_t i = 0; i < adapter.parameterCount(); ++i)
        values[adapter.layout().parameters[i].symbol] = adapter.parameterValue(i);
    return nlohmann::json{{"format", kFormat}, {"version", kVersion}, {"parameters", values}}.dump();
}

bool loadParameterState(AudioUnitAdapter& adapter, std::string_view document, Error* error) {
    // A session file is someone else's file: its size and nesting are bounded before any tree is built.
    if (document.size() > kLargestParameterState)
        return refuse(error, "larger than " + std::to_string(kLargestParameterState) +
                                 " bytes: not a Tolvane parameter state");
    const nlohmann::json root = parseBoundedJSON<nlohmann::json>(document);
    if (root.is_discarded())
        return refuse(error, "not JSON, or nested deeper than " + std::to_string(kMaxJSONNesting) +
                                 " levels: not a Tolvane parameter state");
    // Only checks that cannot throw: this runs under a host's C callback.
    if (!root.is_object()) return refuse(error, "not a Tolvane parameter state");
    const auto format = root.find("format");
    if (format == root.end() || !format->is_string() || format->get_ref<const std::string&>() != kFormat)
        return refuse(error, "not a Tolvane parameter state");
    const auto version = root.find("version");
    if (version == root.end() || !version->is_number_integer() || *version != kVersion)
        return refuse(error, "a Tolvane parameter state of another version");
    const auto parameters = root.find("parameters");
    if (parameters == root.end() || !parameters->is_object()) return refuse(error, "the state holds no parameters");

    // Everything is checked before anything is applied, so a bad document changes nothing.
    std::vector<std::pair<uint32_t, float>> changes;
    for (const auto& [symbol, value] : parameters->items()) {
        const std::optional<uint32_t> index = indexOfSymbol(adapter, symbol);
        if (!index) continue;
        if (!value.is_number() || !fitsAFloat(value.get<double>()))
            return refuse(error, "the value of " + symbol + " is not a finite number");
        changes.emplace_back(*index, static_cast<float>(value.get<double>()));
    }
    for (const auto& [index, value] : changes) adapter.setParameterValue(index, value);
    return true;
}

}  // namespace tolvane::plugin
