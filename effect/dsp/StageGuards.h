#pragma once

#include "effect/dsp/Biquad.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>

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

// ---- Non-finite numbers ---------------------------------------------------------------------
//
// The render block hands every stage finite input (see RenderBlock.cpp), but a model, a bed or a
// float-range sample fed to a stage directly can still overflow a section. A filter, follower
// or envelope state that went NaN or infinite keeps it for good (inf - inf is NaN, and NaN stays),
// so at the end of each block a stage hands its groups of states to restartIfNotFinite.

inline bool allFinite(std::initializer_list<float> values) noexcept {
    bool finite = true;
    for (float v : values) finite = finite && std::isfinite(v);
    return finite;
}

// Sets every state of the group to `rest` when any of them is not finite; true when it did.
inline bool restartIfNotFinite(std::initializer_list<float*> states, float rest = 0.0f) noexcept {
    bool finite = true;
    for (const float* s : states) finite = finite && std::isfinite(*s);
    if (finite) return false;
    for (float* s : states) *s = rest;
    return true;
}

// !std::isfinite(x), read from the bits (an exponent of all ones), so that a loop which also
// counts what it finds still vectorises.
inline bool isNonFinite(float x) noexcept { return (std::bit_cast<uint32_t>(x) & 0x7fffffffu) >= 0x7f800000u; }

// Replaces every non-finite sample by 0; true when there was one.
inline bool zeroNonFinite(float* samples, uint32_t n) noexcept {
    uint32_t found = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const bool bad = isNonFinite(samples[i]);
        found |= bad;
        samples[i] = bad ? 0.0f : samples[i];
    }
    return found != 0;
}

}  // namespace dsp
