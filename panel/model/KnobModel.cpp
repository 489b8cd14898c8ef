#include "panel/model/KnobModel.h"

#include <algorithm>
#include <cmath>
#include <limits>

int64_t truncateToInt64(double value) {
    if (std::isnan(value)) return 0;
    // 2^63 is exactly representable; anything at or past it does not fit.
    constexpr double limit = 9223372036854775808.0;
    if (value >= limit) return std::numeric_limits<int64_t>::max();
    if (value < -limit) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);
}

float snapToNearest(float value, const std::vector<float>& points) {
    float best = points.front();
    float bestDistance = std::fabs(value - best);
    for (float p : points) {
        const float distance = std::fabs(value - p);
        if (distance < bestDistance) {
            best = p;
            bestDistance = distance;
        }
    }
    return best;
}

float dragValue(float start, double translationHeight, double dragScale, float min, float max,
                const std::optional<std::vector<float>>& snapPoints) {
    const float d = static_cast<float>(translationHeight / dragScale);
    float v = start - d * (max - min);
    v = std::isnan(v) ? min : std::fmax(min, v);
    v = std::fmin(v, max);
    if (snapPoints && !snapPoints->empty()) v = snapToNearest(v, *snapPoints);
    return v;
}

std::optional<int64_t> parseWholeNumber(std::string_view text) {
    std::size_t pos = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        pos = 1;
    }
    if (pos == text.size()) return std::nullopt;
    // Accumulate toward the negative side, which holds one more value than the positive one.
    int64_t n = 0;
    for (; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (c < '0' || c > '9') return std::nullopt;
        const int digit = c - '0';
        if (n < (std::numeric_limits<int64_t>::min() + digit) / 10) return std::nullopt;
        n = n * 10 - digit;
    }
    if (negative) return n;
    if (n == std::numeric_limits<int64_t>::min()) return std::nullopt;
    return -n;
}

std::string wholeNumberText(float value) { return std::to_string(truncateToInt64(value)); }

double pointerAngle(float value, float min, float max, double startAngle, double endAngle) {
    const float fraction = (value - min) / (max - min);
    if (!std::isfinite(fraction)) return startAngle;
    return startAngle + (endAngle - startAngle) * static_cast<double>(fraction);
}

void KnobView::dragChanged(double translationHeight) {
    if (!state->isDragging) {
        state->isDragging = true;
        state->dragStartValue = param->value();
        if (param->editingState() != EditingState::began) param->setEditingState(EditingState::began);
    }
    param->setValue(dragValue(state->dragStartValue, translationHeight, dragScale, param->min, param->max, snapPoints));
}

void KnobView::dragEnded() {
    state->isDragging = false;
    param->onEditingChanged(false);
}

void KnobView::beginEditText() {
    state->editText = wholeNumberText(param->value());
    state->isEditing = true;
}

void KnobView::refreshEditText() { state->editText = wholeNumberText(param->value()); }

void KnobView::commitEditText() {
    const auto typed = parseWholeNumber(state->editText);
    if (typed) {
        const int64_t low = truncateToInt64(param->min);
        const int64_t high = truncateToInt64(param->max);
        const int64_t n = std::min(std::max(*typed, low), high);
        float v = static_cast<float>(n);
        if (snapPoints && !snapPoints->empty()) v = snapToNearest(v, *snapPoints);
        if (param->editingState() != EditingState::began) param->setEditingState(EditingState::began);
        param->setValue(v);
        param->onEditingChanged(false);
    }
    state->isEditing = false;
}

double KnobView::angle() const { return pointerAngle(param->value(), param->min, param->max, startAngle, endAngle); }

std::string KnobView::readout() const { return wholeNumberText(param->value()); }
