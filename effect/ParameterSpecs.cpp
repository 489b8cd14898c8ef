#include "effect/ParameterSpecs.h"

namespace {

constexpr AudioUnitParameterOptions kReadWrite = kAudioUnitParameterFlag_IsReadable | kAudioUnitParameterFlag_IsWritable;

ParameterSpec parameter(std::string identifier, std::string name, AUParameterAddress address, AUValue max,
                        AUValue defaultValue, AudioUnitParameterUnit units) {
    return ParameterSpec{std::move(identifier), std::move(name), address, 0, max, defaultValue, units,
                         std::nullopt, kReadWrite, std::nullopt, std::nullopt};
}

std::shared_ptr<AUParameterNode> buildNode(const NodeSpec& node);

std::shared_ptr<AUParameterNode> buildParameter(const ParameterSpec& s) {
    auto p = AUParameterTree::createParameterWithIdentifier(s.identifier, s.name, s.address, s.minValue, s.maxValue, s.units,
                                              s.unitName, s.flags, s.valueStrings, s.dependentParameters);
    // Not in a tree yet, so this reaches no observer: it only sets the starting value.
    p->setValue(s.defaultValue);
    return p;
}

std::shared_ptr<AUParameterNode> buildNode(const NodeSpec& node) {
    if (const auto* p = std::get_if<ParameterSpec>(&node)) return buildParameter(*p);
    const auto& g = std::get<ParameterGroupSpec>(node);
    return AUParameterTree::createGroupWithIdentifier(g.identifier, g.name, buildParameterTree(g.children));
}

}  // namespace

std::vector<NodeSpec> makeGlobalGroupSpec() {
    return {
        parameter("effectMode", "Effect Mode", ParameterAddress::effectMode, 7, 0, kAudioUnitParameterUnit_Indexed),
        parameter("hissOn", "Hiss", ParameterAddress::hissOn, 1, 0, kAudioUnitParameterUnit_Boolean),
        parameter("amFmMode", "AM/FM", ParameterAddress::amFmMode, 1, 0, kAudioUnitParameterUnit_Boolean),
        parameter("monoSumOn", "Mono Sum", ParameterAddress::monoSumOn, 1, 0, kAudioUnitParameterUnit_Boolean),
        parameter("hissLevel", "Hiss Level", ParameterAddress::hissLevel, 100, 40, kAudioUnitParameterUnit_Percent),
    };
}

std::vector<NodeSpec> makeParameterTreeSpec() {
    return {
        parameter("compressor", "Knob 1", ParameterAddress::compressor, 100, 50, kAudioUnitParameterUnit_Percent),
        parameter("crackle", "Knob 2", ParameterAddress::crackle, 100, 0, kAudioUnitParameterUnit_Percent),
        parameter("wowFlutter", "Knob 3", ParameterAddress::wowFlutter, 100, 0, kAudioUnitParameterUnit_Percent),
        parameter("outputLevel", "Output", ParameterAddress::outputLevel, 100, 75, kAudioUnitParameterUnit_Percent),
        ParameterGroupSpec{"global", "Global", makeGlobalGroupSpec()},
    };
}

const ParameterTreeSpec& makeParameterSpecs() {
    static const ParameterTreeSpec specs{makeParameterTreeSpec()};
    return specs;
}

std::vector<std::shared_ptr<AUParameterNode>> buildParameterTree(const std::vector<NodeSpec>& nodes) {
    std::vector<std::shared_ptr<AUParameterNode>> out;
    out.reserve(nodes.size());
    for (const auto& node : nodes) out.push_back(buildNode(node));
    return out;
}
