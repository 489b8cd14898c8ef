// The parameter state a CLAP host stores: every parameter round-trips by symbol, and a document
// that is not ours changes nothing.

#include "plugin/ParameterState.h"
#include "plugin/TolvaneUnit.h"

#include <gtest/gtest.h>

#include <map>

namespace tolvane::plugin {
namespace {

AudioUnitAdapter makeAdapter() {
    Error error;
    std::shared_ptr<AUAudioUnit> unit = makeTolvaneUnit(&error);
    if (!unit) throw std::runtime_error(error.description());
    return AudioUnitAdapter(std::move(unit), 2, tolvaneValueNames());
}

std::map<std::string, float> valuesOf(const AudioUnitAdapter& adapter) {
    std::map<std::string, float> values;
    for (uint32_t i = 0; i < adapter.parameterCount(); ++i) values[adapter.layout().parameters[i].symbol] = adapter.parameterValue(i);
    return values;
}

// A setting away from its default for every parameter, and in its range.
void setEveryParameter(AudioUnitAdapter& adapter) {
    for (uint32_t i = 0; i < adapter.parameterCount(); ++i) {
        const HostParameter& p = adapter.layout().parameters[i];
        adapter.setParameterValue(i, p.defaultValue == p.maxValue ? p.minValue : p.maxValue);
    }
}

TEST(ParameterState, EveryParameterRoundTripsIntoAFreshInstance) {
    AudioUnitAdapter original = makeAdapter();
    setEveryParameter(original);
    const auto saved = valuesOf(original);
    AudioUnitAdapter restored = makeAdapter();
    ASSERT_NE(valuesOf(restored), saved);
    Error error;
    ASSERT_TRUE(loadParameterState(restored, saveParameterState(original), &error)) << error.description();
    EXPECT_EQ(valuesOf(restored), saved);
    EXPECT_EQ(saved.size(), 9u);
}

TEST(ParameterState, ForeignOrDamagedDocumentsChangeNothing) {
    AudioUnitAdapter adapter = makeAdapter();
    const auto before = valuesOf(adapter);
    const char* documents[] = {
        "",
        "not json",
        "[1, 2]",
        R"({"format": "other", "version": 1, "parameters": {}})",
        R"({"format": "tolvane-parameters", "version": 2, "parameters": {"compressor": 10}})",
        R"({"format": "tolvane-parameters", "version": 1})",
        R"({"format": "tolvane-parameters", "version": 1, "parameters": {"crackle": 20, "compressor": "loud"}})",
        R"({"format": "tolvane-parameters", "version": 1, "parameters": {"crackle": 20, "compressor": null}})",
        R"({"format": 7, "version": 1, "parameters": {"crackle": 20}})",
        R"({"format": ["tolvane-parameters"], "version": 1, "parameters": {"crackle": 20}})",
        R"({"format": "tolvane-parameters", "version": 4294967297, "parameters": {"crackle": 20}})",
        R"({"format": "tolvane-parameters", "version": 1, "parameters": {"crackle": 20, "compressor": 1e300}})",
        R"({"format": "tolvane-parameters", "version": 1, "parameters": {"crackle": 20, "compressor": -3.5e38}})",
    };
    for (const char* document : documents) {
        Error error;
        EXPECT_FALSE(loadParameterState(adapter, document, &error)) << document;
        EXPECT_FALSE(error.description().empty());
        EXPECT_EQ(valuesOf(adapter), before) << document;
    }
}

// A session file comes from anywhere: one that is good but for its size or nesting is refused
// whole, although its own values are fine and the deep member's symbol is unknown.
TEST(ParameterState, OversizedOrOverNestedDocumentsChangeNothing) {
    AudioUnitAdapter adapter = makeAdapter();
    const auto before = valuesOf(adapter);
    const std::string good = R"({"format": "tolvane-parameters", "version": 1, "parameters": {"crackle": 20)";
    const std::string documents[] = {
        good + "}}" + std::string(kLargestParameterState, ' '),
        good + R"(, "drive": )" + std::string(65, '[') + std::string(65, ']') + "}}",
    };
    for (const std::string& document : documents) {
        Error error;
        EXPECT_FALSE(loadParameterState(adapter, document, &error)) << document.substr(0, 120);
        EXPECT_NE(error.localizedDescription.find("not a Tolvane parameter state"), std::string::npos);
        EXPECT_EQ(valuesOf(adapter), before);
    }
}

TEST(ParameterState, UnknownSymbolsAreIgnoredAndValuesConformedAsHostChangesAre) {
    AudioUnitAdapter adapter = makeAdapter();
    Error error;
    ASSERT_TRUE(loadParameterState(
        adapter, R"({"format": "tolvane-parameters", "version": 1, "parameters": {"drive": 3, "crackle": 250, "effectMode": 4.6}})",
        &error));
    const auto values = valuesOf(adapter);
    EXPECT_EQ(values.at("crackle"), 100.0f);
    EXPECT_EQ(values.at("effectMode"), 5.0f);
    EXPECT_EQ(values.at("compressor"), 50.0f);  // not in the document: kept
}

}  // namespace
}  // namespace tolvane::plugin
