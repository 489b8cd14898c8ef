#include "effect/ParameterSpecs.h"
#include "panel/model/PresetJSON.h"
#include "tests/panel/PresetTestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <variant>
#include <vector>

using tolvane::test::samplePreset;

namespace {

const std::vector<EffectRow>& table() { return effectsTable(); }

DecodedPresets decode(const std::string& text) { return decodePresets(text, table()); }

nlohmann::json validObject() { return nlohmann::json::parse(encodePresets({samplePreset("Valid")}, table()))[0]; }

// ---- the written form

TEST(PresetJSONTest, WritesKeysInFieldOrderAndFloatsAsTheirShortestText) {
    StoredPreset p;
    p.id = "0F8FAD5B-D9CB-469F-A165-70867728950E";
    p.name = "D\xC3\xBAsty \"A\"";
    p.selectedEffect = 3;
    p.outputLevel = 0.1f;
    p.monoSumEnabled = true;
    p.hissOn = false;
    p.hissLevel = 40;
    p.amFmMode = 1;
    p.effectValues = {{50, 0.3f, 99.99f}, {1e-5f, 0, 100}};
    EXPECT_EQ(encodePresets({p}, table()),
              "[{\"id\":\"0F8FAD5B-D9CB-469F-A165-70867728950E\",\"name\":\"D\xC3\xBAsty \\\"A\\\"\",\"selectedEffect\":3,"
              "\"outputLevel\":0.1,\"monoSumEnabled\":true,\"hissOn\":false,\"hissLevel\":40,\"amFmMode\":1,"
              "\"effectValues\":[[50,0.3,99.99],[1e-05,0,100]]}]");
    EXPECT_EQ(encodePresets({}, table()), "[]");
}

TEST(PresetJSONTest, EveryFloatInRangeReadsBackAsTheSameValue) {
    std::mt19937 random(20);
    std::uniform_real_distribution<float> level(0, 100);
    std::vector<StoredPreset> presets;
    for (int i = 0; i < 200; ++i) {
        auto p = samplePreset(std::string("P").append(std::to_string(i)), level(random), i % 8);
        p.outputLevel = level(random);
        p.hissLevel = std::nextafter(level(random), 100.0f);
        p.amFmMode = level(random) / 100;
        presets.push_back(p);
    }
    presets[0].outputLevel = std::numeric_limits<float>::denorm_min();
    presets[1].hissLevel = std::nextafter(100.0f, 0.0f);
    const auto decoded = decode(encodePresets(presets, table()));
    EXPECT_TRUE(decoded.complete());
    EXPECT_EQ(decoded.presets, presets);
}

// ---- reading: the nine keys with their types

TEST(PresetJSONTest, ObjectsWithAMissingKeyOrAWrongTypeAreUnreadable) {
    const auto valid = validObject();
    std::vector<nlohmann::json> broken;
    for (const auto& [key, value] : valid.items()) {
        auto missing = valid;
        missing.erase(key);
        broken.push_back(missing);
        auto null = valid;
        null[key] = nullptr;
        broken.push_back(null);
    }
    const std::vector<std::pair<const char*, nlohmann::json>> wrong{
        {"id", 7},
        {"id", "not-a-uuid"},
        {"id", "0F8FAD5B-D9CB-469F-A165-70867728950E "},
        {"name", 3},
        {"selectedEffect", 2.5},
        {"selectedEffect", "2"},
        {"selectedEffect", 1e19},
        {"outputLevel", "75"},
        {"monoSumEnabled", 1},
        {"hissOn", "true"},
        {"hissLevel", true},
        {"amFmMode", nlohmann::json::array()},
        {"effectValues", {1, 2, 3}},
        {"effectValues", {{1, "2", 3}}},
        {"effectValues", {{1, nullptr, 3}}},
        {"effectValues", nlohmann::json::object()},
    };
    for (const auto& [key, value] : wrong) {
        auto object = valid;
        object[key] = value;
        broken.push_back(object);
    }
    for (const auto& object : broken) {
        const auto decoded = decode(nlohmann::json::array({object}).dump());
        EXPECT_TRUE(decoded.presets.empty()) << object.dump();
        EXPECT_EQ(decoded.unreadable, 1u) << object.dump();
    }
}

TEST(PresetJSONTest, ReadsLenientlyWhereTheValueIsStillPlain) {
    auto object = validObject();
    object["id"] = "0f8fad5b-d9cb-469f-a165-70867728950e";
    object["selectedEffect"] = 4.0;
    object["comment"] = "ignored";
    // Lengths are checked when a preset is applied.
    object["effectValues"] = {{1, 2}, nlohmann::json::array(), {3, 4, 5, 6}};
    const auto decoded = decode(nlohmann::json::array({object}).dump(2));
    ASSERT_TRUE(decoded.complete());
    ASSERT_EQ(decoded.presets.size(), 1u);
    EXPECT_EQ(decoded.presets[0].id, "0F8FAD5B-D9CB-469F-A165-70867728950E");
    EXPECT_EQ(decoded.presets[0].selectedEffect, 4);
    EXPECT_EQ(decoded.presets[0].effectValues, (std::vector<std::vector<float>>{{1, 2}, {}, {3, 4, 5, 6}}));
    // The extra key is gone once the list is written again.
    EXPECT_EQ(encodePresets(decoded.presets, table()).find("comment"), std::string::npos);
}

TEST(PresetJSONTest, AnEmptyListIsAListAndOtherTextIsNone) {
    for (const char* empty : {"[]", " [ \n ] \n"}) {
        const auto decoded = decode(empty);
        EXPECT_TRUE(decoded.complete()) << empty;
        EXPECT_TRUE(decoded.presets.empty());
    }
    for (const char* notAList : {"", "  ", "{}", "null", "\"[]\"", "garbage"}) EXPECT_FALSE(decode(notAList).isList) << notAList;
}

// ---- reading element by element

TEST(PresetJSONTest, AnUnreadableElementCostsOnlyItself) {
    const auto a = samplePreset("A", 1), b = samplePreset("B", 2), c = samplePreset("C", 3);
    const std::string good = encodePresets({a, b, c}, table());
    const std::string first = good.substr(1, good.find("]]},{") + 3 - 1);  // "{...A...}"
    const std::string rest = good.substr(good.find("]]},{") + 4);          // "{...B...},{...C...}]"

    for (const std::string bad : {"{\"id\": ,]}", "[1, {\"x\": \"]\"}]", "42", ""}) {
        const std::string text = "[" + first + "," + bad + "," + rest;
        const auto decoded = decode(text);
        EXPECT_EQ(decoded.presets, (std::vector<StoredPreset>{a, b, c})) << text;
        EXPECT_EQ(decoded.unreadable, 1u) << text;
    }
    // Brackets, braces and escapes inside a name do not confuse the search for the elements.
    auto tricky = samplePreset("x],[{\"y\\\"}", 4);
    const std::string trickyText = encodePresets({tricky}, table());
    const auto withTricky = decode("[" + first + "," + trickyText.substr(1, trickyText.size() - 2) + "," + rest);
    EXPECT_TRUE(withTricky.complete());
    EXPECT_EQ(withTricky.presets, (std::vector<StoredPreset>{a, tricky, b, c}));
    // A list cut short keeps every element that came through whole.
    const auto cut = decode(good.substr(0, good.size() - 20));
    EXPECT_EQ(cut.presets, (std::vector<StoredPreset>{a, b}));
    EXPECT_FALSE(cut.complete());
    // So does one with bytes after its end.
    const auto trailing = decode(good + "]");
    EXPECT_EQ(trailing.presets, (std::vector<StoredPreset>{a, b, c}));
    EXPECT_FALSE(trailing.complete());
}

// ---- values that cannot be used as they are

TEST(PresetJSONTest, ValuesOutOfRangeAreClampedAndNonFiniteOnesGetTheirDefaults) {
    auto object = validObject();
    object["outputLevel"] = 250;
    object["hissLevel"] = -3;
    object["amFmMode"] = 1e300;  // finite, however large: clamped
    object["selectedEffect"] = 1;
    object["effectValues"] = {{-1, 101, 5}, {-7, 1e30, 9}};
    const auto decoded = decode(nlohmann::json::array({object}).dump());
    ASSERT_EQ(decoded.presets.size(), 1u);
    const auto& p = decoded.presets[0];
    EXPECT_EQ(p.outputLevel, 100);
    EXPECT_EQ(p.hissLevel, 0);
    EXPECT_EQ(p.amFmMode, 1);
    EXPECT_EQ(p.effectValues[0], (std::vector<float>{0, 100, 5}));
    EXPECT_EQ(p.effectValues[1], (std::vector<float>{0, 100, 9}));

    // Values that are not numbers never reach the text as null: they are written as defaults.
    auto nan = samplePreset("NaN", 5, 1);
    nan.outputLevel = std::nanf("");
    nan.hissLevel = -std::numeric_limits<float>::infinity();
    nan.effectValues[1][2] = std::nanf("");
    const std::string written = encodePresets({nan}, table());
    EXPECT_EQ(written.find("null"), std::string::npos) << written;
    const auto back = decode(written);
    ASSERT_TRUE(back.complete());
    EXPECT_EQ(back.presets[0].outputLevel, 75);
    EXPECT_EQ(back.presets[0].hissLevel, 40);
    EXPECT_EQ(back.presets[0].effectValues[1][2], 100);  // LO-FI's filter default
    EXPECT_NE(nan, nan);  // and a record holding NaN equals nothing, not even itself
}

TEST(PresetJSONTest, NumbersBeyondADoublesRangeAreInfinitiesAndGetTheirDefaults) {
    // Only a hand-edited file holds such numbers; JSON has no other text for an infinity.
    auto object = validObject();
    object["name"] = "1e999";
    object["outputLevel"] = 111111.5;
    object["hissLevel"] = 222222.5;
    object["amFmMode"] = 3.5e38;  // beyond a float but not a double: clamped as before
    object["effectValues"] = {{333333.5, 7, 8}, {9, 444444.5, 10}};
    std::string text = nlohmann::json::array({object}).dump();
    const std::pair<std::string, std::string> hugeNumbers[] = {
        {"111111.5", "1e999"}, {"222222.5", "-1E+999"}, {"333333.5", "-12.5e400"}, {"444444.5", std::string(400, '9')}};
    for (const auto& [placeholder, huge] : hugeNumbers) text.replace(text.find(placeholder), placeholder.size(), huge);

    const auto decoded = decode(text);
    ASSERT_TRUE(decoded.complete()) << text;
    const auto& p = decoded.presets.at(0);
    EXPECT_EQ(p.name, "1e999");
    EXPECT_EQ(p.outputLevel, 75);
    EXPECT_EQ(p.hissLevel, 40);
    EXPECT_EQ(p.amFmMode, 1);
    EXPECT_EQ(p.effectValues[0], (std::vector<float>{50, 7, 8}));   // VINYL's first default
    EXPECT_EQ(p.effectValues[1], (std::vector<float>{9, 0, 10}));  // LO-FI's second default
}

TEST(PresetJSONTest, RangesAreThoseOfTheEffectsParameters) {
    const auto& tree = makeParameterSpecs();
    auto spec = [&](const std::string& identifier) {
        std::vector<const NodeSpec*> nodes;
        for (const auto& node : tree.children) nodes.push_back(&node);
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            if (const auto* p = std::get_if<ParameterSpec>(nodes[i]); p && p->identifier == identifier) return *p;
            if (const auto* g = std::get_if<ParameterGroupSpec>(nodes[i]))
                for (const auto& child : g->children) nodes.push_back(&child);
        }
        ADD_FAILURE() << identifier;
        return ParameterSpec{};
    };
    auto expectRange = [&](const PresetValueRange& range, const std::string& identifier) {
        const auto p = spec(identifier);
        EXPECT_EQ(range.minValue, p.minValue) << identifier;
        EXPECT_EQ(range.maxValue, p.maxValue) << identifier;
        EXPECT_EQ(range.defaultValue, p.defaultValue) << identifier;
    };
    expectRange(PresetValueRanges::outputLevel, "outputLevel");
    expectRange(PresetValueRanges::hissLevel, "hissLevel");
    expectRange(PresetValueRanges::amFmMode, "amFmMode");
    expectRange(PresetValueRanges::knobs[0], "compressor");
    expectRange(PresetValueRanges::knobs[1], "crackle");
    expectRange(PresetValueRanges::knobs[2], "wowFlutter");
}

// ---- factory presets

TEST(FactoryPresetsTest, ElevenPresetsWithTheirEffectsAndValues) {
    const auto presets = makeDefaultPresets(table());
    ASSERT_EQ(presets.size(), 11u);
    std::vector<int64_t> effects;
    std::set<std::string> hissOn, ids;
    for (const auto& p : presets) {
        effects.push_back(p.selectedEffect);
        if (p.hissOn) hissOn.insert(p.name);
        ids.insert(p.id);
        EXPECT_EQ(p.outputLevel, 75) << p.name;
        EXPECT_FALSE(p.monoSumEnabled) << p.name;
        EXPECT_EQ(p.effectValues.size(), 8u) << p.name;
    }
    EXPECT_EQ(effects, (std::vector<int64_t>{0, 5, 6, 5, 1, 7, 4, 2, 3, 0, 6}));
    EXPECT_EQ(hissOn, (std::set<std::string>{"Dusty Vinyl", "AM Ghost", "180 Gram"}));
    EXPECT_EQ(ids.size(), 11u);

    const auto& crushed = presets[4];
    EXPECT_EQ(crushed.name, "Crushed");
    EXPECT_EQ(crushed.effectValues[1], (std::vector<float>{97, 42, 60}));
    EXPECT_EQ(crushed.effectValues[0], (std::vector<float>{50, 0, 0}));
    EXPECT_EQ(crushed.effectValues[6], (std::vector<float>{50, 50, 100}));
    const auto& radio = presets[3];
    EXPECT_EQ(radio.name, "On the Radio");
    EXPECT_EQ(radio.amFmMode, 1);
    EXPECT_FALSE(radio.hissOn);
    EXPECT_EQ(radio.hissLevel, 20);
    EXPECT_EQ(presets[9].name, "180 Gram");
    EXPECT_EQ(presets[9].hissLevel, 12);
}

TEST(FactoryPresetsTest, EachSeedingHasFreshIdentifiersAndTheSameContent) {
    auto first = makeDefaultPresets(table());
    const auto second = makeDefaultPresets(table());
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_NE(first[i].id, second[i].id);
        first[i].id = second[i].id;
    }
    EXPECT_EQ(first, second);
}

TEST(FactoryPresetsTest, RowsFindTheirEffectByNormalisedNameOrAreSkipped) {
    auto renamed = table();
    renamed[1].name = "Lo Fi";
    renamed[2].name = "Fill Drive";
    renamed.erase(renamed.begin() + 6);  // no CHORUS: its two presets go, the rest move up one index
    const auto presets = makeDefaultPresets(renamed);
    ASSERT_EQ(presets.size(), 9u);
    std::vector<int64_t> effects;
    for (const auto& p : presets) effects.push_back(p.selectedEffect);
    EXPECT_EQ(effects, (std::vector<int64_t>{0, 5, 5, 1, 6, 4, 2, 3, 0}));
    EXPECT_EQ(presets[3].effectValues.size(), 7u);
}

}  // namespace
