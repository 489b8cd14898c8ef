// The built LV2 bundles as stock tools see them: lv2ls, lv2info, sord_validate, lilv, lv2file.

#include "tests/plugin/PluginTestSupport.h"
#include "tests/plugin/Subprocess.h"
#include "tests/support/TestBundle.h"

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace tolvane::test {
namespace {

namespace fs = std::filesystem;

class Lv2Hosts : public ::testing::Test {
protected:
    static void SetUpTestSuite() { useBuildTreeLv2Path(); }
};

// lv2info's description of one port: its "Key: value" lines, and the labels of its scale points.
struct PortInfo {
    std::map<std::string, std::string> fields;
    std::vector<std::string> scalePoints;
};

std::vector<PortInfo> parseLv2infoPorts(const std::string& output) {
    std::vector<PortInfo> ports;
    std::istringstream lines(output);
    std::string lastKey;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("\tPort ", 0) == 0) {
            ports.emplace_back();
            continue;
        }
        if (ports.empty()) continue;
        const auto first = line.find_first_not_of('\t');
        if (first == std::string::npos) continue;
        // "Key:   value" lines start with the key; continuation lines with spaces.
        const auto colon = line[first] == ' ' ? std::string::npos : line.find(':');
        if (line.find(" = \"") != std::string::npos) {
            const auto quote = line.find('"');
            ports.back().scalePoints.push_back(line.substr(quote + 1, line.rfind('"') - quote - 1));
        } else if (colon != std::string::npos && first < colon) {
            lastKey = line.substr(first, colon - first);
            const auto value = line.find_first_not_of(' ', colon + 1);
            ports.back().fields[lastKey] = value == std::string::npos ? "" : line.substr(value);
        } else if (lastKey == "Properties" || lastKey == "Type") {
            std::string& field = ports.back().fields[lastKey];
            field.push_back(' ');
            field.append(line, first, std::string::npos);
        }
    }
    return ports;
}

TEST_F(Lv2Hosts, Lv2lsListsBothVariants) {
    const ProcessResult result = runProcess({"lv2ls"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("urn:marlowen:tolvane\n"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("urn:marlowen:tolvane-mono\n"), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("error"), std::string::npos) << result.output;
}

TEST_F(Lv2Hosts, Lv2infoShowsPortsGroupsAndLatency) {
    const ProcessResult result = runProcess({"lv2info", "urn:marlowen:tolvane"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("Name:              Tolvane\n"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("Author:            MrLw"), std::string::npos);
    EXPECT_NE(result.output.find("Has latency:       yes, reported by port 4"), std::string::npos);

    const std::vector<PortInfo> ports = parseLv2infoPorts(result.output);
    ASSERT_EQ(ports.size(), 14u) << "2 audio in, 2 audio out, latency, 9 parameters";
    for (int i = 0; i < 4; ++i) EXPECT_NE(ports[i].fields.at("Type").find("AudioPort"), std::string::npos);
    EXPECT_NE(ports[4].fields.at("Properties").find("reportsLatency"), std::string::npos);

    struct Expected {
        const char* symbol;
        const char* name;
        const char* min;
        const char* max;
        const char* def;
        bool global;
        const char* property;
    };
    const Expected expected[] = {
        {"compressor", "Knob 1", "0.000000", "100.000000", "50.000000", false, ""},
        {"crackle", "Knob 2", "0.000000", "100.000000", "0.000000", false, ""},
        {"wowFlutter", "Knob 3", "0.000000", "100.000000", "0.000000", false, ""},
        {"outputLevel", "Output", "0.000000", "100.000000", "75.000000", false, ""},
        {"effectMode", "Effect Mode", "0.000000", "7.000000", "0.000000", true, "lv2core#integer"},
        {"hissOn", "Hiss", "0.000000", "1.000000", "0.000000", true, "lv2core#toggled"},
        {"amFmMode", "AM/FM", "0.000000", "1.000000", "0.000000", true, "lv2core#toggled"},
        {"monoSumOn", "Mono Sum", "0.000000", "1.000000", "0.000000", true, "lv2core#toggled"},
        {"hissLevel", "Hiss Level", "0.000000", "100.000000", "40.000000", true, ""},
    };
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const PortInfo& port = ports[5 + i];
        SCOPED_TRACE(expected[i].symbol);
        EXPECT_EQ(port.fields.at("Symbol"), expected[i].symbol);
        EXPECT_EQ(port.fields.at("Name"), expected[i].name);
        EXPECT_EQ(port.fields.at("Minimum"), expected[i].min);
        EXPECT_EQ(port.fields.at("Maximum"), expected[i].max);
        EXPECT_EQ(port.fields.at("Default"), expected[i].def);
        EXPECT_EQ(port.fields.count("Group") ? port.fields.at("Group") : "",
                  expected[i].global ? "urn:marlowen:tolvane#portGroup_global" : "");
        if (*expected[i].property) {
            EXPECT_NE(port.fields.at("Properties").find(expected[i].property), std::string::npos);
        }
    }
    std::vector<std::string> modes = ports[9].scalePoints;
    std::sort(modes.begin(), modes.end());
    EXPECT_EQ(modes, (std::vector<std::string>{"CHORUS", "FILLDRIVE", "FLANGER", "ISOLATOR", "LO-FI", "PITCH", "RADIO",
                                               "VINYL"}));
    EXPECT_NE(ports[9].fields.at("Properties").find("lv2core#enumeration"), std::string::npos);
}

TEST_F(Lv2Hosts, Lv2infoShowsTheMonoVariantWithOneChannel) {
    const ProcessResult result = runProcess({"lv2info", "urn:marlowen:tolvane-mono"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("Name:              Tolvane Mono\n"), std::string::npos) << result.output;
    const std::vector<PortInfo> ports = parseLv2infoPorts(result.output);
    ASSERT_EQ(ports.size(), 12u);
    EXPECT_EQ(ports[0].fields.at("Symbol"), "lv2_in");
    EXPECT_EQ(ports[1].fields.at("Symbol"), "lv2_out");
    EXPECT_NE(result.output.find("Has latency:       yes, reported by port 2"), std::string::npos);
}

// Units are not printed by lv2info; lilv reads them the way hosts' generic editors do.
TEST_F(Lv2Hosts, LilvReadsUnitsAndTheGroupDescription) {
    LilvWorld* world = lilv_world_new();
    lilv_world_load_all(world);
    LilvNode* uri = lilv_new_uri(world, "urn:marlowen:tolvane");
    LilvNode* unitPredicate = lilv_new_uri(world, "http://lv2plug.in/ns/extensions/units#unit");
    LilvNode* percent = lilv_new_uri(world, "http://lv2plug.in/ns/extensions/units#pc");
    LilvNode* lv2Name = lilv_new_uri(world, LILV_NS_LV2 "name");
    LilvNode* lv2Symbol = lilv_new_uri(world, LILV_NS_LV2 "symbol");
    LilvNode* group = lilv_new_uri(world, "urn:marlowen:tolvane#portGroup_global");
    const LilvPlugin* plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
    ASSERT_NE(plugin, nullptr);

    const std::map<std::string, bool> percentPorts = {
        {"compressor", true}, {"crackle", true},  {"wowFlutter", true}, {"outputLevel", true}, {"effectMode", false},
        {"hissOn", false},    {"amFmMode", false}, {"monoSumOn", false}, {"hissLevel", true}};
    for (const auto& [symbol, isPercent] : percentPorts) {
        LilvNode* symbolNode = lilv_new_string(world, symbol.c_str());
        const LilvPort* port = lilv_plugin_get_port_by_symbol(plugin, symbolNode);
        ASSERT_NE(port, nullptr) << symbol;
        LilvNodes* units = lilv_port_get_value(plugin, port, unitPredicate);
        const bool hasPercent = units != nullptr && lilv_nodes_contains(units, percent);
        EXPECT_EQ(hasPercent, isPercent) << symbol;
        EXPECT_EQ(units == nullptr ? 0u : lilv_nodes_size(units), isPercent ? 1u : 0u) << symbol;
        lilv_nodes_free(units);
        lilv_node_free(symbolNode);
    }
    LilvNode* groupName = lilv_world_get(world, group, lv2Name, nullptr);
    LilvNode* groupSymbol = lilv_world_get(world, group, lv2Symbol, nullptr);
    ASSERT_NE(groupName, nullptr);
    ASSERT_NE(groupSymbol, nullptr);
    EXPECT_STREQ(lilv_node_as_string(groupName), "Global");
    EXPECT_STREQ(lilv_node_as_string(groupSymbol), "global");
    EXPECT_TRUE(lilv_plugin_has_latency(plugin));
    for (LilvNode* node : {uri, unitPredicate, percent, lv2Name, lv2Symbol, group, groupName, groupSymbol})
        lilv_node_free(node);
    lilv_world_free(world);
}

// The installed LV2 specifications, to validate against.
std::vector<std::string> specificationFiles() {
    std::vector<std::string> files;
    for (const auto& bundle : fs::directory_iterator("/usr/lib/lv2")) {
        std::ifstream manifest(bundle.path() / "manifest.ttl");
        const std::string text((std::istreambuf_iterator<char>(manifest)), std::istreambuf_iterator<char>());
        if (text.find("Specification") == std::string::npos && text.find("owl:Ontology") == std::string::npos) continue;
        for (const auto& file : fs::directory_iterator(bundle.path()))
            if (file.path().extension() == ".ttl") files.push_back(file.path().string());
    }
    return files;
}

std::string errorSummary(const std::vector<std::string>& files) {
    std::vector<std::string> args = {"sord_validate", "-l"};
    args.insert(args.end(), files.begin(), files.end());
    const ProcessResult result = runProcess(args);
    const auto found = result.output.rfind("Found ");
    return found == std::string::npos ? result.output : result.output.substr(found, result.output.find(" errors", found) - found);
}

// Our triples add no error to those the installed specifications already have among themselves.
TEST_F(Lv2Hosts, SordValidateFindsNoErrorInOurTriples) {
    const std::vector<std::string> specifications = specificationFiles();
    ASSERT_GT(specifications.size(), 20u) << "the LV2 specifications (lv2-dev) are not installed";
    const std::string baseline = errorSummary(specifications);
    std::vector<std::string> withOurs = specifications;
    for (const char* bundle : {"tolvane.lv2", "tolvane-mono.lv2"})
        for (const auto& file : fs::directory_iterator(fs::path(TOLVANE_LV2_DIR) / bundle))
            if (file.path().extension() == ".ttl") withOurs.push_back(file.path().string());
    EXPECT_EQ(errorSummary(withOurs), baseline);

    // The check can fail: a port without a name or symbol is an error it reports.
    TempFolder folder;
    const auto bad = folder.write("bad.ttl", "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
                                             "<urn:x> a lv2:Plugin ; lv2:port [ a lv2:InputPort , lv2:ControlPort ; lv2:index 0 ] .\n");
    std::vector<std::string> withBad = specifications;
    withBad.push_back(bad.string());
    EXPECT_NE(errorSummary(withBad), baseline);
}

// A host nobody here wrote, which sets its control values only after activating and renders as
// fast as it can: in every mode its output is tolvane-render's, sample for sample, but for the
// latency it does not compensate. So every mode sounds from its first block after the fade-in.
TEST_F(Lv2Hosts, Lv2fileRendersEveryModeLikeTolvaneRender) {
#ifdef TOLVANE_SANITIZE
    GTEST_SKIP() << "lv2file is not built with the sanitizers, so it cannot load this tree's sanitized plug-in";
#endif
    ASSERT_TRUE(programAvailable("lv2file")) << "lv2file is missing: scripts/setup installs it";
    constexpr std::size_t kFrames = 30000;
    constexpr std::size_t kLatency = 556;  // at 44.1 kHz
    BundleFolder folder;
    folder.writeWav("in.wav", testProgramme(44100, kFrames, 2), 44100);
    const std::string in = (folder.path() / "in.wav").string();
    for (int mode = 0; mode < 8; ++mode) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        const std::string block = mode % 2 ? "64" : "512";
        const std::string viaLv2file = (folder.path() / "lv2file.wav").string();
        const std::string viaRender = (folder.path() / "render.wav").string();
        ProcessResult result = runProcess({"lv2file", "-i", in, "-o", viaLv2file, "-b", block, "-p",
                                           "effectMode:" + std::to_string(mode), "-p", "compressor:70", "-p",
                                           "wowFlutter:40", "-p", "hissOn:1", "urn:marlowen:tolvane"});
        ASSERT_EQ(result.exitCode, 0) << result.output;
        result = runProcess({TOLVANE_RENDER, "--plugin", "urn:marlowen:tolvane", "--in", in, "--out", viaRender, "--block",
                             block, "--set", "effectMode=" + std::to_string(mode), "--set", "compressor=70", "--set",
                             "wowFlutter=40", "--set", "hissOn=1"});
        ASSERT_EQ(result.exitCode, 0) << result.output;
        const Channels compensated = readAudioFile(viaRender);
        const Channels raw = readAudioFile(viaLv2file);
        ASSERT_EQ(raw.size(), 2u);
        ASSERT_EQ(raw[0].size(), kFrames);
        for (std::size_t c = 0; c < 2; ++c)
            ASSERT_TRUE(std::equal(raw[c].begin() + kLatency, raw[c].end(), compensated[c].begin())) << "channel " << c;
        for (std::size_t start = 4096 + kLatency; start + 1024 <= kFrames; start += 1024) {
            const Channels window = {std::vector<float>(raw[0].begin() + static_cast<std::ptrdiff_t>(start),
                                                        raw[0].begin() + static_cast<std::ptrdiff_t>(start + 1024))};
            ASSERT_GT(peakOf(window), 0.01) << "silent from frame " << start;
        }
    }
}

// ---- The LV2 state a host saves: the control ports' values, through lilv ---------------------

// URIs to numbers and back, as a host maps them.
struct UridTable {
    std::vector<std::string> uris;
    LV2_URID_Map map{this, [](LV2_URID_Map_Handle h, const char* uri) -> LV2_URID {
                         auto& uris = static_cast<UridTable*>(h)->uris;
                         const auto found = std::find(uris.begin(), uris.end(), uri);
                         if (found != uris.end()) return static_cast<LV2_URID>(found - uris.begin() + 1);
                         uris.emplace_back(uri);
                         return static_cast<LV2_URID>(uris.size());
                     }};
    LV2_URID_Unmap unmap{this, [](LV2_URID_Unmap_Handle h, LV2_URID urid) -> const char* {
                             auto& uris = static_cast<UridTable*>(h)->uris;
                             return urid >= 1 && urid <= uris.size() ? uris[urid - 1].c_str() : nullptr;
                         }};
};

// One instance of the stereo plug-in with every port connected to buffers held here.
class Lv2Instance {
public:
    static constexpr uint32_t kBlock = 256;

    Lv2Instance(LilvWorld* world, const LilvPlugin* plugin, UridTable& urids) : plugin_(plugin), urids_(urids) {
        const LV2_URID intType = urids.map.map(&urids, LV2_ATOM__Int);
        options_ = {{LV2_OPTIONS_INSTANCE, 0, urids.map.map(&urids, LV2_BUF_SIZE__maxBlockLength), sizeof(int32_t), intType, &block_},
                    {LV2_OPTIONS_INSTANCE, 0, urids.map.map(&urids, LV2_BUF_SIZE__nominalBlockLength), sizeof(int32_t), intType, &block_},
                    {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}};
        LV2_Feature map{LV2_URID__map, &urids.map}, unmap{LV2_URID__unmap, &urids.unmap},
            options{LV2_OPTIONS__options, options_.data()}, bounded{LV2_BUF_SIZE__boundedBlockLength, nullptr};
        const LV2_Feature* features[] = {&map, &unmap, &options, &bounded, nullptr};
        instance_ = lilv_plugin_instantiate(plugin, 48000, features);
        if (instance_ == nullptr) throw std::runtime_error("cannot instantiate the LV2 plug-in");
        const uint32_t ports = lilv_plugin_get_num_ports(plugin);
        values_.assign(ports, 0.0f);
        audio_.assign(ports, std::vector<float>(kBlock, 0.0f));
        LilvNode* audioClass = lilv_new_uri(world, LV2_CORE__AudioPort);
        for (uint32_t i = 0; i < ports; ++i) {
            const LilvPort* port = lilv_plugin_get_port_by_index(plugin, i);
            LilvNode* def = nullptr;
            lilv_port_get_range(plugin, port, &def, nullptr, nullptr);
            if (def) values_[i] = lilv_node_as_float(def), lilv_node_free(def);
            const bool audio = lilv_port_is_a(plugin, port, audioClass);
            lilv_instance_connect_port(instance_, i, audio ? static_cast<void*>(audio_[i].data()) : &values_[i]);
        }
        lilv_node_free(audioClass);
        lilv_instance_activate(instance_);
    }
    ~Lv2Instance() {
        lilv_instance_deactivate(instance_);
        lilv_instance_free(instance_);
    }

    uint32_t indexOf(const char* symbol) const {
        for (uint32_t i = 0; i < values_.size(); ++i) {
            const LilvNode* name = lilv_port_get_symbol(plugin_, lilv_plugin_get_port_by_index(plugin_, i));
            if (std::string(lilv_node_as_string(name)) == symbol) return i;
        }
        throw std::invalid_argument(symbol);
    }
    float& value(const char* symbol) { return values_[indexOf(symbol)]; }

    // Runs the programme through, returning the left output.
    std::vector<float> process(const Channels& input) {
        std::vector<float> out;
        const uint32_t inL = indexOf("lv2_in_l"), inR = indexOf("lv2_in_r"), outL = indexOf("lv2_out_l");
        for (std::size_t start = 0; start + kBlock <= input[0].size(); start += kBlock) {
            std::copy_n(input[0].begin() + static_cast<std::ptrdiff_t>(start), kBlock, audio_[inL].begin());
            std::copy_n(input[1].begin() + static_cast<std::ptrdiff_t>(start), kBlock, audio_[inR].begin());
            lilv_instance_run(instance_, kBlock);
            out.insert(out.end(), audio_[outL].begin(), audio_[outL].end());
        }
        return out;
    }

    LilvState* save() {
        return lilv_state_new_from_instance(
            plugin_, instance_, &urids_.map, nullptr, nullptr, nullptr, nullptr,
            [](const char* symbol, void* self, uint32_t* size, uint32_t* type) -> const void* {
                auto& me = *static_cast<Lv2Instance*>(self);
                *size = sizeof(float);
                *type = me.urids_.map.map(&me.urids_, LV2_ATOM__Float);
                return &me.value(symbol);
            },
            this, 0, nullptr);
    }

    void restore(const LilvState* state) {
        lilv_state_restore(
            state, instance_,
            [](const char* symbol, void* self, const void* value, uint32_t size, uint32_t) {
                if (size == sizeof(float)) static_cast<Lv2Instance*>(self)->value(symbol) = *static_cast<const float*>(value);
            },
            this, 0, nullptr);
    }

private:
    const LilvPlugin* plugin_;
    UridTable& urids_;
    LilvInstance* instance_ = nullptr;
    int32_t block_ = kBlock;
    std::vector<LV2_Options_Option> options_;
    std::vector<float> values_;
    std::vector<std::vector<float>> audio_;
};

// What a host saves of an LV2 session (the control ports' values, as a state written to text and
// read back) gives a fresh instance every setting, and so the same sound.
TEST_F(Lv2Hosts, StateRoundTripsEveryParameterThroughLilv) {
    LilvWorld* world = lilv_world_new();
    lilv_world_load_all(world);
    LilvNode* uri = lilv_new_uri(world, "urn:marlowen:tolvane");
    const LilvPlugin* plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
    ASSERT_NE(plugin, nullptr);
    UridTable urids;
    const std::map<std::string, float> settings = {{"compressor", 12.5f}, {"crackle", 33},  {"wowFlutter", 71},
                                                   {"outputLevel", 90},   {"effectMode", 2}, {"hissOn", 1},
                                                   {"amFmMode", 1},       {"monoSumOn", 1}, {"hissLevel", 5}};
    const Channels input = testProgramme(48000, 40 * Lv2Instance::kBlock, 2);
    std::vector<float> original;
    char* text = nullptr;
    {
        Lv2Instance a(world, plugin, urids);
        for (const auto& [symbol, value] : settings) a.value(symbol.c_str()) = value;
        original = a.process(input);
        LilvState* state = a.save();
        text = lilv_state_to_string(world, &urids.map, &urids.unmap, state, "urn:tolvane:test-session", nullptr);
        lilv_state_free(state);
    }
    ASSERT_NE(text, nullptr);
    LilvState* loaded = lilv_state_new_from_string(world, &urids.map, text);
    ASSERT_NE(loaded, nullptr);
    {
        Lv2Instance b(world, plugin, urids);
        b.restore(loaded);
        for (const auto& [symbol, value] : settings) EXPECT_EQ(b.value(symbol.c_str()), value) << symbol;
        EXPECT_TRUE(b.process(input) == original);
    }
    EXPECT_GT(peakOf({original}), 0.02);
    lilv_state_free(loaded);
    lilv_free(text);
    lilv_node_free(uri);
    lilv_world_free(world);
}

}  // namespace
}  // namespace tolvane::test
