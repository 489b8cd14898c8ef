// The preset bar, the settings overlay, the chooser and the name dialog as drawn off-screen:
// coarse properties of their pixels, and images kept for people to look at.

#include "tests/panel/PanelTestSupport.h"
#include "tests/panel/PixelFrame.h"

#include "panel/render/PanelRenderer.h"

#include <gtest/gtest.h>

namespace tolvane::test {
namespace {

bool litGreen(Pixel p) { return p.g > 0.6 && p.r < 0.35 && p.b < 0.35; }
bool litCyan(Pixel p) { return p.b > 0.7 && p.g > 0.45 && p.r < 0.35; }

class PresetLayersRenderTest : public ::testing::Test {
protected:
    PanelFixture f;
    PanelRenderer renderer{Bundle(TOLVANE_RESOURCE_DIR)};
    Frame frame{672 * 2, 418 * 2};

    void SetUp() override { f.panel().loadUserPresets(); }

    PanelLayout draw(const char* keep = nullptr) {
        const PanelLayout layout = layoutPanel(672 * 2, 418 * 2, f.panel(), renderer.textMetrics());
        Context cr = makeContext(frame.surface());
        renderer.draw(cr.get(), layout, f.panel());
        if (keep) writePng(frame.surface(), std::string("panel-render-") + keep + ".png");
        return layout;
    }
};

TEST_F(PresetLayersRenderTest, TheDisplayLightsInTheColourOfTheState) {
    auto& panel = f.panel();
    PanelLayout layout = draw();
    const Rect display = layout.presetBar->display;
    const Rect lastCell = layout.presetBar->cells.back();
    EXPECT_GT(frame.count(display, litGreen), 200) << "UNSAVED lights green";
    EXPECT_LT(frame.count(display, litCyan), 5);
    EXPECT_GT(frame.count(lastCell, litGreen), 10) << "the unsaved mark";

    panel.applyPreset(panel.presets[0]);
    layout = draw("display");
    EXPECT_GT(frame.count(display, litCyan), 200) << "a preset as stored lights blue";
    EXPECT_LT(frame.count(display, litGreen), 5);
    EXPECT_EQ(frame.count(lastCell, litCyan), 0) << "no mark";

    f.observable("crackle").setValue(41);
    draw();
    EXPECT_GT(frame.count(display, litGreen), 200) << "a changed knob turns it green";
    EXPECT_GT(frame.count(lastCell, litGreen), 10);
}

TEST_F(PresetLayersRenderTest, TheSettingsOverlayCoversTheBarAndTheSwitch) {
    auto& panel = f.panel();
    f.observable("effectMode").applyHostUpdate(3, 5);
    PanelLayout layout = draw("radio");
    ASSERT_TRUE(layout.amFmSwitch);
    const Rect switchArt = layout.amFmSwitch->button;
    const Rect display = layout.presetBar->display;
    EXPECT_GT(frame.mean(switchArt, [](Pixel p) { return p.brightness(); }), 0.15) << "the switch shows";

    f.observable("hissOn").applyHostUpdate(4, 0.5f);
    panel.openSettings();
    layout = draw("settings");
    ASSERT_TRUE(layout.settingsOverlay);
    EXPECT_FALSE(layout.presetBar);
    EXPECT_FALSE(layout.amFmSwitch);
    EXPECT_LT(frame.mean(switchArt, [](Pixel p) { return p.brightness(); }), 0.08) << "covered";
    EXPECT_EQ(frame.count(display, [](Pixel p) { return litGreen(p) || litCyan(p); }), 0) << "no display";
    // The active toggle is the light one: hiss at 0.5 is on.
    const auto plate = [&](const Rect& r) { return frame.at(static_cast<int>(r.x + 3), static_cast<int>(r.y + 3)).brightness(); };
    EXPECT_GT(plate(layout.settingsOverlay->hissOnButton.frame), 0.6);
    EXPECT_LT(plate(layout.settingsOverlay->hissOff.frame), 0.25);
    EXPECT_GT(frame.count(layout.settingsOverlay->done, [](Pixel p) { return p.brightness() > 0.8; }), 20);

    panel.closeSettings();
    layout = draw();
    EXPECT_TRUE(layout.amFmSwitch);
    EXPECT_GT(frame.count(display, litGreen), 200) << "back as it was";
}

TEST_F(PresetLayersRenderTest, TheChooserMarksTheSelectedRowAndTheDialogItsState) {
    auto& panel = f.panel();
    panel.applyPreset(panel.presets[2]);
    panel.setPresetChooserShown(true);
    PanelLayout layout = draw("chooser");
    ASSERT_TRUE(layout.presetChooser);
    const auto& rows = layout.presetChooser->rows;
    ASSERT_EQ(rows.size(), 11u);
    const auto rowGlow = [&](const PresetRowLayout& row) {
        return frame.mean(Rect{row.frame.x + 2, row.frame.y + 2, 6, row.frame.height - 4}, [](Pixel p) { return p.brightness(); });
    };
    EXPECT_GT(rowGlow(rows[2]), rowGlow(rows[1]) + 0.05) << "the selected row is lit";
    EXPECT_GT(frame.count(layout.presetChooser->trash, [](Pixel p) { return p.brightness() > 0.6; }), 10);

    panel.setPresetChooserShown(false);
    panel.beginSaveAs();
    layout = draw("dialog");
    ASSERT_TRUE(layout.presetDialog && layout.presetDialog->field);
    const auto ink = [&](const Rect& r) { return frame.count(r, [](Pixel p) { return p.brightness() > 0.6; }); };
    EXPECT_GT(ink(*layout.presetDialog->field), 50) << "the proposed name";
    EXPECT_GT(ink(layout.presetDialog->confirm.frame), 20);
    panel.presetDraftName = "   ";
    layout = draw();
    EXPECT_EQ(ink(layout.presetDialog->confirm.frame), 0) << "a blank name dims the confirm button";

    panel.presetDraftName = "gentle chorus";
    panel.confirmPresetDialog();
    layout = draw("overwrite");
    ASSERT_TRUE(layout.presetDialog);
    EXPECT_FALSE(layout.presetDialog->field);
    EXPECT_FALSE(layout.presetDialog->messageLines.empty());
    EXPECT_GT(ink(layout.presetDialog->message), 100) << "the question";
}

}  // namespace
}  // namespace tolvane::test
