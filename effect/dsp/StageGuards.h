#pragma once

#include "effect/dsp/Biquad.h"

#include <algorithm>

// Cheap defences that a stage applies once at the top of a block. The parameter store already
// hands the stages finite knobs within 0..100 and the unit refuses unusable sample rates; these
// make sure that whatever float still arrives can never index a table out of range, build an
// unstable filter or turn a delay position into NaN.
namespace dsp {

// Holds a knob to 0..100; NaN counts as 0.
inline float knobInRange(float v) { return v > 0.0f ? std::min(v, 100.0f) : 0.0f; }

// The sample rates a stage works at. Outside them (zero, negative, NaN, or far beyond any audio
// interface) a stage leaves its block and its state as they are.
inline constexpr float kLowestStageSampleRate = 1000.0f;
inline constexpr float kHighestStageSampleRate = 10'000'000.0f;
inline bool isWorkableSampleRate(float fs) { return fs >= kLowestStageSampleRate && fs <= kHighestStageSampleRate; }

// A cookbook section whose corner reaches the Nyquist frequency has a negative alpha and
// diverges. Corners above 0.45·fs are held there (w0 = kHeldCornerW0); at the usual rates no
// stage corner comes near it, so those results are untouched.
inline bool cornerPastNyquist(float hz, float fs) { return fs * 0.45f < hz; }
inline constexpr float kHeldCornerW0 = kTwoPi * 0.45f;

}  // namespace dsp
