#include "effect/ParameterSpecs.h"
#include "effect/ParameterStore.h"
#include "tests/support/EffectHost.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using tolvane::test::EffectHost;

struct Expected {
    const char* identifier;
    const char* name;
    AUParameterAddress address;
    float max, defaultValue;
    AudioUnitParameterUnit unit;
};

constexpr Expected kTreeOrder[] = {
    {"compressor", "Knob 1", 0, 100, 50, kAudioUnitParameterUnit_Percent},
    {"crackle", "Knob 2", 2, 100, 0, kAudioUnitParameterUnit_Percent},
    {"wowFlutter", "Knob 3", 1, 100, 0, kAudioUnitParameterUnit_Percent},
    {"outputLevel", "Output", 5, 100, 75, kAudioUnitParameterUnit_Percent},
    {"effectMode", "Effect Mode", 3, 7, 0, kAudioUnitParameterUnit_Indexed},
    {"hissOn", "Hiss", 4, 1, 0, kAudioUnitParameterUnit_Boolean},
    {"amFmMode", "AM/FM", 7, 1, 0, kAudioUnitParameterUnit_Boolean},
    {"monoSumOn", "Mono Sum", 8, 1, 0, kAudioUnitParameterUnit_Boolean},
    {"hissLevel", "Hiss Level", 9, 100, 40, kAudioUnitParameterUnit_Percent},
};

TEST(ParameterTreeTest, BuiltTreeHasFourParametersThenTheGlobalGroupInOrder) {
    auto nodes = buildParameterTree(makeParameterSpecs().children);
    ASSERT_EQ(nodes.size(), 5u);
    for (int i = 0; i < 4; ++i) EXPECT_NE(std::dynamic_pointer_cast<AUParameter>(nodes[i]), nullptr);
    auto group = std::dynamic_pointer_cast<AUParameterGroup>(nodes[4]);
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->identifier(), "global");
    EXPECT_EQ(group->displayName(), "Global");
    EXPECT_EQ(group->children().size(), 5u);

    auto tree = AUParameterTree::createTreeWithChildren(nodes);
    const auto all = tree->allParameters();
    ASSERT_EQ(all.size(), std::size(kTreeOrder));
    for (std::size_t i = 0; i < all.size(); ++i) {
        SCOPED_TRACE(kTreeOrder[i].identifier);
        EXPECT_EQ(all[i]->identifier(), kTreeOrder[i].identifier);
        EXPECT_EQ(all[i]->displayName(), kTreeOrder[i].name);
        EXPECT_EQ(all[i]->address(), kTreeOrder[i].address);
        EXPECT_EQ(all[i]->minValue(), 0);
        EXPECT_EQ(all[i]->maxValue(), kTreeOrder[i].max);
        EXPECT_EQ(all[i]->value(), kTreeOrder[i].defaultValue);
        EXPECT_EQ(all[i]->unit(), kTreeOrder[i].unit);
        EXPECT_EQ(all[i]->flags(), 0xC0000000u);
        EXPECT_FALSE(all[i]->unitName() || all[i]->valueStrings() || all[i]->dependentParameters());
    }
    EXPECT_EQ(tree->parameterWithAddress(6), nullptr);
    EXPECT_TRUE(buildParameterTree({}).empty());
}

TEST(ParameterTreeTest, SpecificationIsBuiltOnceAndShared) {
    EXPECT_EQ(&makeParameterSpecs(), &makeParameterSpecs());
}

TEST(UnitParametersTest, StoreIsSeededWithDefaultsAndFollowsSetsBothWays) {
    EffectHost host;
    auto& unit = *host.unit;
    for (const auto& e : kTreeOrder) EXPECT_EQ(unit.paramValues->get(e.address), e.defaultValue) << e.identifier;
    host.set(ParameterAddress::crackle, 33);
    EXPECT_EQ(unit.paramValues->get(ParameterAddress::crackle), 33);
    unit.paramValues->set(ParameterAddress::hissLevel, 12);
    EXPECT_EQ(host.value(ParameterAddress::hissLevel), 12);
    EXPECT_EQ(unit.compressorParam->address(), 0u);
    EXPECT_EQ(unit.hissLevelParam->address(), 9u);
}

TEST(UnitParametersTest, StringsArePercentWithoutDecimalsAndADashForNoValue) {
    EffectHost host;
    auto tree = host.unit->parameterTree();
    AUValue v = 49.6f;
    EXPECT_EQ(tree->parameterWithAddress(0)->stringFromValue(&v), "50%");
    v = 3;
    EXPECT_EQ(tree->parameterWithAddress(3)->stringFromValue(&v), "3%");
    EXPECT_EQ(tree->parameterWithAddress(5)->stringFromValue(nullptr), "-");
}

TEST(UnitParametersTest, ValuesEnterTheStoreClampedAndFinite) {
    struct Case {
        AUParameterAddress address;
        float in, stored;
    };
    const float nan = std::nanf("");
    const Case cases[] = {
        {0, -5, 0},   {0, 130, 100},  {0, nan, 50},        {1, INFINITY, 0}, {2, -INFINITY, 0}, {5, 200, 100},
        {5, nan, 75}, {9, -1, 0},     {4, 3, 1},           {7, -2, 0},       {8, nan, 0},       {3, 7.9f, 7.9f},
        {3, -1, -1},  {3, 12, 12},
    };
    EffectHost host;
    for (const auto& c : cases) {
        host.set(c.address, c.in);
        EXPECT_EQ(host.value(c.address), c.stored) << "address " << c.address << " value " << c.in;
    }
    host.set(3, nan);
    EXPECT_TRUE(std::isnan(host.value(3)));
    // Addresses the effect does not have are ignored.
    host.unit->paramValues->set(6, 1);
    host.unit->paramValues->set(42, 1);
    EXPECT_EQ(host.unit->paramValues->get(6), 0);
    EXPECT_EQ(host.unit->paramValues->get(42), 0);
}

TEST(UnitParametersTest, OnceTheUnitIsGoneReadsGiveZeroAndSetsDoNothing) {
    std::shared_ptr<AUParameterTree> tree;
    {
        EffectHost host;
        tree = host.unit->parameterTree();
        EXPECT_EQ(tree->parameterWithAddress(5)->value(), 75);
    }
    auto output = tree->parameterWithAddress(5);
    EXPECT_EQ(output->value(), 0);
    output->setValue(30);
    EXPECT_EQ(output->value(), 0);
}

}  // namespace
