// The editor's link to the host: panel gestures become begin-edit / value / end-edit by plug-in
// parameter index; host changes reach the panel's knobs through the main queue; the host's echo of
// the panel's own values does not move the panel.

#include "tests/panel/PanelTestSupport.h"

#include "panel/PanelView.h"
#include "plugin/PanelHostBridge.h"
#include "plugin/TolvaneUnit.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvane::test {
namespace {

using plugin::PanelHostBridge;

struct BridgeFixture : PanelFixture {
    std::vector<std::string> host;  // what the host was told, in order
    double now = 100;
    PanelHostBridge bridge{unit, plugin::tolvaneValueNames(),
                           PanelHostBridge::HostEdits{
                               [this](uint32_t i, bool started) { host.push_back((started ? "begin " : "end ") + std::to_string(i)); },
                               [this](uint32_t i, float v) { host.push_back("set " + std::to_string(i) + " " + std::to_string(static_cast<int>(v))); }},
                           [this] { return now; }};
    // The plug-in's index of a parameter, in tree order.
    uint32_t index(const std::string& identifier) const {
        const auto layout = plugin::makeParameterLayout(*unit->parameterTree(), plugin::tolvaneValueNames());
        for (uint32_t i = 0; i < layout.parameters.size(); ++i) {
            if (layout.parameters[i].symbol == identifier) return i;
        }
        return UINT32_MAX;
    }
};

TEST(PanelHostBridgeTest, AKnobDragIsOneHostGesture) {
    BridgeFixture f;
    auto knobs = f.panel().knobSection(1);
    const std::string i = std::to_string(f.index("outputLevel"));
    (*knobs)[3].dragChanged(0);
    (*knobs)[3].dragChanged(-30);
    (*knobs)[3].dragEnded();
    EXPECT_EQ(f.host, (std::vector<std::string>{"begin " + i, "set " + i + " 75", "set " + i + " 85", "set " + i + " 85",
                                                "end " + i}));
    f.host.clear();
    f.panel().selectEffect(5);
    EXPECT_EQ(f.host.front(), "set " + std::to_string(f.index("effectMode")) + " 5") << "a button is a plain set";
}

TEST(PanelHostBridgeTest, HostAutomationReachesTheKnobAndIsNotSentBack) {
    BridgeFixture f;
    f.bridge.hostParameterChanged(f.index("compressor"), 12);
    EXPECT_FLOAT_EQ(f.observable("compressor").value(), 50) << "through the main queue";
    MainQueue::drain();
    EXPECT_FLOAT_EQ(f.observable("compressor").value(), 12);
    EXPECT_EQ(f.panel().knobSection(1)->at(0).readout(), "12");
    EXPECT_TRUE(f.host.empty()) << "a host change is not echoed to the host";
    // Stepped parameters are rounded at the boundary: a normalised 5 is still RADIO.
    f.bridge.hostParameterChanged(f.index("effectMode"), 4.9999995f);
    MainQueue::drain();
    EXPECT_EQ(f.panel().effectMode(), 5);
    f.bridge.hostParameterChanged(9999, 1);
    f.bridge.hostParameterChanged(f.index("crackle"), NAN);
    EXPECT_EQ(MainQueue::drain(), 0u);
}

TEST(PanelHostBridgeTest, TheHostsEchoOfThePanelsValuesDoesNotMoveThePanel) {
    BridgeFixture f;
    const uint32_t i = f.index("compressor");
    auto knobs = f.panel().knobSection(1);
    (*knobs)[0].dragChanged(-30);  // 60
    (*knobs)[0].dragChanged(-60);  // 70
    (*knobs)[0].dragChanged(-90);  // 80
    (*knobs)[0].dragEnded();
    // The host hands back what it was sent, late, after the gesture.
    for (float echoed : {60.0f, 70.0f, 80.0f, 80.0f}) f.bridge.hostParameterChanged(i, echoed);
    EXPECT_EQ(MainQueue::drain(), 0u);
    EXPECT_FLOAT_EQ(f.observable("compressor").value(), 80);
    // A real change afterwards, even to a value just echoed, is shown.
    f.now += 0.5;
    f.bridge.hostParameterChanged(i, 70);
    MainQueue::drain();
    EXPECT_FLOAT_EQ(f.observable("compressor").value(), 70);
}

TEST(PanelHostBridgeTest, AHostThatEchoesNothingStillMovesThePanelToAValueItWasSent) {
    BridgeFixture f;
    const uint32_t i = f.index("compressor");
    auto knobs = f.panel().knobSection(1);
    (*knobs)[0].dragChanged(-30);  // 60
    (*knobs)[0].dragChanged(-60);  // 70
    (*knobs)[0].dragChanged(-90);  // 80
    (*knobs)[0].dragEnded();
    // Half a second later the host, which never echoes, goes back to 70 (an undo, automation).
    f.now += 0.5;
    f.bridge.hostParameterChanged(i, 70);
    MainQueue::drain();
    EXPECT_FLOAT_EQ(f.observable("compressor").value(), 70);
    const auto stored = f.panel().captureCurrentPreset("now", "id");
    ASSERT_TRUE(stored);
    EXPECT_FLOAT_EQ(stored->effectValues[0][0], 70) << "SAVE stores what the host has";
}

TEST(PanelHostBridgeTest, EchoesThatComeBackDuringTheDragAreDroppedToo) {
    BridgeFixture f;
    const uint32_t i = f.index("crackle");
    auto knobs = f.panel().knobSection(1);
    // The host answers each value on its next cycle, passing over one of them.
    (*knobs)[1].dragChanged(-30);   // 10
    (*knobs)[1].dragChanged(-60);   // 20
    f.bridge.hostParameterChanged(i, 10);
    (*knobs)[1].dragChanged(-90);   // 30
    (*knobs)[1].dragChanged(-120);  // 40
    f.bridge.hostParameterChanged(i, 30);
    (*knobs)[1].dragEnded();
    f.bridge.hostParameterChanged(i, 40);
    f.bridge.hostParameterChanged(i, 40);
    EXPECT_EQ(MainQueue::drain(), 0u);
    EXPECT_FLOAT_EQ(f.observable("crackle").value(), 40);
    f.bridge.hostParameterChanged(i, 20);
    MainQueue::drain();
    EXPECT_FLOAT_EQ(f.observable("crackle").value(), 20) << "a value passed over is not owed after the gesture";
}

TEST(PanelHostBridgeTest, MonoStereoNamesTheModeTheHostHoldsWhenTheEditorOpensAndAfter) {
    BridgeFixture f;
    const uint32_t i = f.index("monoSumOn");
    // The editor is built over its own unit's defaults; the host's saved values follow.
    PanelView view(f.controller);
    view.setSize(672, 418);
    view.update();
    auto label = [&] { return view.layout().presetBar->mono.title; };
    ASSERT_EQ(label(), "STEREO");
    f.bridge.hostParameterChanged(i, 1);
    MainQueue::drain();
    EXPECT_EQ(label(), "MONO");
    // The first press switches the unit to stereo rather than sending mono again.
    f.host.clear();
    f.panel().toggleMonoSum();
    EXPECT_EQ(f.host.at(1), "set " + std::to_string(i) + " 0");
    EXPECT_EQ(label(), "STEREO");
    // Automation while the editor is open, more than a second later.
    f.now += 2;
    f.bridge.hostParameterChanged(i, 1);
    MainQueue::drain();
    EXPECT_EQ(label(), "MONO");
    f.now += 2;
    f.bridge.hostParameterChanged(i, 0);
    MainQueue::drain();
    EXPECT_EQ(label(), "STEREO");
    // A change made on the unit by anything else (the studio's settings sheet).
    f.unitParameter(8).setValue(1);
    MainQueue::drain();
    EXPECT_EQ(label(), "MONO");
}

}  // namespace
}  // namespace tolvane::test
