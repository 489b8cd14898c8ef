// Stored and parsed-back numbers under a locale whose decimal point is a comma, as a GTK or Qt
// host sets the user's: fractions must survive every round trip. The locale is process-wide, so
// this executable has its own main that enters de_DE.UTF-8 for every test it runs.

#include "panel/model/EffectsTable.h"
#include "panel/model/PresetStore.h"
#include "tests/panel/PresetTestSupport.h"
#include "tests/plugin/Vst3TestSupport.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempFolder.h"
#include "tools/tolvane-render/Lv2Host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdio>

namespace tolvane::test {
namespace {

constexpr const char* kCommaLocale = "de_DE.UTF-8";

// SAVE AS with fractional knob and output values, then a fresh store reads the same preset.
TEST(CommaDecimalLocale, PresetStoreKeepsFractions) {
    TempFolder scratch;
    ScopedEnvironment config("XDG_CONFIG_HOME", scratch.path().c_str());
    StoredPreset preset = samplePreset("LocTest", 37.5f);
    preset.outputLevel = 62.25f;
    auto store = [] { return PresetStore(UserDefaults::standardUserDefaults(), effectsTable()); };
    ASSERT_EQ(store().add(preset).error, std::nullopt);

    const std::string stored = UserDefaults::standardUserDefaults().dataForKey(PresetStore::kDefaultsKey).value_or("");
    EXPECT_NE(stored.find("\"outputLevel\":62.25"), std::string::npos) << stored;
    EXPECT_NE(stored.find("[37.5,12.5,62.5]"), std::string::npos) << stored;
    const auto loaded = store().load().presets;
    ASSERT_FALSE(loaded.empty());
    EXPECT_EQ(loaded.back(), preset);
}

// A VST3 session's state (DPF's text form of every parameter) restores fractions as saved, in
// the component that renders and in the edit controller that shows the values to the host.
TEST(CommaDecimalLocale, Vst3StateRestoresFractions) {
    Vst3Components components;
    ASSERT_TRUE(components.loaded());
    v3_component_cpp** original = components.make();
    const std::map<std::string, std::string> values = {{"compressor", "37.5"}, {"outputLevel", "62.25"}};
    Vst3Components::setState(original, withParameters(Vst3Components::stateOf(original), values));
    const std::string state = Vst3Components::stateOf(original);

    v3_component_cpp** restored = components.make();
    Vst3Components::setState(restored, state);
    const auto saved = parametersInVst3State(Vst3Components::stateOf(restored));
    EXPECT_EQ(saved.at("compressor"), "37.5");
    EXPECT_EQ(saved.at("outputLevel"), "62.25");

    v3_edit_controller_cpp** controller = components.makeController();
    Vst3MemoryStream stream(state);
    ASSERT_EQ((*controller)->ctrl.set_component_state(controller, stream.stream()), V3_OK);
    const std::vector<double> shown = Vst3Components::plainValues(controller);
    for (const double value : {37.5, 62.25})
        EXPECT_NE(std::find(shown.begin(), shown.end(), value), shown.end()) << value << " is not among the controller's values";
}

// tolvane-render's --set: the probe's gain is its cutoff over the sample rate, so the output of
// a unit input is exactly the value given in hertz divided by the rate.
TEST(CommaDecimalLocale, RenderSettingTakesFractions) {
    Error error;
    const auto host = render::Lv2Host::open(TOLVANE_PROBE_LV2, &error);
    ASSERT_NE(host, nullptr) << error.description();
    constexpr double kRate = 48000;
    ASSERT_TRUE(host->instantiate(kRate, 1, &error)) << error.description();
    ASSERT_TRUE(host->setControl("cutoff", "6000.5", &error)) << error.description();
    host->activate();
    host->audioInput(0)[0] = 1;
    host->run(1);
    EXPECT_FLOAT_EQ(host->audioOutput(0)[0], static_cast<float>(6000.5 / kRate));
    host->deactivate();
}

}  // namespace
}  // namespace tolvane::test

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Listing the tests (as the build does) needs no locale; running them does, and fails
    // outright without it: a missing locale must not pass as a clean run.
    if (!GTEST_FLAG_GET(list_tests) && std::setlocale(LC_ALL, tolvane::test::kCommaLocale) == nullptr) {
        std::fprintf(stderr, "the locale %s is not installed (scripts/setup generates it)\n", tolvane::test::kCommaLocale);
        return 1;
    }
    return RUN_ALL_TESTS();
}
