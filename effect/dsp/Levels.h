#pragma once

#include <algorithm>
#include <cmath>

// One-pole smoothing and level conversions shared by the stages.
namespace dsp {

// k = exp(-1/(t·fs)) for a time constant of t seconds.
inline float smoothingCoefficient(float seconds, float fs) { return std::exp(-1.0f / (seconds * fs)); }

// v := v·k + (1 - k)·target
inline void onePoleStep(float& v, float k, float target) { v = v * k + (1.0f - k) * target; }

inline float dbToGain(float db) { return std::pow(10.0f, db / 20.0f); }

// 20·log10 of the level, never below the floor the caller states.
inline float gainToDb(float level, float floorLevel) { return 20.0f * std::log10(std::max(floorLevel, level)); }

inline bool isFinite(float x) { return std::isfinite(x); }

// Non-finite samples (model output gone wild) become 0 so they never reach filter state.
inline float finiteOrZero(float x) { return std::isfinite(x) ? x : 0.0f; }

}  // namespace dsp
