#pragma once

#include <algorithm>

// A cookbook section whose corner reaches fs/2 has sin(w0) <= 0, so alpha <= 0 and a2 >= 1: it
// diverges. Corners that follow a knob or a fixed frequency are therefore held below Nyquist.
// 0.47·fs leaves everything up to 20 kHz untouched from 44.1 kHz upwards.
namespace dsp {

inline constexpr float kMaxCornerRatio = 0.47f;

// The corner in Hz that a section may use at sample rate fs.
inline float cornerBelowNyquist(float hz, float fs) { return std::min(hz, kMaxCornerRatio * fs); }

}  // namespace dsp
