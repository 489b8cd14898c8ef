// The gear, the settings overlay and the AM/FM switch; the text fields; and what taps and keys
// reach through the view while the chooser or the modal name dialog is open.

#include "tests/panel/PanelTestSupport.h"

#include "panel/PanelView.h"
#include "panel/layout/PanelLayout.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>

namespace tolvane::test {
namespace {

using Type = AUParameterAutomationEventType;

// Records what the gear posts instead of posting it.
struct PostRecorder final : DarwinNotificationPoster {
    std::vector<std::string> posted;
    bool post(std::string_view name, Error*) override {
        posted.emplace_back(name);
        return true;
    }
};

// A panel of its own over the fixture's unit, with a recording poster and a given opener.
std::unique_ptr<Kessrin_VinylExtensionMainView> panelOver(const PanelFixture& f, std::shared_ptr<PostRecorder> poster,
                                                          const NSWorkspace* workspace) {
    Kessrin_VinylExtensionMainView::Arguments a;
    a.parameterTree = std::make_shared<ObservableAUParameterGroup>(*f.unit->parameterTree());
    a.audioUnit = f.unit;
    a.effects = effectsTable();
    a.topRowOrder = topRowOrder();
    a.bottomRowOrder = bottomRowOrder();
    a.notificationPoster = std::move(poster);
    a.workspace = workspace;
    return std::make_unique<Kessrin_VinylExtensionMainView>(std::move(a));
}

TEST(SettingsTest, TheGearOpensTheOverlayInAHostAndAsksTheStandaloneApplicationOtherwise) {
    PanelFixture f;
    auto poster = std::make_shared<PostRecorder>();
    auto panel = panelOver(f, poster, nullptr);
    auto& mode = *panel->parameterTree->globalParameter("effectMode");
    mode.applyHostUpdate(3, 5);
    panel->showPresetChooser = true;
    ASSERT_TRUE(panel->showsAmFmSwitch());
    ASSERT_TRUE(panel->showsPresetChooser());

    panel->openSettings();
    EXPECT_TRUE(poster->posted.empty());
    EXPECT_TRUE(panel->showPluginSettings);
    EXPECT_FALSE(panel->showsPresetBar());
    EXPECT_FALSE(panel->showsPresetChooser());
    EXPECT_FALSE(panel->showsAmFmSwitch());
    const PanelLayout covered = layoutPanel(672, 418, *panel);
    EXPECT_FALSE(covered.presetBar || covered.presetChooser || covered.amFmSwitch);
    panel->closeSettings();
    EXPECT_TRUE(panel->showsPresetBar() && panel->showsPresetChooser() && panel->showsAmFmSwitch())
        << "back in their previous state";

    f.unit->setContextName("Standalone");
    panel->openSettings();
    EXPECT_TRUE(panel->showPluginSettings) << "only the exact name counts";
    panel->closeSettings();
    f.unit->setContextName("standalone");
    panel->openSettings();
    EXPECT_FALSE(panel->showPluginSettings);
    EXPECT_EQ(poster->posted, std::vector<std::string>{"com.marlowen.tolvane.showSettings.standalone"});
}

TEST(SettingsTest, HissButtonsTheSliderAndTheSwitchSetTheirParameters) {
    PanelFixture f;
    auto& panel = f.panel();
    auto& hiss = f.observable("hissOn");
    hiss.applyHostUpdate(4, 0.5f);
    EXPECT_TRUE(panel.isHissOn());
    hiss.applyHostUpdate(4, 0.49f);
    EXPECT_FALSE(panel.isHissOn());
    f.sent.clear();
    panel.setHissOn(true);
    panel.setHissOn(true);
    panel.setHissLevel(62);
    EXPECT_EQ(f.sent, (std::vector<SentEvent>{{4, 1, Type::value}, {4, 1, Type::value}, {9, 62, Type::value}}))
        << "plain value events, sent again when unchanged";

    f.observable("amFmMode").applyHostUpdate(7, 0.5f);
    EXPECT_TRUE(panel.isAmFmModeFM());
    panel.toggleAmFmMode();
    EXPECT_FLOAT_EQ(f.unitParameter(7).value(), 0);
    EXPECT_FALSE(panel.isAmFmModeFM());
    panel.toggleAmFmMode();
    EXPECT_FLOAT_EQ(f.unitParameter(7).value(), 1);
}

TEST(SettingsTest, TheLinkOpensTheMakersSiteThroughTheOpener) {
    PanelFixture f;
    // An opener that writes down the address it was given, run without a shell in between.
    const auto script = f.configuration.write("opener", "#!/bin/sh\nprintf '%s' \"$1\" > \"$0.called\"\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    const NSWorkspace workspace(script.string());
    auto panel = panelOver(f, nullptr, &workspace);
    EXPECT_TRUE(panel->openMakerSite());
    const auto called = script.string() + ".called";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!std::filesystem::exists(called) && std::chrono::steady_clock::now() < deadline) usleep(10000);
    std::ifstream in(called);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), Kessrin_VinylExtensionMainView::makerSiteURL());
    EXPECT_NE(text.str().find(Kessrin_VinylExtensionMainView::makerSiteHost()), std::string::npos);
}

TEST(TextFieldTest, EditsByUserPerceivedCharacter) {
    std::string text = "Preset 12";
    TextFieldState field;
    beginTextEditing(text, field);
    insertText(text, field, "C");
    EXPECT_EQ(text, "C") << "typing replaces the selected text";
    insertText(text, field, "afe\u0301");
    applyTextFieldKey(text, field, TextFieldKey::left);
    insertText(text, field, "!");
    EXPECT_EQ(text, "Caf!e\u0301") << "the caret stepped over the accented letter as one";
    applyTextFieldKey(text, field, TextFieldKey::right);
    applyTextFieldKey(text, field, TextFieldKey::backspace);
    EXPECT_EQ(text, "Caf!");
    applyTextFieldKey(text, field, TextFieldKey::home);
    applyTextFieldKey(text, field, TextFieldKey::deleteForward);
    EXPECT_EQ(text, "af!");
    insertText(text, field, "\t");
    EXPECT_EQ(text, "af!") << "control characters are keys, not text";
    applyTextFieldKey(text, field, TextFieldKey::selectAll);
    applyTextFieldKey(text, field, TextFieldKey::backspace);
    EXPECT_EQ(text, "");
    applyTextFieldKey(text, field, TextFieldKey::backspace);
    EXPECT_EQ(text, "");
}

class PanelInputTest : public ::testing::TestWithParam<double> {
protected:
    PanelFixture f;
    PanelView view{f.controller};
    Kessrin_VinylExtensionMainView& panel = f.panel();
    double s = GetParam();

    void SetUp() override {
        view.setSize(672 * s, 418 * s);
        view.setPixelsPerPoint(s);
    }
    void tap(double x, double y) {
        view.mousePress(x, y, 0);
        view.mouseRelease(x, y);
    }
    void tap(const Rect& r) { tap(r.midX(), r.midY()); }
};

TEST_P(PanelInputTest, TheDisplaysThreeTapAreasAndTheChooser) {
    ASSERT_EQ(panel.presets.size(), 11u) << "the view loaded the presets when the panel appeared";
    const PresetBarLayout bar = *view.layout().presetBar;
    EXPECT_NEAR(bar.previousArea.width, 36 * s, 1e-9);
    EXPECT_NEAR(bar.display.width, 360 * s, 1e-9);
    EXPECT_NEAR(bar.cells.back().x + bar.cells.back().width - bar.cells.front().x, 258 * s, 1e-9);
    tap(bar.nextArea.x + 2, bar.display.midY());
    EXPECT_EQ(panel.currentPresetName(), "Dusty Vinyl");
    tap(bar.previousArea.x + bar.previousArea.width - 2, bar.display.midY());
    EXPECT_EQ(panel.currentPresetName(), "Whole Steppin");
    tap(bar.listArea);
    ASSERT_TRUE(panel.showPresetChooser);

    PresetChooserLayout chooser = *view.layout().presetChooser;
    EXPECT_TRUE(chooser.rows.back().selected);
    tap(chooser.box.x + 3, chooser.box.y + 3);
    EXPECT_TRUE(panel.showPresetChooser) << "a tap on the box itself keeps it open";
    tap(chooser.rows[4].frame);
    EXPECT_FALSE(panel.showPresetChooser);
    EXPECT_EQ(panel.currentPresetName(), "Crushed");
    tap(bar.listArea);
    tap(view.layout().panel.x + 4, view.layout().panel.y + 200 * s);
    EXPECT_FALSE(panel.showPresetChooser) << "a tap on the dimmed panel closes it";

    // A long list scrolls inside its box.
    for (int i = 0; i < 20; ++i) panel.commitSaveAs("Extra " + std::to_string(i));
    tap(bar.listArea);
    chooser = *view.layout().presetChooser;
    EXPECT_NEAR(chooser.list.height, 320 * s, 1e-9);
    EXPECT_EQ(chooser.rows.front().presetIndex, 0u);
    EXPECT_TRUE(view.scroll(chooser.list.midX(), chooser.list.midY(), -100));
    chooser = *view.layout().presetChooser;
    EXPECT_EQ(chooser.rows.back().presetIndex, panel.presets.size() - 1) << "scrolled to the end and no further";
    EXPECT_NEAR(chooser.scrollOffset, chooser.contentHeight - chooser.list.height, 1e-6);
    tap(chooser.rows.back().frame);
    EXPECT_EQ(panel.currentPresetName(), "Extra 19");
}

TEST_P(PanelInputTest, DisabledButtonsIgnoreTaps) {
    PanelLayout layout = view.layout();
    EXPECT_FALSE(layout.presetBar->save.enabled);
    EXPECT_EQ(hitTest(layout, layout.presetBar->save.frame.midX(), layout.presetBar->save.frame.midY()).kind,
              HitKind::blocked);
    panel.setPresetChooserShown(true);
    layout = view.layout();
    EXPECT_FALSE(layout.presetChooser->trashEnabled);
    tap(layout.presetChooser->trash);
    EXPECT_EQ(panel.presets.size(), 11u);
    EXPECT_TRUE(panel.showPresetChooser);
}

TEST_P(PanelInputTest, TheNameDialogIsModalAndTakesTheKeyboard) {
    EXPECT_FALSE(view.wantsKeyboard());
    const PresetBarLayout bar = *view.layout().presetBar;
    tap(bar.saveAs.frame);
    ASSERT_EQ(panel.activePresetDialog, PresetDialogMode::saveAs);
    EXPECT_TRUE(view.wantsKeyboard());
    // Nothing outside the dialog's box takes a tap: not the bar above it, not the panel.
    for (const Rect& r : {bar.listArea, bar.nextArea, bar.mono.frame, *bar.gear, view.layout().buttons[1].frame}) {
        tap(r);
    }
    EXPECT_FALSE(panel.showPresetChooser);
    EXPECT_FALSE(panel.showPluginSettings);
    EXPECT_EQ(panel.currentPresetName(), "UNSAVED");
    EXPECT_EQ(panel.effectMode(), 0);
    EXPECT_FALSE(panel.monoSumDisplayEnabled);

    // Typing replaces the proposed name; Return does not confirm; the button does.
    view.textInput("M");
    view.textInput("\u00fc");
    view.textInput("de");
    view.keyPress(PanelView::Key::backspace);
    EXPECT_EQ(panel.presetDraftName, "M\u00fcd");
    view.keyPress(PanelView::Key::enter);
    EXPECT_EQ(panel.activePresetDialog, PresetDialogMode::saveAs);
    tap(view.layout().presetDialog->confirm.frame);
    EXPECT_FALSE(panel.activePresetDialog);
    EXPECT_FALSE(view.wantsKeyboard());
    EXPECT_EQ(panel.currentPresetName(), "M\u00fcd");
    EXPECT_EQ(panel.presets.size(), 12u);
}

INSTANTIATE_TEST_SUITE_P(Scales, PanelInputTest, ::testing::Values(1.0, 2.0));

}  // namespace
}  // namespace tolvane::test
