#include "platform/audiotoolbox/remote/ExtensionProtocol.h"

#include <cmath>
#include <stdexcept>

namespace remote {

using nlohmann::json;

namespace {

json encodeNode(const AUParameterNode& node) {
    if (const auto* parameter = dynamic_cast<const AUParameter*>(&node)) {
        json out{{"kind", "parameter"},
                 {"identifier", parameter->identifier()},
                 {"name", parameter->displayName()},
                 {"address", parameter->address()},
                 {"min", parameter->minValue()},
                 {"max", parameter->maxValue()},
                 {"unit", static_cast<uint32_t>(parameter->unit())},
                 {"flags", parameter->flags()},
                 {"value", parameter->value()}};
        if (parameter->unitName()) out["unitName"] = *parameter->unitName();
        if (parameter->valueStrings()) out["valueStrings"] = *parameter->valueStrings();
        if (parameter->dependentParameters()) out["dependentParameters"] = *parameter->dependentParameters();
        return out;
    }
    const auto& group = dynamic_cast<const AUParameterGroup&>(node);
    json children = json::array();
    for (const auto& child : group.children()) children.push_back(encodeNode(*child));
    return {{"kind", "group"}, {"identifier", group.identifier()}, {"name", group.displayName()}, {"children", children}};
}

// A number field of a node as T exactly; throws when missing or out of T's range.
template <class T>
T exactAt(const json& node, const char* key) {
    if (const auto number = exactNumber<T>(node.at(key))) return *number;
    throw std::invalid_argument(std::string(key) + " is not a number in range");
}

// Reads with exceptions (json's typed access throws on a wrong type); the caller turns them
// into an error value.
std::shared_ptr<AUParameterNode> decodeNode(const json& node, int depth) {
    constexpr int kDeepest = 16;
    if (depth > kDeepest) throw std::invalid_argument("parameter groups nest too deeply");
    const std::string kind = node.at("kind").get<std::string>();
    auto identifier = node.at("identifier").get<std::string>();
    auto name = node.at("name").get<std::string>();
    if (kind == "group") {
        std::vector<std::shared_ptr<AUParameterNode>> children;
        for (const auto& child : node.at("children")) children.push_back(decodeNode(child, depth + 1));
        return AUParameterTree::createGroupWithIdentifier(std::move(identifier), std::move(name), std::move(children));
    }
    if (kind != "parameter") throw std::invalid_argument("unknown node kind " + kind);
    const auto min = exactAt<AUValue>(node, "min");
    const auto max = exactAt<AUValue>(node, "max");
    std::optional<std::string> unitName;
    if (node.contains("unitName")) unitName = node["unitName"].get<std::string>();
    std::optional<std::vector<std::string>> valueStrings;
    if (node.contains("valueStrings")) valueStrings = node["valueStrings"].get<std::vector<std::string>>();
    std::optional<std::vector<int64_t>> dependent;
    if (node.contains("dependentParameters")) dependent = node["dependentParameters"].get<std::vector<int64_t>>();
    auto parameter = AUParameterTree::createParameterWithIdentifier(
        std::move(identifier), std::move(name), exactAt<AUParameterAddress>(node, "address"), min, max,
        static_cast<AudioUnitParameterUnit>(exactAt<uint32_t>(node, "unit")), std::move(unitName),
        exactAt<AudioUnitParameterOptions>(node, "flags"), std::move(valueStrings), std::move(dependent));
    parameter->setValue(exactAt<AUValue>(node, "value"));
    return parameter;
}

}  // namespace

std::string opOf(const json& message) {
    if (!message.is_object()) return {};
    const auto found = message.find("op");
    return found != message.end() && found->is_string() ? found->get<std::string>() : std::string{};
}

json encodeParameterTree(const AUParameterTree& tree) {
    json nodes = json::array();
    for (const auto& child : tree.children()) nodes.push_back(encodeNode(*child));
    return nodes;
}

std::shared_ptr<AUParameterTree> decodeParameterTree(const json& nodes, Error* error) {
    try {
        std::vector<std::shared_ptr<AUParameterNode>> children;
        for (const auto& node : nodes) children.push_back(decodeNode(node, 0));
        return AUParameterTree::createTreeWithChildren(std::move(children));
    } catch (const std::exception& e) {
        setError(error, "ExtensionProtocol", -1, std::string("malformed parameter tree: ") + e.what());
        return nullptr;
    }
}

json encodeFormat(const AVAudioFormat& format) {
    return {{"rate", format.sampleRate()}, {"channels", format.channelCount()}};
}

std::optional<AVAudioFormat> decodeFormat(const json& json) {
    if (!json.is_object() || !json.contains("rate") || !json.contains("channels")) return std::nullopt;
    const auto rate = exactNumber<double>(json["rate"]);
    const auto channels = exactNumber<uint32_t>(json["channels"]);
    if (!rate || !channels || *rate <= 0) return std::nullopt;
    return AVAudioFormat::standardFormat(*rate, *channels);
}

json encodeBuses(AUAudioUnitBusArray* buses) {
    json out = json::array();
    if (buses == nullptr) return out;
    for (std::size_t i = 0; i < buses->count(); ++i) {
        const AUAudioUnitBus& bus = (*buses)[i];
        out.push_back({{"format", encodeFormat(bus.format())}, {"supported", bus.supportedChannelCounts()}});
    }
    return out;
}

std::optional<std::vector<BusDescription>> decodeBuses(const json& json) {
    if (!json.is_array()) return std::nullopt;
    std::vector<BusDescription> buses;
    for (const auto& entry : json) {
        if (!entry.is_object() || !entry.contains("format")) return std::nullopt;
        auto format = decodeFormat(entry["format"]);
        if (!format) return std::nullopt;
        std::vector<uint32_t> supported;
        if (entry.contains("supported")) {
            for (const auto& count : entry["supported"]) {
                const auto channels = exactNumber<uint32_t>(count);
                if (!channels) return std::nullopt;
                supported.push_back(*channels);
            }
        }
        buses.push_back({*format, std::move(supported)});
    }
    return buses;
}

json encodeError(const Error& error) {
    return {{"domain", error.domain}, {"code", error.code}, {"message", error.localizedDescription}};
}

Error decodeError(const json& json) {
    Error error{"ExtensionProtocol", -1, "the extension reported a failure"};
    if (!json.is_object()) return error;
    if (json.contains("domain") && json["domain"].is_string()) error.domain = json["domain"].get<std::string>();
    if (json.contains("code")) error.code = exactNumber<int64_t>(json["code"]).value_or(error.code);
    if (json.contains("message") && json["message"].is_string())
        error.localizedDescription = json["message"].get<std::string>();
    return error;
}

json encodeValueChange(AUParameterAddress address, AUValue value, AUParameterAutomationEventType type) {
    return {{"op", op::set}, {"address", address}, {"value", value}, {"event", static_cast<uint32_t>(type)}};
}

AUParameterAutomationEventType decodeEventType(const json& message) {
    const auto found = message.find("event");
    const auto raw = found == message.end() ? std::nullopt : exactNumber<uint32_t>(*found);
    if (!raw) return AUParameterAutomationEventType::value;
    return *raw <= static_cast<uint32_t>(AUParameterAutomationEventType::release)
               ? static_cast<AUParameterAutomationEventType>(*raw)
               : AUParameterAutomationEventType::value;
}

json encodeContextName(const std::optional<std::string>& name) { return name ? json(*name) : json(nullptr); }

std::optional<std::string> decodeContextName(const json& json) {
    if (json.is_string()) return json.get<std::string>();
    return std::nullopt;
}

}  // namespace remote
