// The main view's preset operations over the user's presets in a configuration folder of the
// test's own: stepping, SAVE, SAVE AS with its name dialog, overwrite, delete and cancel, the
// state against the selected preset, and the mono-summing write.

#include "tests/panel/PanelTestSupport.h"
#include "tests/panel/PresetTestSupport.h"

#include "panel/model/PresetStore.h"

#include <gtest/gtest.h>

namespace tolvane::test {
namespace {

using Type = AUParameterAutomationEventType;

class PresetOperationsTest : public ::testing::Test {
protected:
    PanelFixture f;
    Kessrin_VinylExtensionMainView& panel = f.panel();

    void SetUp() override { panel.loadUserPresets(); }

    // What the store holds now, read afresh as another panel would.
    std::vector<StoredPreset> stored() const {
        return PresetStore(UserDefaults::standardUserDefaults(), effectsTable()).load().presets;
    }
    std::vector<std::string> storedNames() const {
        std::vector<std::string> names;
        for (const auto& p : stored()) names.push_back(p.name);
        return names;
    }
    float value(const std::string& id) const { return f.observable(id).value(); }
};

TEST_F(PresetOperationsTest, StepsThroughTheListWrappingAtBothEnds) {
    ASSERT_EQ(panel.presets.size(), 11u);
    EXPECT_EQ(panel.currentPresetName(), "UNSAVED");
    panel.stepPreset(-1);
    EXPECT_EQ(panel.currentPresetName(), "Whole Steppin") << "nothing selected: back goes to the last";
    panel.stepPreset(1);
    EXPECT_EQ(panel.currentPresetName(), "Dusty Vinyl") << "and on from the last wraps to the first";
    panel.stepPreset(-1);
    EXPECT_EQ(panel.currentPresetName(), "Whole Steppin");
    panel.selectedPresetID.reset();
    panel.stepPreset(1);
    EXPECT_EQ(panel.currentPresetName(), "Dusty Vinyl") << "nothing selected: on goes to the first";
    for (int i = 0; i < 4; ++i) panel.stepPreset(1);

    // "Crushed": LO-FI with its knobs, every other effect at its table defaults.
    EXPECT_EQ(panel.currentPresetName(), "Crushed");
    EXPECT_EQ(panel.effectMode(), 1);
    EXPECT_FLOAT_EQ(value("compressor"), 97);
    EXPECT_FLOAT_EQ(value("crackle"), 42);
    EXPECT_FLOAT_EQ(value("wowFlutter"), 60);
    EXPECT_FLOAT_EQ(value("hissOn"), 0);
    EXPECT_FLOAT_EQ(value("hissLevel"), 20);
    EXPECT_FLOAT_EQ(f.unitParameter(3).value(), 1) << "the unit got the mode";
    panel.selectEffect(0);
    EXPECT_FLOAT_EQ(value("compressor"), 50) << "VINYL's values from the preset";

    // Unsaved changes follow the state, down to the exact value.
    panel.selectEffect(1);
    EXPECT_FALSE(panel.hasUnsavedChanges());
    f.observable("crackle").setValue(43);
    EXPECT_TRUE(panel.hasUnsavedChanges());
    f.observable("crackle").setValue(42);
    EXPECT_FALSE(panel.hasUnsavedChanges());
}

TEST_F(PresetOperationsTest, AStepPassesOverAPresetThatDoesNotFitTheTable) {
    StoredPreset broken = samplePreset("Seven Effects");
    broken.effectValues.pop_back();
    panel.presets.insert(panel.presets.begin() + 1, broken);
    panel.applyPreset(broken);
    EXPECT_EQ(panel.currentPresetName(), "UNSAVED") << "a preset that does not fit is not applied";
    panel.stepPreset(1);
    panel.stepPreset(1);
    EXPECT_EQ(panel.currentPresetName(), "AM Ghost");
    panel.stepPreset(-1);
    EXPECT_EQ(panel.currentPresetName(), "Dusty Vinyl");
}

TEST_F(PresetOperationsTest, SaveSaveAsOverwriteAndCancel) {
    panel.saveSelectedPreset();
    EXPECT_FALSE(panel.activePresetDialog) << "SAVE with nothing selected opens nothing";
    EXPECT_EQ(stored().size(), 11u);

    // SAVE AS with nothing selected proposes the next number and saves a new preset.
    f.observable("compressor").setValue(12);
    panel.beginSaveAs();
    EXPECT_EQ(panel.activePresetDialog, PresetDialogMode::saveAs);
    EXPECT_EQ(panel.presetDraftName, "Preset 12");
    panel.presetDraftName = "  Late Night \n";
    panel.confirmPresetDialog();
    EXPECT_FALSE(panel.activePresetDialog);
    ASSERT_EQ(stored().size(), 12u);
    EXPECT_EQ(stored().back().name, "Late Night") << "trimmed";
    EXPECT_EQ(panel.currentPresetName(), "Late Night");
    EXPECT_FALSE(panel.hasUnsavedChanges());

    // SAVE keeps the preset's place, name and id.
    f.observable("compressor").setValue(13);
    EXPECT_TRUE(panel.hasUnsavedChanges());
    panel.saveSelectedPreset();
    EXPECT_FALSE(panel.hasUnsavedChanges());
    EXPECT_FLOAT_EQ(stored().back().effectValues[0][0], 13);
    EXPECT_EQ(stored().back().id, panel.selectedPresetID);

    // A name that matches an existing one but for case and accents asks first; confirming keeps
    // that preset's id and place and takes the name as typed, trimmed.
    const StoredPreset dusty = stored().front();
    panel.beginSaveAs();
    EXPECT_EQ(panel.presetDraftName, "Late Night") << "the selected preset's own name";
    panel.presetDraftName = " dústy vinyl ";
    panel.confirmPresetDialog();
    EXPECT_EQ(panel.activePresetDialog, PresetDialogMode::confirmOverwrite);
    EXPECT_EQ(panel.pendingOverwritePresetID, dusty.id);
    EXPECT_EQ(panel.presetDialogMessage(), "A preset named \" dústy vinyl \" already exists.");
    panel.confirmPresetDialog();
    EXPECT_FALSE(panel.activePresetDialog);
    EXPECT_FALSE(panel.pendingOverwritePresetID);
    ASSERT_EQ(stored().size(), 12u);
    EXPECT_EQ(stored().front().id, dusty.id);
    EXPECT_EQ(stored().front().name, "dústy vinyl");
    EXPECT_FLOAT_EQ(stored().front().effectValues[0][0], 13);
    EXPECT_EQ(panel.selectedPresetID, dusty.id);

    // CANCEL in either mode saves nothing.
    const auto before = stored();
    panel.beginSaveAs();
    panel.confirmPresetDialog();  // the selected preset's own name: asks to overwrite it
    EXPECT_EQ(panel.activePresetDialog, PresetDialogMode::confirmOverwrite);
    panel.cancelPresetDialog();
    EXPECT_FALSE(panel.activePresetDialog);
    EXPECT_FALSE(panel.pendingOverwritePresetID);
    EXPECT_EQ(stored(), before);
    // A blank name cannot be confirmed, and confirming it anyway saves nothing.
    panel.beginSaveAs();
    panel.presetDraftName = " \t ";
    EXPECT_FALSE(panel.canConfirmPresetDialog());
    panel.confirmPresetDialog();
    EXPECT_FALSE(panel.activePresetDialog);
    EXPECT_EQ(stored(), before);
}

TEST_F(PresetOperationsTest, DeleteRemovesTheSelectedPresetAndResetsEverything) {
    panel.stepPreset(-1);  // "Whole Steppin"
    panel.setMonoSum(true);
    panel.showPresetChooser = true;
    f.sent.clear();
    panel.deleteSelectedPreset();
    // Mono first, straight to the unit too; then hiss, level, band, output, mode and the knobs.
    EXPECT_EQ(f.sent, (std::vector<SentEvent>{{8, 0, Type::touch}, {8, 0, Type::release}, {8, 0, Type::value},
                                              {4, 0, Type::value}, {9, 40, Type::value}, {7, 0, Type::value},
                                              {5, 75, Type::value}, {3, 0, Type::value}, {0, 50, Type::value},
                                              {2, 0, Type::value}, {1, 0, Type::value}}));
    EXPECT_EQ(storedNames().size(), 10u);
    EXPECT_EQ(panel.presets.size(), 10u);
    EXPECT_EQ(panel.currentPresetName(), "UNSAVED");
    EXPECT_FALSE(panel.showPresetChooser);
    EXPECT_EQ(panel.effectMode(), 0);
    EXPECT_FLOAT_EQ(value("compressor"), 50);
    EXPECT_FLOAT_EQ(value("crackle"), 0);
    EXPECT_FLOAT_EQ(value("wowFlutter"), 0);
    EXPECT_FLOAT_EQ(value("outputLevel"), 75);
    EXPECT_FLOAT_EQ(value("hissOn"), 0);
    EXPECT_FLOAT_EQ(value("hissLevel"), 40);
    EXPECT_FLOAT_EQ(value("amFmMode"), 0);
    EXPECT_FLOAT_EQ(f.unitParameter(8).value(), 0);
    EXPECT_FALSE(panel.monoSumDisplayEnabled);
    panel.deleteSelectedPreset();
    EXPECT_EQ(storedNames().size(), 10u) << "nothing selected, nothing deleted";
}

TEST_F(PresetOperationsTest, MonoSummingReachesTheUnitThreeTimes) {
    f.sent.clear();
    panel.toggleMonoSum();
    EXPECT_TRUE(panel.monoSumDisplayEnabled);
    EXPECT_EQ(f.sent, (std::vector<SentEvent>{{8, 1, Type::touch}, {8, 1, Type::release}, {8, 1, Type::value}}));
    f.sent.clear();
    panel.applyPreset(panel.presets[0]);
    std::vector<SentEvent> mono;
    for (const auto& e : f.sent) {
        if (e.address == 8) mono.push_back(e);
    }
    EXPECT_EQ(mono, (std::vector<SentEvent>{{8, 0, Type::touch}, {8, 0, Type::release}, {8, 0, Type::value}}));
}

TEST_F(PresetOperationsTest, TwoPanelsKeepEachOthersPresets) {
    PanelFixture other(&f);
    auto& second = other.panel();
    second.loadUserPresets();
    panel.commitSaveAs("From the first");
    second.commitSaveAs("From the second");
    EXPECT_EQ(storedNames().size(), 13u);
    EXPECT_EQ(second.presets.size(), 13u) << "the second panel's list took in the first's save";
    // Opening the chooser takes in what the other panel saved since.
    EXPECT_EQ(panel.presets.size(), 12u);
    panel.setPresetChooserShown(true);
    EXPECT_EQ(panel.presets.size(), 13u);
}

TEST_F(PresetOperationsTest, AnOverwriteWhosePresetWasDeletedMeanwhileIsSavedAsNew) {
    PanelFixture other(&f);
    other.panel().loadUserPresets();
    panel.beginSaveAs();
    panel.presetDraftName = "Baked";
    panel.confirmPresetDialog();
    ASSERT_EQ(panel.activePresetDialog, PresetDialogMode::confirmOverwrite);
    // Another panel deletes the preset while this one asks.
    other.panel().applyPreset(other.panel().presets[7]);
    other.panel().deleteSelectedPreset();
    ASSERT_EQ(storedNames().size(), 10u);
    f.observable("compressor").setValue(33);
    panel.confirmPresetDialog();
    const auto names = storedNames();
    ASSERT_EQ(names.size(), 11u);
    EXPECT_EQ(names.back(), "Baked") << "the save went in as a new preset";
    EXPECT_FLOAT_EQ(stored().back().effectValues[0][0], 33);
    EXPECT_EQ(panel.currentPresetName(), "Baked");
}

TEST_F(PresetOperationsTest, AFailedWriteOrReadLeavesTheListAsTheStoreHoldsIt) {
    namespace fs = std::filesystem;
    const fs::path file = UserDefaults::standardUserDefaults().filePath();
    // A folder where the next write's temporary file must go makes every write fail.
    const fs::path obstacle = file.parent_path() / ("." + file.filename().string() + ".tmp");
    fs::create_directory(obstacle);
    testing::internal::CaptureStderr();
    panel.commitSaveAs("Not Written");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("could not be saved"), std::string::npos);
    EXPECT_EQ(panel.presets.size(), 11u) << "the list is what the file holds";
    EXPECT_EQ(panel.currentPresetName(), "UNSAVED") << "no selection of a preset that is not there";
    fs::remove(obstacle);

    // A store that cannot be read at all says nothing about the list: the panel keeps its own.
    fs::rename(file, file.string() + ".away");
    fs::create_directory(file);
    testing::internal::CaptureStderr();
    panel.setPresetChooserShown(true);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(panel.presets.size(), 11u);
    fs::remove(file);
    fs::rename(file.string() + ".away", file);
}

TEST(PresetDisplayTest, NamesAreLaidOutInTheCellsByUserPerceivedCharacter) {
    using View = Kessrin_VinylExtensionMainView;
    const auto joined = [](const std::vector<std::string>& cells) {
        std::string text;
        for (const auto& c : cells) text += c;
        return text;
    };
    EXPECT_EQ(joined(View::displayCellsFor("Dusty Vinyl", 30, false)), std::string(9, ' ') + "DUSTY VINYL" + std::string(10, ' '));
    EXPECT_EQ(joined(View::displayCellsFor("UNSAVED", 30, true)), std::string(11, ' ') + "UNSAVED" + std::string(11, ' ') + "*");
    const std::string thirty = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123";
    EXPECT_EQ(joined(View::displayCellsFor(thirty, 30, false)), thirty);
    EXPECT_EQ(joined(View::displayCellsFor(thirty, 30, true)), thirty.substr(0, 29) + "*");
    for (bool dirty : {false, true}) EXPECT_EQ(View::displayCellsFor(thirty + "XYZ", 30, dirty).size(), 30u);
    // Upper-casing may lengthen a name; what the segments cannot show becomes "-", one cell per
    // character as a reader counts them.
    EXPECT_EQ(View::displayName("straße", 30), "STRASSE");
    EXPECT_EQ(View::displayName("Rock'n roll_1", 30), "ROCK-N ROLL_1");
    EXPECT_EQ(View::displayName("Caf\u00e9", 30), "CAF-");
    EXPECT_EQ(View::displayName("Cafe\u0301", 30), "CAF-") << "a decomposed accent is one cell";
    EXPECT_EQ(View::displayName("\u00e9t\u00e9 1\u20e3", 30), "-T- -");
    EXPECT_EQ(View::displayName("abcdef", 4), "ABCD");
}

}  // namespace
}  // namespace tolvane::test
