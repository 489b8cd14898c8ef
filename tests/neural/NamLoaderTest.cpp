// The .nam loader: version check, error families with their exact messages, metadata and the
// architecture registry.

#include <stdexcept>
#include <string>
#include <typeinfo>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "neural/nam/get_dsp.h"
#include "neural/nam/model_file.h"
#include "neural/nam/registry.h"
#include "tests/neural/NamTestSupport.h"
#include "tests/support/ForkedRun.h"

namespace {

using nam_test::json;
using nam_test::linearModel;
using nam_test::TempDir;

enum class Kind { RuntimeError, InvalidArgument, OutOfRange, JsonParse, JsonType, JsonOutOfRange };

// Runs `load` and describes what it threw, so one table can hold every error family.
struct Thrown {
    Kind kind;
    std::string message;
};

template <typename F>
Thrown catchFrom(F&& load) {
    try {
        load();
    } catch (const json::parse_error& e) {
        return {Kind::JsonParse, e.what()};
    } catch (const json::type_error& e) {
        return {Kind::JsonType, e.what()};
    } catch (const json::out_of_range& e) {
        return {Kind::JsonOutOfRange, e.what()};
    } catch (const std::invalid_argument& e) {
        return {Kind::InvalidArgument, e.what()};
    } catch (const std::out_of_range& e) {
        return {Kind::OutOfRange, e.what()};
    } catch (const std::runtime_error& e) {
        return {Kind::RuntimeError, e.what()};
    }
    ADD_FAILURE() << "nothing was thrown";
    return {Kind::RuntimeError, ""};
}

const std::string kTooOldTail =
    ". The earliest supported version is 0.5.0. Try either converting the model to a more recent version, or update "
    "your version of the NAM plugin.";
const std::string kTooNewTail = ". The latest fully-supported version is 0.6.0";

TEST(NamVersion, RefusedVersionsCarryTheirExactMessages) {
    struct Case {
        std::string version;
        Kind kind;
        std::string message;
    };
    const Case cases[] = {
        {"0.4.99", Kind::RuntimeError, "Model config is an unsupported version 0.4.99" + kTooOldTail},
        {"0.4.9", Kind::RuntimeError, "Model config is an unsupported version 0.4.9" + kTooOldTail},
        {"0.7.0", Kind::RuntimeError, "Model config is an unsupported version 0.7.0" + kTooNewTail},
        {"1.0.0", Kind::RuntimeError, "Model config is an unsupported version 1.0.0" + kTooNewTail},
        {"0.6", Kind::InvalidArgument, "Invalid version string: 0.6"},
        {"", Kind::InvalidArgument, "Invalid version string: "},
        {"a.b.c", Kind::InvalidArgument, "Invalid version string: a.b.c"},
        {"0..0", Kind::InvalidArgument, "Invalid version string: 0..0"},
        {"0.-1.0", Kind::InvalidArgument, "Negative version component: 0.-1.0"},
        {"0.5.-3", Kind::InvalidArgument, "Negative version component: 0.5.-3"},
        {"0.12345678901.0", Kind::OutOfRange, "Version string out of range: 0.12345678901.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        const Thrown fromJson = catchFrom([&] { nam::get_dsp(linearModel({1.0f}, std::nullopt, c.version)); });
        EXPECT_EQ(fromJson.kind, c.kind);
        EXPECT_EQ(fromJson.message, c.message);
    }
}

TEST(NamVersion, SupportedVersionsLoadAndOnlyPartialOnesWarn) {
    TempDir dir;
    for (const std::string version : {"0.5.0", "0.5.7", "0.6.0", "0.5.0-beta"}) {
        SCOPED_TRACE(version);
        testing::internal::CaptureStderr();
        EXPECT_NE(nam::get_dsp(dir.write("m.nam", linearModel({1.0f}, std::nullopt, version))), nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }

    const std::string warning =
        "Model config is a partially-supported version 0.6.3. The latest fully-supported version is 0.6.0. "
        "Continuing with partial support.\n";
    testing::internal::CaptureStderr();
    EXPECT_NE(nam::get_dsp(dir.write("m.nam", linearModel({1.0f}, std::nullopt, "0.6.3"))), nullptr);
    // A load from a file checks the version three times (file, parsed value, final build).
    EXPECT_EQ(testing::internal::GetCapturedStderr(), warning + warning + warning);
}

TEST(NamVersion, ParseVersionReadsThreeNumbers) {
    const nam::ModelVersion v = nam::ParseVersion("0.6.12");
    EXPECT_EQ(v.major, 0);
    EXPECT_EQ(v.minor, 6);
    EXPECT_EQ(v.patch, 12);
    EXPECT_EQ(nam::ParseVersion(" 1.2.3-rc1").patch, 3);
}

TEST(NamLoader, BadFilesFailInTheirFamilies) {
    TempDir dir;
    json noWeights = linearModel({1.0f});
    noWeights.erase("weights");
    json emptyWeights = linearModel({1.0f});
    emptyWeights["weights"] = json::array();
    json threeWithBias = linearModel({1.0f, 0.5f, 0.25f});
    threeWithBias["config"]["bias"] = true;
    json fourWithoutBias = linearModel({1.0f, 0.5f, 0.25f}, 0.1f);
    fourWithoutBias["config"]["bias"] = false;
    json lowerCase = linearModel({1.0f});
    lowerCase["architecture"] = "linear";
    json noVersion = linearModel({1.0f});
    noVersion.erase("version");
    json noConfig = linearModel({1.0f});
    noConfig.erase("config");
    json weightsNotArray = linearModel({1.0f});
    weightsNotArray["weights"] = 3;
    json weightIsText = linearModel({1.0f, 2.0f});
    weightIsText["weights"][1] = "2";
    json versionNotText = linearModel({1.0f});
    versionNotText["version"] = 5;
    const std::string sizeMessage = "Params vector does not match expected size based on architecture parameters";

    struct Case {
        const char* name;
        std::string fileText;
        Kind kind;
        std::string message;  // empty: the JSON library's own text
    };
    const Case cases[] = {
        {"missing weights", noWeights.dump(), Kind::RuntimeError, "Corrupted model file is missing weights."},
        {"empty weights", emptyWeights.dump(), Kind::RuntimeError, sizeMessage},
        {"bias without its weight", threeWithBias.dump(), Kind::RuntimeError, sizeMessage},
        {"extra weight", fourWithoutBias.dump(), Kind::RuntimeError, sizeMessage},
        {"unknown architecture", lowerCase.dump(), Kind::RuntimeError,
         "No config parser registered for architecture: linear"},
        {"weight beyond float range", R"({"version":"0.5.0","architecture":"Linear","config":{"receptive_field":3,
          "bias":false},"weights":[1,2,1e39]})",
         Kind::RuntimeError, "Weight 2 is not a finite 32-bit float"},
        {"not JSON", "{\"version\": ", Kind::JsonParse, ""},
        {"comment", "// model\n" + linearModel({1.0f}).dump(), Kind::JsonParse, ""},
        {"top level is an array", "[1, 2]", Kind::JsonType, ""},
        {"version not a string", versionNotText.dump(), Kind::JsonType, ""},
        {"weights not an array", weightsNotArray.dump(), Kind::JsonType, ""},
        {"weight is text", weightIsText.dump(), Kind::JsonType, ""},
        {"missing version", noVersion.dump(), Kind::JsonOutOfRange, ""},
        {"missing config", noConfig.dump(), Kind::JsonOutOfRange, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = dir.write("bad.nam", c.fileText);
        const Thrown thrown = catchFrom([&] { nam::get_dsp(file); });
        EXPECT_EQ(thrown.kind, c.kind) << thrown.message;
        if (!c.message.empty()) {
            EXPECT_EQ(thrown.message, c.message);
        }
    }
}

TEST(NamLoader, MissingPathsAndDirectories) {
    TempDir dir;
    const Thrown missing = catchFrom([&] { nam::get_dsp(dir.path() / "absent.nam"); });
    EXPECT_EQ(missing.kind, Kind::RuntimeError);
    EXPECT_EQ(missing.message, "Config file doesn't exist!\n");

    // A directory passes the existence test and fails when it is read as JSON.
    const Thrown directory = catchFrom([&] { nam::get_dsp(dir.path()); });
    EXPECT_NE(directory.message, missing.message);
    EXPECT_FALSE(directory.message.empty());
}

// A model file can come from anywhere: a FIFO must not stop the loader (it runs in the effect's
// process), and a file too large or too deep is refused before any tree is built. Each error names
// the file.
TEST(NamLoader, FilesThatAreNotSmallRegularShallowJSONAreRefusedAtOnce) {
    TempDir dir;
    const auto fifo = dir.file("fifo.nam");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // In a child with a deadline: opening a FIFO for reading waits for a writer.
    EXPECT_EQ(tolvane::test::exitCodeOfForkedRun([&] {
        const Thrown thrown = catchFrom([&] { nam::get_dsp(fifo); });
        return thrown.message.find(fifo.string() + ": not a regular file") != std::string::npos ? 0 : 1;
    }, std::chrono::seconds(30)), 0);

    // Sparse: only its size is looked at.
    const auto large = dir.write("large.nam", linearModel({1.0f}));
    std::filesystem::resize_file(large, nam::kMaxModelFileBytes + 1);
    EXPECT_NE(catchFrom([&] { nam::get_dsp(large); }).message.find(large.string() + ": larger than"), std::string::npos);

    json deep = linearModel({1.0f});
    deep["notes"] = tolvane::test::nestedArrays(65);
    const auto deepFile = dir.write("deep.nam", deep);
    const Thrown thrown = catchFrom([&] { nam::get_dsp(deepFile); });
    EXPECT_EQ(thrown.kind, Kind::RuntimeError);
    EXPECT_EQ(thrown.message, "Model file " + deepFile.string() + " nests deeper than 64 levels");
}

TEST(NamLoader, TextAfterTheModelIsIgnored) {
    TempDir dir;
    EXPECT_NE(nam::get_dsp(dir.write("m.nam", linearModel({1.0f}).dump() + "\ntrailing words")), nullptr);
}

TEST(NamLoader, MetadataAndSampleRate) {
    json plain = linearModel({1.0f});
    plain.erase("sample_rate");
    auto model = nam::get_dsp(plain);
    EXPECT_FALSE(model->HasLoudness());
    EXPECT_FALSE(model->HasInputLevel());
    EXPECT_FALSE(model->HasOutputLevel());
    EXPECT_EQ(model->GetExpectedSampleRate(), -1.0);
    EXPECT_THROW(model->GetLoudness(), std::runtime_error);

    for (const json& metadata : {json(nullptr), json{{"loudness", nullptr}}, json("not an object")}) {
        json m = linearModel({1.0f});
        m["metadata"] = metadata;
        EXPECT_FALSE(nam::get_dsp(m)->HasLoudness()) << metadata.dump();
    }

    json full = linearModel({1.0f});
    full["metadata"] = {{"loudness", -20.5}, {"input_level_dbu", 12.5}, {"output_level_dbu", -3}, {"name", "x"}};
    model = nam::get_dsp(full);
    EXPECT_EQ(model->GetLoudness(), -20.5);
    EXPECT_EQ(model->GetInputLevel(), 12.5);
    EXPECT_EQ(model->GetOutputLevel(), -3.0);
    EXPECT_EQ(model->GetExpectedSampleRate(), 48000.0);

    json textLoudness = linearModel({1.0f});
    textLoudness["metadata"] = {{"loudness", "loud"}};
    EXPECT_THROW(nam::get_dsp(textLoudness), json::type_error);
}

TEST(NamLoader, RecordHoldsTheFileContents) {
    TempDir dir;
    json file = nam_test::withLoudness(linearModel({0.5f, 0.25f}, 0.1f), -14.0);
    nam::dspData record;
    auto model = nam::get_dsp(dir.write("m.nam", file), record);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(record.version, "0.5.4");
    EXPECT_EQ(record.architecture, "Linear");
    EXPECT_EQ(record.config, file["config"]);
    EXPECT_EQ(record.metadata, file["metadata"]);
    EXPECT_EQ(record.weights, (std::vector<float>{0.5f, 0.25f, 0.1f}));
    EXPECT_EQ(record.expected_sample_rate, 48000.0);

    // Building from a record moves its weights out.
    nam::dspData copy = record;
    EXPECT_NE(nam::get_dsp(copy), nullptr);
    EXPECT_TRUE(copy.weights.empty());
}

TEST(NamRegistry, RefusesDuplicatesAndLooksNamesUpExactly) {
    auto& registry = nam::ConfigParserRegistry::instance();
    EXPECT_TRUE(registry.has("Linear"));
    EXPECT_FALSE(registry.has("LINEAR"));
    const Thrown duplicate = catchFrom(
        [] { nam::register_config_parser("Linear", [](const json&, double) { return nullptr; }); });
    EXPECT_EQ(duplicate.message, "Config parser already registered for: Linear");
    const Thrown unknown = catchFrom([] { nam::lookup_config_parser("Transformer", json::object(), 48000.0); });
    EXPECT_EQ(unknown.message, "No config parser registered for architecture: Transformer");
}

TEST(NamRegistry, ANewArchitectureLoadsThroughTheRegistry) {
    // What a later architecture does: register a parser, then files naming it load.
    double seenRate = 0.0;
    nam::register_config_parser("LoaderTestEcho", [&seenRate](const json& config, double rate) {
        seenRate = rate;
        EXPECT_EQ(config.at("gain"), 2);
        struct Config : nam::ModelConfig {
            std::unique_ptr<nam::DSP> create(std::vector<float> weights, double) override {
                EXPECT_EQ(weights, (std::vector<float>{7.0f}));
                return std::make_unique<nam_test::ScriptedModel>();
            }
        };
        return std::make_unique<Config>();
    });
    json file = {{"version", "0.6.0"}, {"architecture", "LoaderTestEcho"}, {"config", {{"gain", 2}}},
                 {"weights", {7}},     {"sample_rate", 44100}};
    EXPECT_NE(nam::get_dsp(file), nullptr);
    EXPECT_EQ(seenRate, 44100.0);
}

}  // namespace
