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

inline void holdKnobsInRange(float& knob1, float& knob2, float& knob3) {
    knob1 = knobInRange(knob1);
    knob2 = knobInRange(knob2);
    knob3 = knobInRange(knob3);
}

// The sample rates a stage works at. Outside them (zero, negative, NaN, or far beyond any audio
// interface) a stage leaves its block and its state as they are.
inline constexpr float kLowestStageSampleRate = 1000.0f;
inline constexpr float kHighestStageSampleRate = 10'000'000.0f;
inline bool isWorkableSampleRate(float fs) { return fs >= kLowestStageSampleRate && fs <= kHighestStageSampleRate; }

// A cookbook section whose corner reaches fs/2 has sin(w0) <= 0, so alpha <= 0 and a2 >= 1: it
// diverges. Corners that follow a knob or a fixed frequency are therefore held at a fraction of
// fs; 0.47 leaves everything up to 20 kHz untouched from 44.1 kHz upwards.
inline constexpr float kCornerLimitRatio = 0.47f;

// The corner in Hz that a section may use at sample rate fs.
inline float cornerBelowNyquist(float hz, float fs, float maxRatio = kCornerLimitRatio) {
    return std::min(hz, maxRatio * fs);
}

// w0 for a corner whose stage states it as a constant 2π·hz divided by fs: that exact value
// wherever the corner is below the limit, the held corner otherwise.
inline float omegaBelowNyquist(float twoPiHz, float hz, float fs, float maxRatio = kCornerLimitRatio) {
    return hz > maxRatio * fs ? kTwoPi * maxRatio : twoPiHz / fs;
}

}  // namespace dsp
