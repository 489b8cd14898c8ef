// The VST3 and CLAP binaries: their entry points, loaded and called as a host does, and their
// resources found from the loaded binary.

#include "tests/plugin/PluginTestSupport.h"
#include "tests/plugin/Vst3TestSupport.h"

#include "clap/entry.h"
#include "clap/ext/latency.h"
#include "clap/ext/params.h"
#include "clap/ext/state.h"
#include "clap/ext/thread-check.h"
#include "clap/plugin-factory.h"
#include "travesty/bstream.h"
#include "travesty/component.h"
#include "travesty/factory.h"

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstring>
#include <algorithm>
#include <sstream>
#include <map>
#include <filesystem>

namespace tolvane::test {
namespace {

namespace fs = std::filesystem;

fs::path resolved(const fs::path& path) { return fs::weakly_canonical(path); }

void expectResourcesBeside(const void* addressInBinary, const fs::path& expectedFolder) {
    const Bundle bundle = Bundle::containingAddress(addressInBinary);
    EXPECT_EQ(resolved(bundle.resourcePath()), resolved(expectedFolder));
    EXPECT_TRUE(bundle.URLForResource("tv-vinyl-50", "json").has_value());
    EXPECT_TRUE(bundle.URLForResource("hiss", "wav").has_value());
}

struct Vst3Case {
    const char* bundle;
    const char* name;
};

// Names the case in test listings (the default would print the structure's bytes).
void PrintTo(const Vst3Case& c, std::ostream* out) { *out << c.bundle; }

class Vst3Binary : public ::testing::TestWithParam<Vst3Case> {};

TEST_P(Vst3Binary, ExportsItsEntryPointsAndDescribesTheEffect) {
    const fs::path bundle = fs::path(TOLVANE_VST3_DIR) / GetParam().bundle;
    const fs::path binary = bundle / "Contents" / "x86_64-linux" / (fs::path(GetParam().bundle).stem().string() + ".so");
    Library library(binary);
    ASSERT_NE(library.handle(), nullptr) << dlerror();
    auto moduleEntry = reinterpret_cast<bool (*)(void*)>(library.symbol("ModuleEntry"));
    auto moduleExit = reinterpret_cast<bool (*)()>(library.symbol("ModuleExit"));
    auto getFactory = reinterpret_cast<void* (*)()>(library.symbol("GetPluginFactory"));
    ASSERT_NE(moduleEntry, nullptr);
    ASSERT_NE(moduleExit, nullptr);
    ASSERT_NE(getFactory, nullptr);
    EXPECT_EQ(library.symbol("lv2_descriptor"), nullptr) << "only the VST3 entry points are exported";

    ASSERT_TRUE(moduleEntry(library.handle()));
    auto** factory = static_cast<v3_plugin_factory_cpp**>(getFactory());
    ASSERT_NE(factory, nullptr);
    v3_factory_info info{};
    ASSERT_EQ((*factory)->v1.get_factory_info(factory, &info), V3_OK);
    EXPECT_STREQ(info.vendor, "MrLw");
    const int32_t classes = (*factory)->v1.num_classes(factory);
    ASSERT_GE(classes, 1);
    v3_class_info component{};
    ASSERT_EQ((*factory)->v1.get_class_info(factory, 0, &component), V3_OK);
    EXPECT_STREQ(component.name, GetParam().name);
    EXPECT_STREQ(component.category, "Audio Module Class");
    (*factory)->unref(factory);
    EXPECT_TRUE(moduleExit());

    expectResourcesBeside(reinterpret_cast<const void*>(getFactory), bundle / "Contents" / "Resources");
}

INSTANTIATE_TEST_SUITE_P(Variants, Vst3Binary,
                         ::testing::Values(Vst3Case{"tolvane.vst3", "Tolvane"}, Vst3Case{"tolvane-mono.vst3", "Tolvane Mono"}));

// A VST3 host's session saved through the component state comes back whole in a fresh
// component, every parameter included.
TEST(Vst3State, EveryParameterRoundTripsIntoAFreshComponent) {
    Vst3Components components;
    ASSERT_TRUE(components.loaded());
    v3_component_cpp** original = components.make();
    const std::string defaults = Vst3Components::stateOf(original);
    const std::map<std::string, std::string> expected = {
        {"compressor", "12.5"}, {"crackle", "33"},  {"wowFlutter", "71"}, {"outputLevel", "90"}, {"effectMode", "6"},
        {"hissOn", "1"},        {"amFmMode", "1"}, {"monoSumOn", "1"},   {"hissLevel", "5"}};
    ASSERT_EQ(parametersInVst3State(defaults).size(), expected.size());
    Vst3Components::setState(original, withParameters(defaults, expected));
    const std::string saved = Vst3Components::stateOf(original);

    v3_component_cpp** restored = components.make();
    Vst3Components::setState(restored, saved);
    auto asNumbers = [](const std::map<std::string, std::string>& values) {
        std::map<std::string, double> numbers;
        for (const auto& [symbol, value] : values) numbers[symbol] = std::stod(value);
        return numbers;
    };
    EXPECT_EQ(asNumbers(parametersInVst3State(Vst3Components::stateOf(restored))), asNumbers(expected));
    EXPECT_EQ(asNumbers(parametersInVst3State(saved)), asNumbers(expected));
}

// Event lists for CLAP calls: parameter values in, nothing kept out.
struct ClapEvents {
    std::vector<clap_event_param_value_t> values;
    clap_input_events_t in{this, [](const clap_input_events_t* list) {
                               return static_cast<uint32_t>(static_cast<const ClapEvents*>(list->ctx)->values.size());
                           },
                           [](const clap_input_events_t* list, uint32_t index) {
                               return &static_cast<const ClapEvents*>(list->ctx)->values.at(index).header;
                           }};
    clap_output_events_t out{this, [](const clap_output_events_t*, const clap_event_header_t*) { return true; }};

    void add(clap_id id, double value) {
        clap_event_param_value_t event{};
        event.header = {sizeof(clap_event_param_value_t), 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE, 0};
        event.param_id = id;
        event.note_id = -1;
        event.port_index = event.channel = event.key = -1;
        event.value = value;
        values.push_back(event);
    }
};

// The host side of the latency extension: DPF's CLAP glue reports the plug-in's latency through
// it and expects every host to have it.
const clap_host_latency_t kHostLatency = {[](const clap_host_t*) {}};

const clap_host_t kHost = {CLAP_VERSION,
                           nullptr,
                           "tolvane-test",
                           "",
                           "",
                           "1",
                           [](const clap_host_t*, const char* id) -> const void* {
                               return std::strcmp(id, CLAP_EXT_LATENCY) == 0 ? &kHostLatency : nullptr;
                           },
                           [](const clap_host_t*) {},
                           [](const clap_host_t*) {},
                           [](const clap_host_t*) {}};

clap_id paramId(const clap_plugin_t* plugin, const clap_plugin_params_t* params, const std::string& name) {
    for (uint32_t i = 0; i < params->count(plugin); ++i) {
        clap_param_info_t info{};
        if (params->get_info(plugin, i, &info) && name == info.name) return info.id;
    }
    throw std::invalid_argument("no CLAP parameter " + name);
}

// A host's whole CLAP session: entry, factory, instance, parameters while inactive, activation,
// processing and teardown; the VINYL output must be the unit's, which needs the bundle's models.
TEST(ClapBinary, ProcessesAudioLikeTheUnit) {
    const fs::path binary = fs::path(TOLVANE_CLAP_DIR) / "Tolvane" / "tolvane.clap";
    Library library(binary);
    ASSERT_NE(library.handle(), nullptr) << dlerror();
    const auto* entry = static_cast<const clap_plugin_entry_t*>(library.symbol("clap_entry"));
    ASSERT_NE(entry, nullptr);
    ASSERT_TRUE(entry->init(binary.c_str()));
    const auto* factory = static_cast<const clap_plugin_factory_t*>(entry->get_factory(CLAP_PLUGIN_FACTORY_ID));
    ASSERT_NE(factory, nullptr);
    ASSERT_EQ(factory->get_plugin_count(factory), 1u);
    const clap_plugin_descriptor_t* descriptor = factory->get_plugin_descriptor(factory, 0);
    EXPECT_STREQ(descriptor->id, "com.marlowen.tolvane");
    EXPECT_STREQ(descriptor->name, "Tolvane");
    EXPECT_STREQ(descriptor->vendor, "MrLw");

    const clap_plugin_t* plugin = factory->create_plugin(factory, &kHost, descriptor->id);
    ASSERT_NE(plugin, nullptr);
    ASSERT_TRUE(plugin->init(plugin));
    const auto* params = static_cast<const clap_plugin_params_t*>(plugin->get_extension(plugin, CLAP_EXT_PARAMS));
    const auto* latency = static_cast<const clap_plugin_latency_t*>(plugin->get_extension(plugin, CLAP_EXT_LATENCY));
    ASSERT_NE(params, nullptr);
    ASSERT_NE(latency, nullptr);
    EXPECT_EQ(params->count(plugin), 9u);
    const clap_id mode = paramId(plugin, params, "Effect Mode");
    char text[64] = {};
    ASSERT_TRUE(params->value_to_text(plugin, mode, 5.0, text, sizeof text));
    EXPECT_STREQ(text, "RADIO");

    ClapEvents settings;
    settings.add(mode, 0);
    settings.add(paramId(plugin, params, "Knob 2"), 30);
    settings.add(paramId(plugin, params, "Knob 3"), 45);
    params->flush(plugin, &settings.in, &settings.out);

    constexpr uint32_t kBlock = 256;
    ASSERT_TRUE(plugin->activate(plugin, 48000, 1, kBlock));
    EXPECT_EQ(latency->get(plugin), 560u);
    ASSERT_TRUE(plugin->start_processing(plugin));
    const Channels input = testProgramme(48000, 20 * kBlock, 2);
    Channels output(2, std::vector<float>(input[0].size()));
    ClapEvents none;
    for (std::size_t start = 0; start < input[0].size(); start += kBlock) {
        float* in[2] = {const_cast<float*>(input[0].data() + start), const_cast<float*>(input[1].data() + start)};
        float* out[2] = {output[0].data() + start, output[1].data() + start};
        clap_audio_buffer_t inBuffer{in, nullptr, 2, 0, 0};
        clap_audio_buffer_t outBuffer{out, nullptr, 2, 0, 0};
        const clap_process_t process{static_cast<int64_t>(start), kBlock, nullptr, &inBuffer, &outBuffer, 1, 1,
                                     &none.in, &none.out};
        ASSERT_EQ(plugin->process(plugin, &process), CLAP_PROCESS_CONTINUE);
    }
    plugin->stop_processing(plugin);
    plugin->deactivate(plugin);
    plugin->destroy(plugin);
    entry->deinit();

    const Settings same = {{"effectMode", 0}, {"crackle", 30}, {"wowFlutter", 45}};
    const Channels expected = renderInProcess(input, 48000, kBlock, same, false);
    EXPECT_TRUE(output == expected) << "the CLAP plug-in differs from the unit";
    EXPECT_GT(peakOf(expected), 0.02);
    expectResourcesBeside(entry, fs::path(TOLVANE_CLAP_DIR) / "Tolvane" / "resources");
}

// ---- CLAP sessions of the state and latency tests ------------------------------------------

// A host's view of the CLAP binary: its entry initialised, plug-ins made with a given host.
class ClapModule {
public:
    ClapModule() : binary_(fs::path(TOLVANE_CLAP_DIR) / "Tolvane" / "tolvane.clap"), library_(binary_) {
        entry_ = static_cast<const clap_plugin_entry_t*>(library_.symbol("clap_entry"));
        if (entry_ == nullptr || !entry_->init(binary_.c_str())) throw std::runtime_error("cannot open " + binary_.string());
        factory_ = static_cast<const clap_plugin_factory_t*>(entry_->get_factory(CLAP_PLUGIN_FACTORY_ID));
    }
    ~ClapModule() { entry_->deinit(); }

    const clap_plugin_t* create(const clap_host_t* host) const {
        const clap_plugin_t* plugin = factory_->create_plugin(factory_, host, "com.marlowen.tolvane");
        if (plugin == nullptr || !plugin->init(plugin)) throw std::runtime_error("cannot create the CLAP plug-in");
        return plugin;
    }

private:
    fs::path binary_;
    Library library_;
    const clap_plugin_entry_t* entry_ = nullptr;
    const clap_plugin_factory_t* factory_ = nullptr;
};

template <class Extension>
const Extension* extension(const clap_plugin_t* plugin, const char* id) {
    return static_cast<const Extension*>(plugin->get_extension(plugin, id));
}

// Bytes a host keeps for a plug-in's state.
struct ClapBytes {
    std::string bytes;
    std::size_t readAt = 0;
    clap_ostream_t out{this, [](const clap_ostream_t* s, const void* data, uint64_t size) -> int64_t {
                           static_cast<ClapBytes*>(s->ctx)->bytes.append(static_cast<const char*>(data), size);
                           return static_cast<int64_t>(size);
                       }};
    clap_istream_t in{this, [](const clap_istream_t* s, void* data, uint64_t size) -> int64_t {
                          auto* self = static_cast<ClapBytes*>(s->ctx);
                          const std::size_t n = std::min<std::size_t>(size, self->bytes.size() - self->readAt);
                          std::memcpy(data, self->bytes.data() + self->readAt, n);
                          self->readAt += n;
                          return static_cast<int64_t>(n);
                      }};
};

// Activates, processes the programme in blocks and deactivates.
Channels processClap(const clap_plugin_t* plugin, const Channels& input, double rate, uint32_t block) {
    EXPECT_TRUE(plugin->activate(plugin, rate, 1, block));
    EXPECT_TRUE(plugin->start_processing(plugin));
    Channels output(2, std::vector<float>(input[0].size()));
    ClapEvents none;
    for (std::size_t start = 0; start + block <= input[0].size(); start += block) {
        float* in[2] = {const_cast<float*>(input[0].data() + start), const_cast<float*>(input[1].data() + start)};
        float* out[2] = {output[0].data() + start, output[1].data() + start};
        clap_audio_buffer_t inBuffer{in, nullptr, 2, 0, 0};
        clap_audio_buffer_t outBuffer{out, nullptr, 2, 0, 0};
        const clap_process_t process{static_cast<int64_t>(start), block, nullptr, &inBuffer, &outBuffer, 1, 1, &none.in, &none.out};
        EXPECT_EQ(plugin->process(plugin, &process), CLAP_PROCESS_CONTINUE);
    }
    plugin->stop_processing(plugin);
    plugin->deactivate(plugin);
    return output;
}

// A host that offers only the parameters extension, counting the rescans it is asked for.
int rescans = 0;
const clap_host_params_t kHostParams = {
    [](const clap_host_t*, clap_param_rescan_flags flags) { rescans += (flags & CLAP_PARAM_RESCAN_VALUES) ? 1 : 0; },
    [](const clap_host_t*, clap_id, clap_param_clear_flags) {}, [](const clap_host_t*) {}};
const clap_host_t kParamsHost = {CLAP_VERSION, nullptr, "tolvane-test", "", "", "1",
                                 [](const clap_host_t*, const char* id) -> const void* {
                                     if (std::strcmp(id, CLAP_EXT_PARAMS) == 0) return &kHostParams;
                                     return std::strcmp(id, CLAP_EXT_LATENCY) == 0 ? &kHostLatency : nullptr;
                                 },
                                 [](const clap_host_t*) {}, [](const clap_host_t*) {}, [](const clap_host_t*) {}};

// A session saved through the state extension comes back whole in a fresh instance: every
// parameter's value, and so the same sound.
TEST(ClapBinary, StateRoundTripsEveryParameter) {
    ClapModule module;
    const clap_plugin_t* original = module.create(&kParamsHost);
    const auto* params = extension<clap_plugin_params_t>(original, CLAP_EXT_PARAMS);
    const auto* state = extension<clap_plugin_state_t>(original, CLAP_EXT_STATE);
    ASSERT_NE(state, nullptr);
    ClapEvents settings;
    std::vector<std::pair<clap_id, double>> expected;
    for (uint32_t i = 0; i < params->count(original); ++i) {
        clap_param_info_t info{};
        ASSERT_TRUE(params->get_info(original, i, &info));
        const double value = info.id == paramId(original, params, "Effect Mode") ? 2 : info.max_value;
        settings.add(info.id, value);
        expected.emplace_back(info.id, value);
    }
    params->flush(original, &settings.in, &settings.out);
    ClapBytes saved;
    ASSERT_TRUE(state->save(original, &saved.out));

    const clap_plugin_t* restored = module.create(&kParamsHost);
    rescans = 0;
    ASSERT_TRUE(extension<clap_plugin_state_t>(restored, CLAP_EXT_STATE)->load(restored, &saved.in));
    EXPECT_EQ(rescans, 1) << "the host is told to read the values again";
    for (const auto& [id, value] : expected) {
        double now = -1;
        ASSERT_TRUE(params->get_value(restored, id, &now));
        EXPECT_EQ(now, value) << "parameter " << id;
    }
    const Channels input = testProgramme(48000, 24 * 256, 2);
    const Channels fromSettings = processClap(original, input, 48000, 256);
    EXPECT_TRUE(processClap(restored, input, 48000, 256) == fromSettings);
    EXPECT_GT(peakOf(fromSettings), 0.02);

    ClapBytes damaged;
    damaged.bytes = saved.bytes.substr(0, saved.bytes.size() / 2);
    EXPECT_FALSE(state->load(restored, &damaged.in));
    original->destroy(original);
    restored->destroy(restored);
}

// A host without the latency extension: the glue reports the latency through it when the
// plug-in is deactivated and when values arrive while inactive; the host must survive a whole
// session, at a rate whose latency differs from the one the plug-in started with.
TEST(ClapBinary, HostWithoutTheLatencyExtensionSurvivesASession) {
    static const clap_host_t bareHost = {CLAP_VERSION, nullptr, "bare", "", "", "1",
                                         [](const clap_host_t*, const char*) -> const void* { return nullptr; },
                                         [](const clap_host_t*) {}, [](const clap_host_t*) {}, [](const clap_host_t*) {}};
    ClapModule module;
    const clap_plugin_t* plugin = module.create(&bareHost);
    const auto* params = extension<clap_plugin_params_t>(plugin, CLAP_EXT_PARAMS);
    ClapEvents settings;
    settings.add(paramId(plugin, params, "Effect Mode"), 5);
    params->flush(plugin, &settings.in, &settings.out);
    const Channels output = processClap(plugin, testProgramme(96000, 24 * 256, 2), 96000, 256);
    plugin->on_main_thread(plugin);
    EXPECT_EQ(extension<clap_plugin_latency_t>(plugin, CLAP_EXT_LATENCY)->get(plugin), 608u);
    plugin->destroy(plugin);
    EXPECT_GT(peakOf(output), 0.0);
}

// A host that finds its own object through host_data, as hosts do: every call the plug-in makes
// to it, through whatever extension, must carry that host_data.
struct SelfFindingHost {
    int calls = 0;
    int strangers = 0;  // calls whose host_data was not this host's
    clap_host_t host{};
};
SelfFindingHost selfFinding;

void heard(const clap_host_t* host) {
    ++selfFinding.calls;
    if (host->host_data != &selfFinding) ++selfFinding.strangers;
}

const clap_host_latency_t kSelfFindingLatency = {heard};
const clap_host_params_t kSelfFindingParams = {[](const clap_host_t* h, clap_param_rescan_flags) { heard(h); },
                                               [](const clap_host_t* h, clap_id, clap_param_clear_flags) { heard(h); },
                                               heard};
const clap_host_thread_check_t kSelfFindingThreads = {[](const clap_host_t* h) {
                                                          heard(h);
                                                          return true;
                                                      },
                                                      [](const clap_host_t* h) {
                                                          heard(h);
                                                          return false;
                                                      }};

TEST(ClapBinary, HostFindsItselfInEveryCallItGets) {
    selfFinding.host = {CLAP_VERSION, &selfFinding, "self-finding", "", "", "1",
                        [](const clap_host_t* h, const char* id) -> const void* {
                            heard(h);
                            if (std::strcmp(id, CLAP_EXT_LATENCY) == 0) return &kSelfFindingLatency;
                            if (std::strcmp(id, CLAP_EXT_PARAMS) == 0) return &kSelfFindingParams;
                            return std::strcmp(id, CLAP_EXT_THREAD_CHECK) == 0 ? &kSelfFindingThreads : nullptr;
                        },
                        heard, heard, heard};
    ClapModule module;
    const clap_plugin_t* plugin = module.create(&selfFinding.host);
    const auto* params = extension<clap_plugin_params_t>(plugin, CLAP_EXT_PARAMS);
    ClapBytes saved;
    ASSERT_TRUE(extension<clap_plugin_state_t>(plugin, CLAP_EXT_STATE)->save(plugin, &saved.out));
    const int beforeSession = selfFinding.calls;

    // RADIO while inactive, then a session at another rate: both change the latency.
    ClapEvents settings;
    settings.add(paramId(plugin, params, "Effect Mode"), 5);
    params->flush(plugin, &settings.in, &settings.out);
    processClap(plugin, testProgramme(96000, 8 * 256, 2), 96000, 256);
    plugin->on_main_thread(plugin);
    ASSERT_TRUE(extension<clap_plugin_state_t>(plugin, CLAP_EXT_STATE)->load(plugin, &saved.in));
    plugin->destroy(plugin);

    EXPECT_GE(selfFinding.calls - beforeSession, 3) << "latency changes and the rescan reach the host";
    EXPECT_EQ(selfFinding.strangers, 0);
}

TEST(ClapBinary, MonoVariantHasItsOwnIdentity) {
    const fs::path binary = fs::path(TOLVANE_CLAP_DIR) / "Tolvane" / "tolvane-mono.clap";
    Library library(binary);
    ASSERT_NE(library.handle(), nullptr) << dlerror();
    const auto* entry = static_cast<const clap_plugin_entry_t*>(library.symbol("clap_entry"));
    ASSERT_NE(entry, nullptr);
    ASSERT_TRUE(entry->init(binary.c_str()));
    const auto* factory = static_cast<const clap_plugin_factory_t*>(entry->get_factory(CLAP_PLUGIN_FACTORY_ID));
    ASSERT_NE(factory, nullptr);
    const clap_plugin_descriptor_t* descriptor = factory->get_plugin_descriptor(factory, 0);
    EXPECT_STREQ(descriptor->id, "com.marlowen.tolvane.mono");
    EXPECT_STREQ(descriptor->name, "Tolvane Mono");
    entry->deinit();
}

}  // namespace
}  // namespace tolvane::test
