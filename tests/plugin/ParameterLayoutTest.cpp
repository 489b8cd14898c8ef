#include "plugin/ParameterLayout.h"
#include "plugin/TolvaneUnit.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tolvane::plugin {
namespace {

std::shared_ptr<AUAudioUnit> effectUnit() {
    Error error;
    auto unit = makeTolvaneUnit(&error);
    if (!unit) throw std::runtime_error(error.description());
    return unit;
}

TEST(ParameterLayout, PresentsTheEffectTreeInTreeOrderWithHostHints) {
    const auto unit = effectUnit();
    const ParameterLayout layout = makeParameterLayout(*unit->parameterTree(), tolvaneValueNames());

    struct Expected {
        const char* symbol;
        const char* name;
        AUParameterAddress address;
        float max, def;
        const char* unit;
        bool boolean, integer, global;
    };
    const Expected expected[] = {
        {"compressor", "Knob 1", 0, 100, 50, "%", false, false, false},
        {"crackle", "Knob 2", 2, 100, 0, "%", false, false, false},
        {"wowFlutter", "Knob 3", 1, 100, 0, "%", false, false, false},
        {"outputLevel", "Output", 5, 100, 75, "%", false, false, false},
        {"effectMode", "Effect Mode", 3, 7, 0, "", false, true, true},
        {"hissOn", "Hiss", 4, 1, 0, "", true, false, true},
        {"amFmMode", "AM/FM", 7, 1, 0, "", true, false, true},
        {"monoSumOn", "Mono Sum", 8, 1, 0, "", true, false, true},
        {"hissLevel", "Hiss Level", 9, 100, 40, "%", false, false, true},
    };
    ASSERT_EQ(layout.parameters.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const HostParameter& p = layout.parameters[i];
        SCOPED_TRACE(expected[i].symbol);
        EXPECT_EQ(p.symbol, expected[i].symbol);
        EXPECT_EQ(p.name, expected[i].name);
        EXPECT_EQ(p.parameter->address(), expected[i].address);
        EXPECT_EQ(p.minValue, 0.0f);
        EXPECT_EQ(p.maxValue, expected[i].max);
        EXPECT_EQ(p.defaultValue, expected[i].def);
        EXPECT_EQ(p.unitLabel, expected[i].unit);
        EXPECT_EQ(p.isBoolean, expected[i].boolean);
        EXPECT_EQ(p.isInteger, expected[i].integer);
        EXPECT_EQ(p.groupIndex.has_value(), expected[i].global);
        if (p.groupIndex) {
            EXPECT_EQ(*p.groupIndex, 0u);
        }
    }
    ASSERT_EQ(layout.groups.size(), 1u);
    EXPECT_EQ(layout.groups[0].symbol, "global");
    EXPECT_EQ(layout.groups[0].name, "Global");
    EXPECT_EQ(layout.parameters[4].valueNames,
              (std::vector<std::string>{"VINYL", "LO-FI", "FILLDRIVE", "ISOLATOR", "PITCH", "RADIO", "CHORUS", "FLANGER"}));
    for (std::size_t i = 0; i < layout.parameters.size(); ++i) {
        if (i != 4) {
            EXPECT_TRUE(layout.parameters[i].valueNames.empty()) << layout.parameters[i].symbol;
        }
    }
}

TEST(ParameterLayout, TakesNamesFromTheTreeFirstAndTheInnermostGroup) {
    using Tree = AUParameterTree;
    const auto flags = kAudioUnitParameterFlag_IsReadable | kAudioUnitParameterFlag_IsWritable;
    auto shape = Tree::createParameterWithIdentifier("shape", "Shape", 1, 0, 2, kAudioUnitParameterUnit_Indexed, std::nullopt, flags,
                                       std::vector<std::string>{"sine", "square", "saw"}, std::nullopt);
    auto time = Tree::createParameterWithIdentifier("time", "Time", 2, 0, 5, kAudioUnitParameterUnit_Seconds, std::nullopt, flags,
                                      std::nullopt, std::nullopt);
    auto gain = Tree::createParameterWithIdentifier("gain", "Gain", 3, -6, 6, kAudioUnitParameterUnit_Generic, std::string("steps"),
                                      flags, std::nullopt, std::nullopt);
    gain->setValue(9);  // outside the range: the host default is clamped
    auto inner = Tree::createGroupWithIdentifier("inner", "Inner", {time});
    auto outer = Tree::createGroupWithIdentifier("outer", "Outer", {shape, inner});
    auto tree = Tree::createTreeWithChildren({outer, gain});

    const ParameterLayout layout = makeParameterLayout(*tree, {{"shape", {"ignored"}}});
    ASSERT_EQ(layout.parameters.size(), 3u);
    EXPECT_EQ(layout.parameters[0].valueNames, (std::vector<std::string>{"sine", "square", "saw"}));
    EXPECT_EQ(layout.parameters[0].groupIndex, 0u);
    EXPECT_EQ(layout.parameters[1].groupIndex, 1u);
    EXPECT_EQ(layout.parameters[1].unitLabel, "s");
    EXPECT_FALSE(layout.parameters[2].groupIndex.has_value());
    EXPECT_EQ(layout.parameters[2].unitLabel, "steps");
    EXPECT_EQ(layout.parameters[2].defaultValue, 6.0f);
    ASSERT_EQ(layout.groups.size(), 2u);
    EXPECT_EQ(layout.groups[1].symbol, "inner");
}

TEST(ParameterLayout, ConformsHostValuesToRangeAndSteps) {
    HostParameter mode;
    mode.maxValue = 7;
    mode.isInteger = true;
    // A host's normalised round trip of 5 in 0-7 lands just below it.
    const float roundTrip = static_cast<float>(5.0 / 7.0) * 7.0f - 1e-6f;
    EXPECT_EQ(conformHostValue(mode, roundTrip), 5.0f);
    EXPECT_EQ(conformHostValue(mode, 4.5001f), 5.0f);
    EXPECT_EQ(conformHostValue(mode, 9.0f), 7.0f);
    EXPECT_EQ(conformHostValue(mode, -1.0f), 0.0f);
    EXPECT_FALSE(conformHostValue(mode, NAN).has_value());
    EXPECT_FALSE(conformHostValue(mode, INFINITY).has_value());

    HostParameter toggle;
    toggle.maxValue = 1;
    toggle.isBoolean = true;
    EXPECT_EQ(conformHostValue(toggle, 0.6f), 1.0f);
    EXPECT_EQ(conformHostValue(toggle, 0.4f), 0.0f);

    HostParameter percent;
    percent.maxValue = 100;
    EXPECT_EQ(conformHostValue(percent, 33.3f), 33.3f);
    EXPECT_EQ(conformHostValue(percent, 150.0f), 100.0f);
}

}  // namespace
}  // namespace tolvane::plugin
