// The main panel's model and the view controller that builds it.

#include "tests/panel/PanelTestSupport.h"
#include "tests/support/TempFolder.h"

#include "panel/layout/PanelLayout.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tolvane::test {
namespace {

TEST(MainViewTest, CaptionsAndTheLitButtonFollowTheModeAndTheRadioBranch) {
    PanelFixture f;
    auto& panel = f.panel();
    auto& mode = f.observable("effectMode");
    auto& amFm = f.observable("amFmMode");
    EXPECT_EQ(panel.knobCaptions(), (std::array<std::string, 3>{"COMPRESSOR", "CRACKLE", "WOW FLUTTER"}));
    mode.applyHostUpdate(3, 5);
    amFm.applyHostUpdate(7, 0);
    EXPECT_EQ(panel.knobCaptions(), (std::array<std::string, 3>{"TUNING", "FILTER", "STATIC"}));
    amFm.applyHostUpdate(7, 1);
    EXPECT_EQ(panel.knobCaptions(), (std::array<std::string, 3>{"FREQUENCY", "LEVEL", "STATIC"}));
    EXPECT_TRUE(panel.showsAmFmSwitch());
    mode.applyHostUpdate(3, 7.9f);
    EXPECT_EQ(panel.effectMode(), 7);
    EXPECT_EQ(panel.knobCaptions()[2], "RESONANCE");
    EXPECT_FALSE(panel.showsAmFmSwitch());
    for (int m = 0; m < 8; ++m) {
        mode.applyHostUpdate(3, static_cast<float>(m));
        int lit = 0;
        for (int i = 0; i < 8; ++i) lit += panel.isEffectActive(i) ? 1 : 0;
        EXPECT_EQ(lit, 1);
        EXPECT_TRUE(panel.isEffectActive(m));
    }
    // Values with no integer form still give a row of the table.
    mode.applyHostUpdate(3, NAN);
    EXPECT_EQ(panel.effectMode(), 0);
    mode.applyHostUpdate(3, 1e30f);
    EXPECT_EQ(panel.knobCaptions()[0], "DEPTH") << "past the end reads as the last row";
}

TEST(MainViewTest, EffectButtonsKeepEachEffectsKnobs) {
    PanelFixture f;
    auto& panel = f.panel();
    f.observable("compressor").setValue(62);
    f.observable("crackle").setValue(40);
    f.observable("wowFlutter").setValue(35);
    panel.selectEffect(1);  // LO-FI, first visit: its defaults
    EXPECT_EQ(panel.effectMode(), 1);
    EXPECT_FLOAT_EQ(f.observable("compressor").value(), 0);
    EXPECT_FLOAT_EQ(f.observable("wowFlutter").value(), 100);
    EXPECT_FLOAT_EQ(f.unitParameter(3).value(), 1) << "the mode reached the unit";
    f.observable("crackle").setValue(9);
    panel.selectEffect(0);
    EXPECT_FLOAT_EQ(f.observable("compressor").value(), 62);
    EXPECT_FLOAT_EQ(f.observable("crackle").value(), 40);
    EXPECT_FLOAT_EQ(f.observable("wowFlutter").value(), 35);
    f.sent.clear();
    panel.selectEffect(0);
    EXPECT_TRUE(f.sent.empty()) << "the current effect's button does nothing";
    panel.selectEffect(1);
    EXPECT_FLOAT_EQ(f.observable("crackle").value(), 9);
}

TEST(MainViewTest, VersionLabelFromTheBundlesVersionKeys) {
    EXPECT_EQ(versionLabelFor("1.2", "1.2"), "v1.2");
    EXPECT_EQ(versionLabelFor("1.2", "45"), "v1.2 (45)");
    EXPECT_EQ(versionLabelFor("1.2", std::nullopt), "v1.2");
    EXPECT_EQ(versionLabelFor(std::nullopt, "45"), "v45");
    EXPECT_EQ(versionLabelFor(std::nullopt, std::nullopt), "");

    TempFolder folder;
    folder.write("Info.json", R"({"CFBundleShortVersionString": "1.2", "CFBundleVersion": 45})");
    Bundle bundle(folder.path());
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("CFBundleShortVersionString"), "1.2");
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("CFBundleVersion"), std::nullopt) << "only strings count";
    EXPECT_EQ(Bundle(folder.path() / "missing").objectForInfoDictionaryKey("CFBundleVersion"), std::nullopt);
}

TEST(ViewControllerTest, EveryBuildIsFreshAndOnlyTheLatestIsShown) {
    auto controller = std::make_shared<AudioUnitViewController>(std::nullopt, std::nullopt);
    MainQueue::drain();
    auto unit = controller->createAudioUnit(effectDescription());
    ASSERT_TRUE(unit);
    EXPECT_EQ(controller->audioUnit, unit);
    EXPECT_EQ(controller->currentPanel(), nullptr) << "the build waits for the main queue";
    // The host loads the view before the queued build runs: two builds, one panel at a time.
    controller->loadViewIfNeeded();
    auto first = controller->currentPanel();
    ASSERT_TRUE(first);
    first->knobStates[0].isEditing = true;
    first->showPluginSettings = true;
    MainQueue::drain();
    auto second = controller->currentPanel();
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    EXPECT_FALSE(second->knobStates[0].isEditing);
    EXPECT_FALSE(second->showPluginSettings);
    EXPECT_NE(second->parameterTree, first->parameterTree) << "a new mirror per build";
    EXPECT_EQ(controller->panelBuildCount(), 2u);
    EXPECT_EQ(controller->preferredContentSize(), (CGSize{672, 418}));

    // A second factory call replaces the unit and the observation.
    auto replacement = controller->createAudioUnit(effectDescription());
    MainQueue::drain();
    EXPECT_EQ(controller->currentPanel()->audioUnit, replacement);
    unit->parameterTree()->parameterWithAddress(0)->setValue(1);
    unit->notifyAllParameterValuesChanged();
    MainQueue::drain();
    EXPECT_FLOAT_EQ(controller->currentPanel()->parameterTree->parameter("compressor")->value(), 50)
        << "the first unit is no longer observed";
}

TEST(ViewControllerTest, AQueuedBuildForAControllerThatIsGoneDoesNothing) {
    auto controller = std::make_shared<AudioUnitViewController>(std::nullopt, std::nullopt);
    MainQueue::drain();
    auto unit = controller->createAudioUnit(effectDescription());
    std::weak_ptr<AudioUnitViewController> weak = controller;
    controller.reset();
    EXPECT_TRUE(weak.expired()) << "the queued build does not keep the controller";
    MainQueue::drain();
    Error error;
    auto failed = std::make_shared<AudioUnitViewController>(std::nullopt, std::nullopt)
                      ->createAudioUnit(AudioComponentDescription{}, &error);
    EXPECT_EQ(failed, nullptr);
    EXPECT_FALSE(error.domain.empty()) << "a failed creation reports its error";
}

}  // namespace
}  // namespace tolvane::test
