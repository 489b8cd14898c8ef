#pragma once

#include "panel/model/ObservableAUParameter.h"
#include "panel/model/TextField.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The rotary control's arithmetic and its gestures, with no drawing: vertical drag measured from
// the value at the start of the drag, optional detents, and a typed whole number.

// Truncation toward zero that is defined for every input: NaN gives 0, values past the 64-bit
// range give its nearest end.
int64_t truncateToInt64(double value);

// The nearest detent; the earliest of equally near points wins. `points` must not be empty.
float snapToNearest(float value, const std::vector<float>& points);

// The value a drag gives: start minus the drag's share of the range (screen y grows downwards,
// so dragging up adds), clamped to [min, max] with a NaN result taken as min, then snapped.
float dragValue(float start, double translationHeight, double dragScale, float min, float max,
                const std::optional<std::vector<float>>& snapPoints);

// A typed entry: an optional sign and one or more decimal digits that fit a 64-bit integer,
// nothing else; none otherwise.
std::optional<int64_t> parseWholeNumber(std::string_view text);

// The readout: the value truncated toward zero, in decimal.
std::string wholeNumberText(float value);

// The pointer angle in degrees for a value: startAngle at min, endAngle at max.
double pointerAngle(float value, float min, float max, double startAngle, double endAngle);

// The knob's own view state; the panel keeps one per knob across redraws.
struct KnobState {
    bool isDragging = false;
    float dragStartValue = 0;
    bool isEditing = false;
    std::string editText;
    TextFieldState editField;  // caret and selection in the entry field
};

// One knob: its arguments and its state, driving one observable parameter.
struct KnobView {
    std::shared_ptr<ObservableAUParameter> param;
    std::string label;
    double scale = 1;
    std::optional<std::vector<float>> snapPoints;
    std::string tickImage;
    double tickScale = 1;
    double tickOffsetWidth = 0;
    double tickOffsetHeight = 0;
    double startAngle = -144;
    double endAngle = 144;
    double dragScale = 300;
    KnobState* state = nullptr;

    // Every movement of the face's drag, the first included; translation in points, y down.
    void dragChanged(double translationHeight);
    void dragEnded();
    // Double-click on the readout; the entry field being shown; Return in the field.
    void beginEditText();
    void refreshEditText();
    void commitEditText();

    double angle() const;
    std::string readout() const;
};
