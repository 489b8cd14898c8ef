#pragma once

#include "platform/audiotoolbox/AUParameters.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tolvane::plugin {

// Names of a parameter's indexed values (for minValue, minValue + 1, ...) that the unit's tree does
// not carry itself, by parameter identifier.
using ValueNames = std::map<std::string, std::vector<std::string>>;

// One parameter of the unit's tree as a plug-in host sees it.
struct HostParameter {
    std::shared_ptr<AUParameter> parameter;
    std::string symbol;  // the tree identifier: stable across versions, used by sessions and presets
    std::string name;
    std::string unitLabel;
    float minValue = 0;
    float maxValue = 0;
    float defaultValue = 0;
    bool isBoolean = false;
    bool isInteger = false;
    std::vector<std::string> valueNames;
    std::optional<uint32_t> groupIndex;
};

struct HostParameterGroup {
    std::string symbol;
    std::string name;
};

// The tree flattened in tree order, each parameter with the innermost group it sits in.
struct ParameterLayout {
    std::vector<HostParameter> parameters;
    std::vector<HostParameterGroup> groups;
};

// Reads the tree as it stands: a freshly built tree holds its defaults, and those become the
// hosts' defaults.
ParameterLayout makeParameterLayout(const AUParameterTree& tree, const ValueNames& valueNames);

// The label hosts show after a value of this unit code ("%" for percent); a custom unit name wins.
std::string unitLabel(AudioUnitParameterUnit unit, const std::optional<std::string>& unitName);

// A host value made safe for the parameter: nothing for a non-finite value, otherwise clamped to
// the range and, for integer and boolean parameters, rounded to the nearest step, so that a host's
// normalisation round trip (5 -> 0.714... -> 4.9999) cannot select the wrong step.
std::optional<float> conformHostValue(const HostParameter& parameter, float value);

}  // namespace tolvane::plugin
