// The knob's arithmetic against hand-computed values, and its typed entry.

#include "tests/panel/PanelTestSupport.h"

#include "panel/model/KnobModel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tolvane::test {
namespace {

TEST(KnobModelTest, DragIsMeasuredFromItsStartClampedAndSnapped) {
    const std::optional<std::vector<float>> none;
    EXPECT_FLOAT_EQ(dragValue(20, -150, 300, 0, 100, none), 70);
    EXPECT_FLOAT_EQ(dragValue(20, -300, 300, 0, 100, none), 100);
    EXPECT_FLOAT_EQ(dragValue(20, -270, 300, 0, 100, none), 100) << "20 + 90 = 110, clamped";
    EXPECT_FLOAT_EQ(dragValue(20, 90, 300, 0, 100, none), 0);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_FLOAT_EQ(dragValue(nan, -10, 300, 0, 100, none), 0) << "not a number becomes min";
    EXPECT_FLOAT_EQ(dragValue(0, -3, 300, -12, 12, none), 0.24f);

    const std::optional<std::vector<float>> detents{{0, 50, 100}};
    EXPECT_FLOAT_EQ(dragValue(25, 0, 300, 0, 100, detents), 0) << "on a tie the earlier point wins";
    EXPECT_FLOAT_EQ(snapToNearest(26, {0, 50, 100}), 50);
    EXPECT_FLOAT_EQ(snapToNearest(75, {100, 50}), 100);
}

TEST(KnobModelTest, EntryTakesOnlySignedWholeNumbersThatFit) {
    EXPECT_EQ(parseWholeNumber("42"), 42);
    EXPECT_EQ(parseWholeNumber("+42"), 42);
    EXPECT_EQ(parseWholeNumber("-5"), -5);
    EXPECT_EQ(parseWholeNumber("9223372036854775807"), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(parseWholeNumber("-9223372036854775808"), std::numeric_limits<int64_t>::min());
    for (const char* bad : {"", "+", "-", "42.5", " 42", "42 ", "4x2", "abc", "9223372036854775808",
                            "-9223372036854775809", "99999999999999999999", "++1"}) {
        EXPECT_FALSE(parseWholeNumber(bad)) << '"' << bad << '"';
    }
}

TEST(KnobModelTest, ConversionsToWholeNumbersAreDefinedForEveryFloat) {
    EXPECT_EQ(wholeNumberText(37.9f), "37");
    EXPECT_EQ(wholeNumberText(-0.5f), "0");
    EXPECT_EQ(truncateToInt64(std::nan("")), 0);
    EXPECT_EQ(truncateToInt64(INFINITY), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(truncateToInt64(-INFINITY), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(truncateToInt64(1e30), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(truncateToInt64(-7.9), -7);
    EXPECT_DOUBLE_EQ(pointerAngle(0, 0, 100, -144, 144), -144);
    EXPECT_DOUBLE_EQ(pointerAngle(100, 0, 100, -144, 144), 144);
    EXPECT_DOUBLE_EQ(pointerAngle(25, 0, 100, -144, 144), -72);
    EXPECT_DOUBLE_EQ(pointerAngle(5, 5, 5, -144, 144), -144) << "an empty range stands at the start";
}

TEST(KnobModelTest, CommittedEntryIsOneGestureAndEveryCommitClosesTheField) {
    PanelFixture f;
    auto knobs = f.panel().knobSection(1.0);
    ASSERT_TRUE(knobs);
    KnobView& knob = (*knobs)[1];  // crackle, 0-100
    f.observable("crackle").setValue(37.9f);
    f.sent.clear();

    knob.beginEditText();
    EXPECT_TRUE(knob.state->isEditing);
    EXPECT_EQ(knob.state->editText, "37");
    knob.state->editText = "-5";
    knob.commitEditText();
    EXPECT_FALSE(knob.state->isEditing);
    EXPECT_FLOAT_EQ(f.observable("crackle").value(), 0) << "clamped to the range";
    using Type = AUParameterAutomationEventType;
    EXPECT_EQ(f.sent, (std::vector<SentEvent>{{2, 0, Type::touch}, {2, 0, Type::release}}));

    for (const char* text : {"+42", "42.5", " 42", "", "1e2"}) {
        knob.beginEditText();
        knob.state->editText = text;
        knob.commitEditText();
        EXPECT_FALSE(knob.state->isEditing) << text;
        EXPECT_FLOAT_EQ(f.observable("crackle").value(), 42) << text;
    }
    knob.beginEditText();
    knob.state->editText = "99999999999999999999999";
    knob.commitEditText();
    EXPECT_FLOAT_EQ(f.observable("crackle").value(), 42) << "an overflowing number is refused";
    knob.beginEditText();
    knob.state->editText = "9223372036854775807";
    knob.commitEditText();
    EXPECT_FLOAT_EQ(f.observable("crackle").value(), 100) << "the largest int64 clamps to max";
}

}  // namespace
}  // namespace tolvane::test
