#include "plugin/ParameterLayout.h"

#include <algorithm>
#include <cmath>

namespace tolvane::plugin {

namespace {

struct LayoutBuilder {
    const ValueNames& valueNames;
    ParameterLayout layout;

    void addChildren(const AUParameterGroup& group, std::optional<uint32_t> groupIndex) {
        for (const auto& child : group.children()) {
            if (auto parameter = std::dynamic_pointer_cast<AUParameter>(child)) {
                addParameter(std::move(parameter), groupIndex);
            } else if (auto subgroup = std::dynamic_pointer_cast<AUParameterGroup>(child)) {
                const auto index = static_cast<uint32_t>(layout.groups.size());
                layout.groups.push_back({subgroup->identifier(), subgroup->displayName()});
                addChildren(*subgroup, index);
            }
        }
    }

    void addParameter(std::shared_ptr<AUParameter> parameter, std::optional<uint32_t> groupIndex) {
        HostParameter p;
        p.symbol = parameter->identifier();
        p.name = parameter->displayName();
        p.unitLabel = unitLabel(parameter->unit(), parameter->unitName());
        p.minValue = parameter->minValue();
        p.maxValue = parameter->maxValue();
        p.defaultValue = std::clamp(parameter->value(), p.minValue, p.maxValue);
        p.isBoolean = parameter->unit() == kAudioUnitParameterUnit_Boolean;
        p.isInteger = parameter->unit() == kAudioUnitParameterUnit_Indexed;
        p.valueNames = namesFor(*parameter);
        p.groupIndex = groupIndex;
        p.parameter = std::move(parameter);
        layout.parameters.push_back(std::move(p));
    }

    std::vector<std::string> namesFor(const AUParameter& parameter) const {
        if (parameter.valueStrings()) return *parameter.valueStrings();
        const auto found = valueNames.find(parameter.identifier());
        return found == valueNames.end() ? std::vector<std::string>{} : found->second;
    }
};

}  // namespace

ParameterLayout makeParameterLayout(const AUParameterTree& tree, const ValueNames& valueNames) {
    LayoutBuilder builder{valueNames, {}};
    builder.addChildren(tree, std::nullopt);
    return std::move(builder.layout);
}

std::string unitLabel(AudioUnitParameterUnit unit, const std::optional<std::string>& unitName) {
    if (unitName) return *unitName;
    switch (unit) {
        case kAudioUnitParameterUnit_Percent: return "%";
        case kAudioUnitParameterUnit_Seconds: return "s";
        case kAudioUnitParameterUnit_Hertz: return "Hz";
        case kAudioUnitParameterUnit_Decibels: return "dB";
        default: return {};
    }
}

std::optional<float> conformHostValue(const HostParameter& parameter, float value) {
    if (!std::isfinite(value)) return std::nullopt;
    float conformed = std::clamp(value, parameter.minValue, parameter.maxValue);
    if (parameter.isInteger || parameter.isBoolean) conformed = std::round(conformed);
    return conformed;
}

}  // namespace tolvane::plugin
