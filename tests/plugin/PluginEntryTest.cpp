// The VST3 and CLAP binaries: their entry points, loaded and called as a host does, and their
// resources found from the loaded binary.

#include "tests/plugin/PluginTestSupport.h"

#include "clap/entry.h"
#include "clap/ext/latency.h"
#include "clap/ext/params.h"
#include "clap/plugin-factory.h"
#include "travesty/factory.h"

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

namespace tolvane::test {
namespace {

namespace fs = std::filesystem;

// A loaded plug-in binary, closed again at the end of the test.
class Library {
public:
    explicit Library(const fs::path& path) : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
    ~Library() {
        if (handle_ != nullptr) dlclose(handle_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    void* handle() const { return handle_; }
    void* symbol(const char* name) const { return handle_ != nullptr ? dlsym(handle_, name) : nullptr; }

private:
    void* handle_;
};

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
