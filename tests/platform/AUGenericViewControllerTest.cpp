#include "platform/coreaudiokit/AUGenericViewController.h"

#include "platform/dispatch/DispatchQueue.h"
#include "tests/platform/remote/GainTestUnit.h"

#include <gtest/gtest.h>

namespace tolvane::test {
namespace {

using Kind = GenericParameterRow::Kind;

TEST(AUGenericViewControllerTest, OneRowPerParameterUnderItsGroup) {
    auto unit = GainTestUnit::make();
    AUGenericViewController view;
    view.setAuAudioUnit(unit);
    view.loadViewIfNeeded();
    const auto& rows = view.rows();
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0].identifier, "gain");
    EXPECT_EQ(rows[0].group, "");
    EXPECT_EQ(rows[0].kind, Kind::slider);
    EXPECT_EQ(rows[0].maxValue, 4.0f);
    EXPECT_EQ(rows[0].value, 1.0f);
    EXPECT_EQ(rows[0].valueText, "1.00");
    EXPECT_EQ(rows[1].identifier, "echoIn");
    EXPECT_EQ(rows[1].group, "Echo");
    EXPECT_EQ(rows[4].kind, Kind::menu);
    EXPECT_EQ(rows[4].items, (std::vector<std::string>{"A", "B", "C"}));
    // Five rows and one heading for the group.
    EXPECT_EQ(view.preferredContentSize().height, 2 * AUGenericViewController::kMargin + 6 * AUGenericViewController::kRowHeight);
}

TEST(AUGenericViewControllerTest, EditsReachTheUnitAndOutsideChangesComeBackOnTheMainQueue) {
    auto unit = GainTestUnit::make();
    auto gain = unit->parameterTree()->parameterWithAddress(gain::kGain);
    std::vector<AUValue> heard;
    const auto other = unit->parameterTree()->tokenByAddingParameterObserver(
        [&](AUParameterAddress address, AUValue value) {
            if (address == gain::kGain) heard.push_back(value);
        });
    {
        AUGenericViewController view;
        view.setAuAudioUnit(unit);
        view.setValue(0, 9.0f);  // clamped to the range
        EXPECT_EQ(gain->value(), 4.0f);
        EXPECT_EQ(view.rows()[0].value, 4.0f);
        MainQueue::drain();  // the view's own edit does not come back to it as a change

        gain->setValue(0.5f);
        EXPECT_EQ(view.rows()[0].value, 4.0f);
        MainQueue::drain();
        EXPECT_EQ(view.rows()[0].value, 0.5f);
        EXPECT_EQ(view.rows()[0].valueText, "0.50");
        gain->setValue(0.25f);
    }
    MainQueue::drain();  // a change queued for a view that is gone lands nowhere
    EXPECT_EQ(heard, (std::vector<AUValue>{4.0f, 0.5f, 0.25f}));
    unit->parameterTree()->removeParameterObserver(other);
}

TEST(AUGenericViewControllerTest, UnitWithoutATreeHasNoRows) {
    auto unit = std::make_shared<AUAudioUnit>();
    AUGenericViewController view;
    view.setAuAudioUnit(unit);
    view.setValue(0, 1);
    view.loadViewIfNeeded();
    EXPECT_TRUE(view.rows().empty());
    EXPECT_GT(view.preferredContentSize().height, 0);
}

}  // namespace
}  // namespace tolvane::test
