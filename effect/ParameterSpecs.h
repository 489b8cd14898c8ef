#pragma once

#include "platform/audiotoolbox/AUParameters.h"

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// The static description of the effect's parameters, from which each unit builds its tree.

struct ParameterSpec {
    std::string identifier;
    std::string name;
    AUParameterAddress address = 0;
    AUValue minValue = 0;
    AUValue maxValue = 0;
    AUValue defaultValue = 0;
    AudioUnitParameterUnit units = kAudioUnitParameterUnit_Generic;
    std::optional<std::string> unitName;
    AudioUnitParameterOptions flags = 0;
    std::optional<std::vector<std::string>> valueStrings;
    std::optional<std::vector<int64_t>> dependentParameters;
};

struct ParameterGroupSpec;
using NodeSpec = std::variant<ParameterSpec, ParameterGroupSpec>;

struct ParameterGroupSpec {
    std::string identifier;
    std::string name;
    std::vector<NodeSpec> children;
};

struct ParameterTreeSpec {
    std::vector<NodeSpec> children;
};

// Parameter addresses, shared by the effect, the panel and the standalone application.
namespace ParameterAddress {
inline constexpr AUParameterAddress compressor = 0;  // knob 1
inline constexpr AUParameterAddress wowFlutter = 1;  // knob 3
inline constexpr AUParameterAddress crackle = 2;     // knob 2
inline constexpr AUParameterAddress effectMode = 3;
inline constexpr AUParameterAddress hissOn = 4;
inline constexpr AUParameterAddress outputLevel = 5;
inline constexpr AUParameterAddress amFmMode = 7;
inline constexpr AUParameterAddress monoSumOn = 8;
inline constexpr AUParameterAddress hissLevel = 9;
}  // namespace ParameterAddress

std::vector<NodeSpec> makeGlobalGroupSpec();
std::vector<NodeSpec> makeParameterTreeSpec();
// The shared specification, built once per process on first use (thread-safe).
const ParameterTreeSpec& makeParameterSpecs();

// One platform node for each described node, in order; each parameter starts at its default value.
std::vector<std::shared_ptr<AUParameterNode>> buildParameterTree(const std::vector<NodeSpec>& nodes);
