// The mirror of the unit's tree: gestures leave as touch / value / release with the panel's token,
// host changes come back through the main queue and never fight the user's hand.

#include "tests/panel/PanelTestSupport.h"

#include "effect/Kessrin_VinylExtensionAudioUnit.h"
#include "panel/model/ObservableAUParameter.h"

#include <gtest/gtest.h>

namespace tolvane::test {
namespace {

using Type = AUParameterAutomationEventType;
constexpr AUParameterAddress kCompressor = 0;

TEST(ObservableParameterTest, KnobDragSendsTouchValuesAndReleaseWithThePanelsToken) {
    PanelFixture f;
    auto knobs = f.panel().knobSection(1.0);
    ASSERT_TRUE(knobs);
    KnobView& knob = (*knobs)[0];  // compressor, 50 by default, range 0-100, 300 points for it all
    knob.dragChanged(-30);  // a = 60
    knob.dragChanged(-60);  // b = 70
    knob.dragChanged(-90);  // c = 80
    knob.dragEnded();

    const std::vector<SentEvent> expected{
        {kCompressor, 60, Type::touch}, {kCompressor, 70, Type::value}, {kCompressor, 80, Type::value},
        {kCompressor, 80, Type::release}};
    EXPECT_EQ(f.sent, expected);
    EXPECT_EQ(f.observable("compressor").editingState(), EditingState::inactive);
    EXPECT_FLOAT_EQ(f.unitParameter(kCompressor).value(), 80);
    // The wrapper's own observer is the originator, so nothing came back to the main queue.
    EXPECT_EQ(MainQueue::drain(), 0u);

    // A click without movement: touch and release with the unchanged value.
    f.sent.clear();
    knob.dragChanged(0);
    knob.dragEnded();
    EXPECT_EQ(f.sent, (std::vector<SentEvent>{{kCompressor, 80, Type::touch}, {kCompressor, 80, Type::release}}));
}

TEST(ObservableParameterTest, HostChangeDuringAGestureIsDroppedAndOneAfterItIsShown) {
    PanelFixture f;
    ObservableAUParameter& p = f.observable("compressor");
    p.onEditingChanged(true);
    p.setValue(55);
    f.unitParameter(kCompressor).setValue(10);  // host automation, queued for the main thread
    MainQueue::drain();
    EXPECT_FLOAT_EQ(p.value(), 55);
    p.onEditingChanged(false);
    MainQueue::drain();
    EXPECT_FLOAT_EQ(p.value(), 55) << "a dropped update is not applied later";

    int redraws = 0;
    p.setChangeHandler([&] { ++redraws; });
    f.sent.clear();
    f.unitParameter(kCompressor).setValue(12);
    EXPECT_FLOAT_EQ(p.value(), 55) << "host changes wait for the main queue";
    MainQueue::drain();
    EXPECT_FLOAT_EQ(p.value(), 12);
    EXPECT_EQ(redraws, 1);
    // A host change to the value already shown redraws nothing; neither is sent back.
    f.unitParameter(kCompressor).setValue(12);
    MainQueue::drain();
    EXPECT_EQ(redraws, 1);
    EXPECT_EQ(f.sent.size(), 2u) << "only the host's own two sets, nothing from the panel";
}

TEST(ObservableParameterTest, RefreshAllParametersRedeliversEveryValue) {
    PanelFixture f;
    // Values the unit took while nobody was told (a state restore writes the store directly).
    auto& unit = static_cast<Kessrin_VinylExtensionAudioUnit&>(*f.unit);
    const std::vector<std::pair<AUParameterAddress, AUValue>> restored{{0, 11}, {1, 22}, {2, 33}, {3, 6},
                                                                      {5, 44}, {7, 1},  {8, 1},  {9, 55}};
    for (auto [address, value] : restored) unit.paramValues->set(address, value);
    EXPECT_EQ(MainQueue::drain(), 0u);
    EXPECT_FLOAT_EQ(f.observable("compressor").value(), 50);

    f.unit->notifyAllParameterValuesChanged();
    MainQueue::drain();
    f.panel().parameterTree->forEachParameter([&](ObservableAUParameter& p) {
        EXPECT_FLOAT_EQ(p.value(), p.parameter.lock()->value()) << p.displayName;
    });
    EXPECT_FLOAT_EQ(f.observable("hissLevel").value(), 55);
    EXPECT_EQ(f.panel().effectMode(), 6);
}

TEST(ObservableParameterTest, AMirrorThatGoesAwayLeavesNoObserverAndIgnoresLateUpdates) {
    auto parameter = AUParameterTree::createParameterWithIdentifier("p", "P", 42, 0, 10, kAudioUnitParameterUnit_Generic,
                                                      std::nullopt, 0, std::nullopt, std::nullopt);
    auto tree = AUParameterTree::createTreeWithChildren({parameter});
    int calls = 0;
    {
        ObservableAUParameterGroup mirror(*tree);
        mirror.parameter("p")->setChangeHandler([&] { ++calls; });
        parameter->setValue(3);  // queued for a wrapper that is about to go
    }
    MainQueue::drain();  // the queued update finds no wrapper and does nothing
    EXPECT_EQ(calls, 0);
    // No observer is left: the next value reaches nobody and queues nothing.
    parameter->setValue(4);
    EXPECT_EQ(MainQueue::drain(), 0u);
}

TEST(ObservableParameterTest, LookupsAndTraceLine) {
    PanelFixture f;
    const auto& tree = *f.panel().parameterTree;
    EXPECT_TRUE(tree.parameter("compressor"));
    EXPECT_FALSE(tree.parameter("effectMode")) << "global identifiers are not top-level";
    EXPECT_FALSE(tree.globalParameter("compressor"));
    EXPECT_TRUE(tree.globalParameter("monoSumOn"));
    EXPECT_EQ(f.observable("compressor").defaultValue, 0);

    EXPECT_EQ(paramWasSetLine(50), "Param was set 50.0");
    EXPECT_EQ(paramWasSetLine(0.1f), "Param was set 0.1");
    EXPECT_EQ(paramWasSetLine(-3), "Param was set -3.0");
}

}  // namespace
}  // namespace tolvane::test
