// Where the panel puts things, and what a tap at a point does, at two scales and without drawing.

#include "tests/panel/PanelTestSupport.h"

#include "panel/PanelView.h"
#include "panel/layout/PanelLayout.h"
#include "panel/layout/TextMetrics.h"

#include <gtest/gtest.h>

namespace tolvane::test {
namespace {

// Reference positions (scale 1, panel at the origin) worked out by hand from the panel's stacks.
struct Expected {
    double knobX[4] = {138, 270, 402, 534};
    double readoutTop = 93.5, faceTop = 141.5, faceSize = 95;
    double buttonX[4] = {165, 279, 393, 507};
    double upperRowY = 315, lowerRowY = 360;
};

class LayoutTest : public ::testing::TestWithParam<double> {};

TEST_P(LayoutTest, ElementsSitWhereTheReferencePanelPutsThemScaledAndCentred) {
    PanelFixture f;
    const double s = GetParam();
    // A wide view: the panel is height-bound and centred horizontally.
    const double viewW = 672 * s + 200, viewH = 418 * s;
    const PanelLayout layout = layoutPanel(viewW, viewH, f.panel());
    const double ox = 100;
    EXPECT_DOUBLE_EQ(layout.scale, s);
    EXPECT_EQ(layout.panel, (Rect{ox, 0, 672 * s, 418 * s}));
    const Expected e;
    ASSERT_EQ(layout.knobs.size(), 4u);
    for (int k = 0; k < 4; ++k) {
        EXPECT_NEAR(layout.knobs[k].face.midX(), ox + e.knobX[k] * s, 1e-9);
        EXPECT_NEAR(layout.knobs[k].face.y, e.faceTop * s, 1e-9);
        EXPECT_NEAR(layout.knobs[k].face.width, e.faceSize * s, 1e-9);
        EXPECT_NEAR(layout.knobs[k].readout.y, e.readoutTop * s, 1e-9);
    }
    ASSERT_EQ(layout.buttons.size(), 8u);
    const int order[8] = {0, 4, 2, 3, 6, 1, 7, 5};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(layout.buttons[i].effectIndex, order[i]);
        EXPECT_NEAR(layout.buttons[i].frame.midX(), ox + e.buttonX[i % 4] * s, 1e-9);
        EXPECT_NEAR(layout.buttons[i].frame.midY(), (i < 4 ? e.upperRowY : e.lowerRowY) * s, 1e-9);
    }
    EXPECT_NEAR(layout.divider.midY(), 288 * s, 1e-9);

    // Taps: a face, a readout, each button, and the gaps between them.
    EXPECT_EQ(hitTest(layout, ox + 402 * s, 189 * s), (HitTarget{HitKind::knobFace, 2}));
    EXPECT_EQ(hitTest(layout, ox + 534 * s, 110 * s), (HitTarget{HitKind::knobReadout, 3}));
    EXPECT_EQ(hitTest(layout, ox + 279 * s, 315 * s), (HitTarget{HitKind::effectButton, 4}));
    EXPECT_EQ(hitTest(layout, ox + 507 * s, 360 * s), (HitTarget{HitKind::effectButton, 5}));
    EXPECT_EQ(hitTest(layout, ox + 222 * s, 315 * s), HitTarget{}) << "between two buttons";
    EXPECT_EQ(hitTest(layout, ox + 204 * s, 189 * s), HitTarget{}) << "between two knobs";
    EXPECT_EQ(hitTest(layout, 50, 200 * s), HitTarget{}) << "outside the panel";
}

TEST_P(LayoutTest, ThePresetBarsDisplayAndTheRadioSwitchSitWhereTheReferencePanelPutsThem) {
    PanelFixture f;
    const double s = GetParam();
    const double ox = 100;
    f.observable("effectMode").applyHostUpdate(3, 5);
    const PanelLayout layout = layoutPanel(672 * s + 2 * ox, 418 * s, f.panel());
    // The bar is centred 18 points below the top and as tall as the 28-point gear; the display,
    // 360 by 22, hangs from its top edge; thirty 8.6-point cells are centred in it.
    const PresetBarLayout& bar = *layout.presetBar;
    EXPECT_NEAR(bar.frame.midY(), 18 * s, 1e-9);
    EXPECT_NEAR(bar.frame.height, 28 * s, 1e-9);
    EXPECT_EQ(bar.display, (Rect{ox + 156 * s, 4 * s, 360 * s, 22 * s}));
    ASSERT_EQ(bar.cells.size(), 30u);
    EXPECT_NEAR(bar.cells.front().x, ox + 207 * s, 1e-9);
    EXPECT_NEAR(bar.cells.back().x + bar.cells.back().width, ox + 465 * s, 1e-9);
    EXPECT_NEAR(bar.previousArea.x, ox + 162 * s, 1e-9);
    EXPECT_NEAR(bar.nextArea.x + bar.nextArea.width, ox + 510 * s, 1e-9);
    EXPECT_NEAR(bar.listArea.x, ox + 206 * s, 1e-9);
    EXPECT_NEAR(bar.listArea.width, 260 * s, 1e-9);
    // The gear's 28-point frame ends 4 points short of the panel's right edge, 1 point up.
    EXPECT_EQ(*bar.gear, (Rect{ox + 640 * s, 0, 28 * s, 28 * s}));
    EXPECT_NEAR(bar.mono.frame.x, ox + 16 * s, 1e-9);
    // The switch's column is centred 237 points right of the centre and 56 above the bottom.
    const AmFmSwitchLayout& amFm = *layout.amFmSwitch;
    EXPECT_NEAR(amFm.button.midX(), ox + 573 * s, 1e-9);
    EXPECT_NEAR((amFm.caption.y + amFm.button.y + amFm.button.height) / 2, 362 * s, 1e-9);
    EXPECT_EQ(hitTest(layout, amFm.button.midX(), amFm.button.midY()).kind, HitKind::amFmSwitch);
}

INSTANTIATE_TEST_SUITE_P(Scales, LayoutTest, ::testing::Values(1.0, 0.5, 2.0));

TEST(LayoutTest, FitsAnyViewAndDropsTheKnobsWhenOneIsMissing) {
    PanelFixture f;
    EXPECT_EQ(layoutPanel(1344, 418, f.panel()).panel, (Rect{336, 0, 672, 418}));
    EXPECT_EQ(layoutPanel(336, 1000, f.panel()).panel, (Rect{0, 395.5, 336, 209}));

    auto tree = AUParameterTree::createTreeWithChildren({AUParameterTree::createParameterWithIdentifier(
        "compressor", "C", 0, 0, 100, kAudioUnitParameterUnit_Generic, std::nullopt, 0, std::nullopt, std::nullopt)});
    Kessrin_VinylExtensionMainView::Arguments arguments;
    arguments.parameterTree = std::make_shared<ObservableAUParameterGroup>(*tree);
    arguments.effects = effectsTable();
    arguments.topRowOrder = topRowOrder();
    arguments.bottomRowOrder = bottomRowOrder();
    Kessrin_VinylExtensionMainView partial(std::move(arguments));
    const auto layout = layoutPanel(672, 418, partial);
    EXPECT_TRUE(layout.knobs.empty());
    EXPECT_FALSE(partial.knobSection(1));
    EXPECT_EQ(layout.buttons.size(), 8u);
    EXPECT_TRUE(partial.isEffectActive(0)) << "no mode parameter reads as VINYL";
}

TEST(TextMetricsTest, TruncationKeepsTheLongestWholeCharacterPrefixThatFitsWithTheEllipsis) {
    // Estimated system-font advances at size 10: 6 per code point, the ellipsis included.
    const EstimatedTextMetrics metrics;
    const auto cut = [&](std::string_view text, double width) {
        return truncatedText(metrics, PanelFonts::system, 10, text, width);
    };
    EXPECT_EQ(cut("Dusty", 30), "Dusty");
    EXPECT_EQ(cut("Dusty Vinyl", 30), "Dust\u2026");
    EXPECT_EQ(cut("Dusty Vinyl", 29.9), "Dus\u2026");
    // A letter and its combining accent are one character: never kept apart.
    const std::string name = "Cafe\xCC\x81 noir";  // ten code points, nine characters
    EXPECT_EQ(cut(name, 30), "Caf\u2026");
    EXPECT_EQ(cut(name, 35.9), "Caf\u2026");
    EXPECT_EQ(cut(name, 36), "Cafe\xCC\x81\u2026");
    // Nothing fits beside the ellipsis: it stands alone.
    EXPECT_EQ(cut("Dusty", 3), "\u2026");
}

TEST(PanelViewTest, PointerGesturesDriveTheControls) {
    PanelFixture f;
    PanelView view(f.controller);
    view.setSize(1344, 836);  // scale 2
    view.setPixelsPerPoint(2);
    const auto layout = view.layout();
    const Rect face = layout.knobs[0].face;
    using Type = AUParameterAutomationEventType;

    // 150 points up are 300 pixels here: from 50, half the range.
    EXPECT_TRUE(view.mousePress(face.midX(), face.midY(), 1.0));
    view.mouseMotion(face.midX() + 40, face.midY() - 300);
    view.mouseRelease(face.midX(), face.midY() - 300);
    EXPECT_EQ(f.sent, (std::vector<SentEvent>{{0, 50, Type::touch}, {0, 100, Type::value}, {0, 100, Type::release}}));
    EXPECT_TRUE(view.needsDisplay());
    view.didDisplay();
    // Only a drag that moves the value asks for a redraw.
    view.mousePress(face.midX(), face.midY(), 1.1);
    view.didDisplay();
    view.mouseMotion(face.midX() + 40, face.midY());
    EXPECT_FALSE(view.needsDisplay());
    view.mouseMotion(face.midX(), face.midY() + 300);
    EXPECT_TRUE(view.needsDisplay());
    view.mouseRelease(face.midX(), face.midY() + 300);
    f.sent.clear();
    view.didDisplay();

    // A button acts on release over itself, not when the pointer leaves it.
    const Rect chorus = layout.buttons[4].frame;
    view.mousePress(chorus.midX(), chorus.midY(), 2.0);
    view.mouseRelease(chorus.midX(), chorus.y - 5);
    EXPECT_EQ(f.panel().effectMode(), 0);
    view.mousePress(chorus.midX(), chorus.midY(), 3.0);
    view.mouseRelease(chorus.midX(), chorus.midY());
    EXPECT_EQ(f.panel().effectMode(), 6);

    // Double-click on a readout opens typed entry; Return commits it.
    const Rect readout = layout.knobs[3].readout;
    view.mousePress(readout.midX(), readout.midY(), 4.0);
    EXPECT_FALSE(view.wantsKeyboard());
    view.mousePress(readout.midX() + 2, readout.midY(), 4.2);
    ASSERT_TRUE(view.wantsKeyboard());
    EXPECT_EQ(f.panel().knobStates[3].editText, "75");
    view.keyPress(PanelView::Key::backspace);
    view.keyPress(PanelView::Key::backspace);
    view.textInput("3");
    view.textInput("0");
    view.keyPress(PanelView::Key::enter);
    EXPECT_FALSE(view.wantsKeyboard());
    EXPECT_FLOAT_EQ(f.unitParameter(5).value(), 30);
    // Presses too far apart in time are two single clicks.
    view.mousePress(readout.midX(), readout.midY(), 10.0);
    view.mousePress(readout.midX(), readout.midY(), 10.5);
    EXPECT_FALSE(view.wantsKeyboard());
}

}  // namespace
}  // namespace tolvane::test
