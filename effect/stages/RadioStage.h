#pragma once

#include "effect/dsp/Levels.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

class AVAudioPCMBuffer;
class RenderState;

// Pieces of the RADIO stage shared by its FM and AM paths.
namespace radio {

// Channel 0 of a looping sample bed, taken from its slot once per block. A slot that is empty,
// has no channel data or no frames is no bed (length 0).
struct Bed {
    const float* samples = nullptr;
    int64_t length = 0;
    bool present() const noexcept { return length > 0; }
};

Bed bedOf(const AVAudioPCMBuffer* buffer) noexcept;

// A read position brought into 0..length-1 (a position left over from a longer bed, or garbage).
inline int64_t wrapPosition(int64_t position, int64_t length) noexcept {
    if (length <= 0) return position;
    const int64_t r = position % length;
    return r < 0 ? r + length : r;
}

// The bed sample at `position`, which then advances and wraps; 0 without a bed, and the
// position stays where it is. `position` must already be inside the bed.
inline float readLooping(const Bed& bed, int64_t& position) noexcept {
    if (!bed.present()) return 0.0f;
    const float s = bed.samples[position];
    if (++position >= bed.length) position = 0;
    return s;
}

// Knob values are 0..100 by contract; anything else is pulled back so that no table index or
// power goes astray.
inline float clampKnob(float v) noexcept { return std::isfinite(v) ? std::clamp(v, 0.0f, 100.0f) : 0.0f; }

// Rates the stage can work at: a positive, finite rate whose windows fit the counters.
inline bool usableSampleRate(float fs) noexcept { return std::isfinite(fs) && fs > 0.0f && fs <= 1.0e7f; }

// ω = 2π·f/fs with the single-precision 2π. The corner is held below Nyquist so that a section
// stays stable at very low rates; at the usual rates every corner of the stage is far below it.
float angularFrequency(float hz, float fs) noexcept;

// Which static bed plays and how loud, from the STATIC knob (0..1). Each ninth of the travel
// fades its bed in from -36 dB to 0 dB; at the next ninth the next bed starts again at -36 dB.
struct StaticChoice {
    bool active = false;
    int index = 0;
    float gain = 0.0f;
};

StaticChoice chooseStatic(float k3) noexcept;

// Compressor keyed by the static: threshold -28 dB, ratio 20:1, on a peak follower.
struct StaticDucker {
    float attack;
    float release;

    static StaticDucker forRate(float fs) noexcept;

    // Moves the follower towards `peak` and returns the duck gain for this sample.
    float step(float& envelope, float peak) const noexcept {
        const float k = envelope < peak ? attack : release;
        dsp::onePoleStep(envelope, k, peak);
        const float d = dsp::gainToDb(envelope, 1.0e-6f);
        return d > -28.0f ? dsp::dbToGain((d + 28.0f) / 20.0f - 28.0f - d) : 1.0f;
    }
};

// The AM path on one channel with one state (FILTER is knob 2, STATIC knob 3).
void processAM(RenderState& state, float* samples, uint32_t n, float fs, float knob1, float knob3,
               float knob2) noexcept;

}  // namespace radio
