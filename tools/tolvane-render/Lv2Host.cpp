#include "tools/tolvane-render/Lv2Host.h"

#include "platform/foundation/NumberText.h"

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/parameters/parameters.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace tolvane::render {

namespace {

void fail(Error* error, RenderErrorCode code, std::string message) {
    setError(error, kRenderErrorDomain, code, std::move(message));
}

// Owns a node that lilv returned to the caller.
struct NodeDeleter {
    void operator()(LilvNode* node) const { lilv_node_free(node); }
};
using Node = std::unique_ptr<LilvNode, NodeDeleter>;

std::string nodeString(const LilvNode* node) { return node != nullptr ? lilv_node_as_string(node) : std::string(); }

// The map of URIs to small integers that plug-ins use for fast comparisons.
class UridMap {
public:
    UridMap() {
        map_.handle = this;
        map_.map = [](LV2_URID_Map_Handle handle, const char* uri) { return static_cast<UridMap*>(handle)->map(uri); };
        unmap_.handle = this;
        unmap_.unmap = [](LV2_URID_Unmap_Handle handle, LV2_URID urid) {
            return static_cast<UridMap*>(handle)->unmap(urid);
        };
    }
    LV2_URID map(const char* uri) {
        const auto found = std::find(uris_.begin(), uris_.end(), uri);
        if (found != uris_.end()) return static_cast<LV2_URID>(found - uris_.begin() + 1);
        uris_.emplace_back(uri);
        return static_cast<LV2_URID>(uris_.size());
    }
    const char* unmap(LV2_URID urid) const { return urid >= 1 && urid <= uris_.size() ? uris_[urid - 1].c_str() : nullptr; }
    LV2_URID_Map* mapFeature() { return &map_; }
    LV2_URID_Unmap* unmapFeature() { return &unmap_; }

private:
    std::vector<std::string> uris_;
    LV2_URID_Map map_{};
    LV2_URID_Unmap unmap_{};
};

enum class PortKind { audioIn, audioOut, controlIn, controlOut, atomIn, atomOut, cv };

constexpr std::size_t kAtomBufferBytes = 8192;

std::optional<float> parseNumber(const std::string& text) {
    const std::optional<float> value = parseFloat(text);
    if (!value || !std::isfinite(*value)) return std::nullopt;
    return value;
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// lilv fails on relative folders in LV2_PATH (it builds invalid file URIs from them), so they are
// made absolute before it reads the variable.
void makeLv2PathAbsolute() {
    const char* path = std::getenv("LV2_PATH");
    if (path == nullptr) return;
    std::string absolute;
    std::stringstream entries(path);
    for (std::string entry; std::getline(entries, entry, ':');) {
        if (entry.empty()) continue;
        if (entry.front() != '/' && entry.front() != '~') {
            std::error_code ec;
            entry = std::filesystem::absolute(entry, ec).lexically_normal().string();
        }
        absolute += (absolute.empty() ? "" : ":") + entry;
    }
    setenv("LV2_PATH", absolute.c_str(), 1);
}

}  // namespace

struct Lv2Host::State {
    LilvWorld* world = nullptr;
    const LilvPlugin* plugin = nullptr;
    LilvInstance* instance = nullptr;
    bool active = false;

    std::string uri;
    std::string name;
    std::vector<PortKind> kinds;
    std::vector<ControlInput> controls;
    std::vector<uint32_t> audioInputs;   // port indexes
    std::vector<uint32_t> audioOutputs;  // port indexes
    std::optional<uint32_t> latencyPort;

    UridMap urids;
    std::vector<float> controlValues;                 // one per port
    std::vector<std::vector<float>> audioBuffers;     // one per port (empty for other kinds)
    std::vector<std::vector<uint64_t>> atomBuffers;   // one per port (empty for other kinds)
    uint32_t maximumBlock = 0;

    int32_t minimumBlock = 1;  // the last block of a file may be as short as one frame
    int32_t blockLength = 0;
    float optionSampleRate = 0;
    std::vector<LV2_Options_Option> options;

    ~State() {
        if (instance != nullptr) {
            if (active) lilv_instance_deactivate(instance);
            lilv_instance_free(instance);
        }
        if (world != nullptr) lilv_world_free(world);
    }

    bool isA(const LilvPort* port, const char* classUri) const {
        Node node(lilv_new_uri(world, classUri));
        return lilv_port_is_a(plugin, port, node.get());
    }

    bool describePorts(Error* error) {
        const uint32_t count = lilv_plugin_get_num_ports(plugin);
        Node optional(lilv_new_uri(world, LV2_CORE__connectionOptional));
        for (uint32_t i = 0; i < count; ++i) {
            const LilvPort* port = lilv_plugin_get_port_by_index(plugin, i);
            const bool input = isA(port, LV2_CORE__InputPort);
            if (isA(port, LV2_CORE__AudioPort)) {
                kinds.push_back(input ? PortKind::audioIn : PortKind::audioOut);
                (input ? audioInputs : audioOutputs).push_back(i);
            } else if (isA(port, LV2_CORE__ControlPort)) {
                kinds.push_back(input ? PortKind::controlIn : PortKind::controlOut);
                if (input) controls.push_back(describeControl(i, port));
            } else if (isA(port, LV2_ATOM__AtomPort)) {
                kinds.push_back(input ? PortKind::atomIn : PortKind::atomOut);
            } else if (isA(port, LV2_CORE__CVPort)) {
                kinds.push_back(PortKind::cv);
            } else if (lilv_port_has_property(plugin, port, optional.get())) {
                kinds.push_back(PortKind::cv);  // left unconnected-safe: a zero buffer
            } else {
                fail(error, kErrorPluginUnusable,
                     uri + ": port " + nodeString(lilv_port_get_symbol(plugin, port)) + " has a type this host cannot connect");
                return false;
            }
        }
        if (lilv_plugin_has_latency(plugin)) latencyPort = lilv_plugin_get_latency_port_index(plugin);
        return true;
    }

    ControlInput describeControl(uint32_t index, const LilvPort* port) const {
        ControlInput control;
        control.index = index;
        control.symbol = nodeString(lilv_port_get_symbol(plugin, port));
        Node portName(lilv_port_get_name(plugin, port));
        control.name = nodeString(portName.get());
        LilvNode* def = nullptr;
        LilvNode* min = nullptr;
        LilvNode* max = nullptr;
        lilv_port_get_range(plugin, port, &def, &min, &max);
        Node defNode(def), minNode(min), maxNode(max);
        control.minValue = min ? lilv_node_as_float(min) : 0.0f;
        control.maxValue = max ? lilv_node_as_float(max) : 1.0f;
        control.defaultValue = def ? lilv_node_as_float(def) : control.minValue;
        Node sampleRate(lilv_new_uri(world, LV2_CORE__sampleRate));
        control.scaledByRate = lilv_port_has_property(plugin, port, sampleRate.get());
        if (LilvScalePoints* points = lilv_port_get_scale_points(plugin, port)) {
            LILV_FOREACH (scale_points, it, points) {
                const LilvScalePoint* point = lilv_scale_points_get(points, it);
                control.scalePoints.emplace_back(nodeString(lilv_scale_point_get_label(point)),
                                                 lilv_node_as_float(lilv_scale_point_get_value(point)));
            }
            lilv_scale_points_free(points);
        }
        return control;
    }

    bool checkRequiredFeatures(const std::vector<std::string>& provided, Error* error) const {
        LilvNodes* required = lilv_plugin_get_required_features(plugin);
        std::string missing;
        LILV_FOREACH (nodes, it, required) {
            const std::string feature = nodeString(lilv_nodes_get(required, it));
            if (std::find(provided.begin(), provided.end(), feature) == provided.end()) missing += " " + feature;
        }
        lilv_nodes_free(required);
        if (missing.empty()) return true;
        fail(error, kErrorPluginUnusable, uri + " requires features this host lacks:" + missing);
        return false;
    }

    void resetAtomBuffers() {
        for (std::size_t i = 0; i < kinds.size(); ++i) {
            if (atomBuffers[i].empty()) continue;
            auto* atom = reinterpret_cast<LV2_Atom*>(atomBuffers[i].data());
            if (kinds[i] == PortKind::atomIn) {
                atom->size = sizeof(LV2_Atom_Sequence_Body);
                atom->type = urids.map(LV2_ATOM__Sequence);
                reinterpret_cast<LV2_Atom_Sequence*>(atom)->body = LV2_Atom_Sequence_Body{0, 0};
            } else {
                atom->size = static_cast<uint32_t>(kAtomBufferBytes - sizeof(LV2_Atom));
                atom->type = urids.map(LV2_ATOM__Chunk);
            }
        }
    }
};

Lv2Host::Lv2Host(std::unique_ptr<State> state) : state_(std::move(state)) {}
Lv2Host::~Lv2Host() = default;

std::unique_ptr<Lv2Host> Lv2Host::open(const std::string& plugin, Error* error) {
    auto state = std::make_unique<State>();
    state->world = lilv_world_new();
    std::error_code ec;
    if (std::filesystem::is_directory(plugin, ec)) {
        std::string folder = std::filesystem::absolute(plugin, ec).lexically_normal().string();
        if (folder.back() != '/') folder += '/';
        Node bundle(lilv_new_file_uri(state->world, nullptr, folder.c_str()));
        lilv_world_load_bundle(state->world, bundle.get());
        const LilvPlugins* all = lilv_world_get_all_plugins(state->world);
        std::vector<const LilvPlugin*> found;
        LILV_FOREACH (plugins, it, all) {
            const LilvPlugin* candidate = lilv_plugins_get(all, it);
            if (lilv_node_equals(lilv_plugin_get_bundle_uri(candidate), bundle.get())) found.push_back(candidate);
        }
        if (found.size() != 1) {
            fail(error, kErrorPluginNotFound,
                 found.empty() ? "no LV2 plug-in in " + plugin
                               : plugin + " holds " + std::to_string(found.size()) + " plug-ins; name one by its URI");
            return nullptr;
        }
        state->plugin = found.front();
    } else {
        if (plugin.find(':') == std::string::npos) {
            fail(error, kErrorPluginNotFound, "no LV2 bundle folder at " + plugin + " (and it is not a plug-in URI)");
            return nullptr;
        }
        makeLv2PathAbsolute();
        lilv_world_load_all(state->world);
        Node uri(lilv_new_uri(state->world, plugin.c_str()));
        state->plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(state->world), uri.get());
        if (state->plugin == nullptr) {
            const char* path = std::getenv("LV2_PATH");
            fail(error, kErrorPluginNotFound,
                 "no LV2 plug-in " + plugin + " on LV2_PATH (" + (path ? path : "default folders") + ")");
            return nullptr;
        }
    }
    state->uri = nodeString(lilv_plugin_get_uri(state->plugin));
    Node name(lilv_plugin_get_name(state->plugin));
    state->name = name ? nodeString(name.get()) : state->uri;
    if (!state->describePorts(error)) return nullptr;
    return std::unique_ptr<Lv2Host>(new Lv2Host(std::move(state)));
}

const std::string& Lv2Host::uri() const { return state_->uri; }
const std::string& Lv2Host::name() const { return state_->name; }
uint32_t Lv2Host::audioInputCount() const { return static_cast<uint32_t>(state_->audioInputs.size()); }
uint32_t Lv2Host::audioOutputCount() const { return static_cast<uint32_t>(state_->audioOutputs.size()); }
const std::vector<ControlInput>& Lv2Host::controlInputs() const { return state_->controls; }

const ControlInput* Lv2Host::findControl(const std::string& symbol) const {
    for (const ControlInput& control : state_->controls) {
        if (control.symbol == symbol) return &control;
    }
    return nullptr;
}

bool Lv2Host::instantiate(double sampleRate, uint32_t maximumBlock, Error* error) {
    State& s = *state_;
    const std::vector<std::string> provided = {LV2_URID__map, LV2_URID__unmap, LV2_OPTIONS__options,
                                               LV2_BUF_SIZE__boundedBlockLength};
    if (!s.checkRequiredFeatures(provided, error)) return false;

    for (ControlInput& control : s.controls) {
        if (!control.scaledByRate) continue;
        const auto rate = static_cast<float>(sampleRate);
        control.minValue *= rate;
        control.maxValue *= rate;
        control.defaultValue *= rate;
    }
    s.maximumBlock = maximumBlock;
    s.blockLength = static_cast<int32_t>(maximumBlock);
    s.optionSampleRate = static_cast<float>(sampleRate);
    const LV2_URID intType = s.urids.map(LV2_ATOM__Int);
    const LV2_URID floatType = s.urids.map(LV2_ATOM__Float);
    s.options = {
        {LV2_OPTIONS_INSTANCE, 0, s.urids.map(LV2_BUF_SIZE__minBlockLength), sizeof(int32_t), intType, &s.minimumBlock},
        {LV2_OPTIONS_INSTANCE, 0, s.urids.map(LV2_BUF_SIZE__maxBlockLength), sizeof(int32_t), intType, &s.blockLength},
        {LV2_OPTIONS_INSTANCE, 0, s.urids.map(LV2_BUF_SIZE__nominalBlockLength), sizeof(int32_t), intType, &s.blockLength},
        {LV2_OPTIONS_INSTANCE, 0, s.urids.map(LV2_PARAMETERS__sampleRate), sizeof(float), floatType, &s.optionSampleRate},
        {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr},
    };

    LV2_Feature mapFeature{LV2_URID__map, s.urids.mapFeature()};
    LV2_Feature unmapFeature{LV2_URID__unmap, s.urids.unmapFeature()};
    LV2_Feature optionsFeature{LV2_OPTIONS__options, s.options.data()};
    LV2_Feature boundedFeature{LV2_BUF_SIZE__boundedBlockLength, nullptr};
    const LV2_Feature* features[] = {&mapFeature, &unmapFeature, &optionsFeature, &boundedFeature, nullptr};
    s.instance = lilv_plugin_instantiate(s.plugin, sampleRate, features);
    if (s.instance == nullptr) {
        fail(error, kErrorPluginUnusable, "cannot instantiate " + s.uri + " at " + std::to_string(sampleRate) + " Hz");
        return false;
    }

    const std::size_t ports = s.kinds.size();
    s.controlValues.assign(ports, 0.0f);
    s.audioBuffers.assign(ports, {});
    s.atomBuffers.assign(ports, {});
    for (const ControlInput& control : s.controls) s.controlValues[control.index] = control.defaultValue;
    for (uint32_t i = 0; i < ports; ++i) {
        void* location = nullptr;
        switch (s.kinds[i]) {
            case PortKind::audioIn:
            case PortKind::audioOut:
            case PortKind::cv:
                s.audioBuffers[i].assign(maximumBlock, 0.0f);
                location = s.audioBuffers[i].data();
                break;
            case PortKind::controlIn:
            case PortKind::controlOut: location = &s.controlValues[i]; break;
            case PortKind::atomIn:
            case PortKind::atomOut:
                s.atomBuffers[i].assign(kAtomBufferBytes / sizeof(uint64_t), 0);
                location = s.atomBuffers[i].data();
                break;
        }
        lilv_instance_connect_port(s.instance, i, location);
    }
    s.resetAtomBuffers();
    return true;
}

bool Lv2Host::setControl(const std::string& symbol, const std::string& text, Error* error) {
    const ControlInput* control = findControl(symbol);
    if (control == nullptr) {
        std::string known;
        for (const ControlInput& c : state_->controls) known += (known.empty() ? "" : ", ") + c.symbol;
        fail(error, kErrorUnknownParameter, "unknown parameter '" + symbol + "' (this plug-in has: " + known + ")");
        return false;
    }
    std::optional<float> value = parseNumber(text);
    for (const auto& [label, pointValue] : control->scalePoints) {
        if (!value && equalsIgnoringCase(label, text)) value = pointValue;
    }
    if (!value) {
        fail(error, kErrorBadValue, "'" + text + "' is not a number" +
                                        (control->scalePoints.empty() ? "" : " nor a value name") + " for " + symbol);
        return false;
    }
    if (*value < control->minValue || *value > control->maxValue) {
        std::ostringstream message;
        message << symbol << " = " << *value << " is outside its range " << control->minValue << " to "
                << control->maxValue;
        fail(error, kErrorBadValue, message.str());
        return false;
    }
    state_->controlValues[control->index] = *value;
    return true;
}

void Lv2Host::activate() {
    if (state_->active) return;
    lilv_instance_activate(state_->instance);
    state_->active = true;
}

void Lv2Host::deactivate() {
    if (!state_->active) return;
    lilv_instance_deactivate(state_->instance);
    state_->active = false;
}

void Lv2Host::run(uint32_t frames) {
    state_->resetAtomBuffers();
    lilv_instance_run(state_->instance, std::min(frames, state_->maximumBlock));
}

float* Lv2Host::audioInput(uint32_t channel) { return state_->audioBuffers.at(state_->audioInputs.at(channel)).data(); }

const float* Lv2Host::audioOutput(uint32_t channel) const {
    return state_->audioBuffers.at(state_->audioOutputs.at(channel)).data();
}

std::optional<float> Lv2Host::reportedLatency() const {
    if (!state_->latencyPort || state_->controlValues.empty()) return std::nullopt;
    return state_->controlValues.at(*state_->latencyPort);
}

}  // namespace tolvane::render
