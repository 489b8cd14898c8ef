#include "effect/stages/Stages.h"

#include "effect/RenderState.h"
#include "effect/dsp/Biquad.h"
#include "effect/dsp/Levels.h"
#include "effect/dsp/StageGuards.h"

#include <algorithm>
#include <cmath>

// Three-band isolator: lows below 300 Hz, mids 300 Hz to 3 kHz, highs above 3 kHz, each a
// cascade of two-pole sections with its own gain from full cut to a boost. With MID and HIGH
// both off, a separate pair of 250 Hz low-pass sections carries the lows alone.

namespace {

struct IsolatorSettings {
    dsp::BiquadCoefficients lowPass250, lowPass300, highPass300, lowPass3000, highPass3000;
    float lowGain = 0, midGain = 0, highGain = 0;
    bool lowsOnly = false;
};

// Full cut at 0, linear up to unity at 50, then up to `boostDb` at 100.
float bandGain(float knob, float boostDb) {
    const float k = knob / 100.0f;
    if (k <= 0.0f) return 0.0f;
    if (k <= 0.5f) return 2.0f * k;
    return dsp::dbToGain((std::min(k, 1.0f) - 0.5f) * 2.0f * boostDb);
}

float cornerW0(float hz, float fs) { return (6.283185f / fs) * dsp::cornerBelowNyquist(hz, fs); }

dsp::BiquadCoefficients lowPassAt(float hz, float fs) {
    const float w0 = cornerW0(hz, fs);
    return dsp::lowPass(w0, std::sin(w0) / 1.414f);
}

dsp::BiquadCoefficients highPassAt(float hz, float fs) {
    const float w0 = cornerW0(hz, fs);
    return dsp::highPass(w0, std::sin(w0) / 1.414f);
}

IsolatorSettings settingsFor(float fs, float low, float high, float mid) {
    IsolatorSettings s;
    s.lowPass250 = lowPassAt(250.0f, fs);
    s.lowPass300 = lowPassAt(300.0f, fs);
    s.highPass300 = highPassAt(300.0f, fs);
    s.lowPass3000 = lowPassAt(3000.0f, fs);
    s.highPass3000 = highPassAt(3000.0f, fs);
    s.lowGain = bandGain(low, 13.0f);
    s.midGain = bandGain(mid, 15.0f);
    s.highGain = bandGain(high, 14.0f);
    // Decided on the raw knobs: 0.5 of 100 still counts as off.
    s.lowsOnly = !(mid > 0.5f || high > 0.5f);
    return s;
}

void isolateChannel(const IsolatorSettings& k, RenderState& st, float* samples, uint32_t n) {
    using dsp::tick;
    for (uint32_t i = 0; i < n; ++i) {
        const float x = samples[i];
        const float low = tick(k.lowPass300, tick(k.lowPass300, x, st.isoLowCutA_z1, st.isoLowCutA_z2),
                               st.isoLowCutB_z1, st.isoLowCutB_z2);
        float mid = tick(k.highPass300, x, st.isoMidCutA_z1, st.isoMidCutA_z2);
        mid = tick(k.highPass300, mid, st.isoMidCutB_z1, st.isoMidCutB_z2);
        mid = tick(k.lowPass3000, mid, st.isoMidBoostA_z1, st.isoMidBoostA_z2);
        mid = tick(k.lowPass3000, mid, st.isoMidBoostB_z1, st.isoMidBoostB_z2);
        const float high = tick(k.highPass3000, tick(k.highPass3000, x, st.isoHighCutA_z1, st.isoHighCutA_z2),
                                st.isoHighCutB_z1, st.isoHighCutB_z2);
        if (!k.lowsOnly) {
            samples[i] = k.lowGain * low + k.midGain * mid + k.highGain * high;
        } else {
            // The band sections above keep running so that switching back is seamless.
            const float lows = tick(k.lowPass250, tick(k.lowPass250, x, st.isoLowBoost_z1, st.isoLowBoost_z2),
                                    st.isoHighBoost_z1, st.isoHighBoost_z2);
            samples[i] = k.lowGain * lows;
        }
    }
    dsp::restartIfNotFinite({&st.isoLowCutA_z1, &st.isoLowCutA_z2, &st.isoLowCutB_z1, &st.isoLowCutB_z2,
                             &st.isoLowBoost_z1, &st.isoLowBoost_z2, &st.isoMidCutA_z1, &st.isoMidCutA_z2,
                             &st.isoMidCutB_z1, &st.isoMidCutB_z2, &st.isoMidBoostA_z1, &st.isoMidBoostA_z2,
                             &st.isoMidBoostB_z1, &st.isoMidBoostB_z2, &st.isoHighCutA_z1, &st.isoHighCutA_z2,
                             &st.isoHighCutB_z1, &st.isoHighCutB_z2, &st.isoHighBoost_z1, &st.isoHighBoost_z2});
}

bool prepare(float fs, float& knob1, float& knob3, float& knob2) {
    dsp::holdKnobsInRange(knob1, knob2, knob3);
    return dsp::isWorkableSampleRate(fs);
}

}  // namespace

void processIsolatorMono(RenderState& state, float* samples, uint32_t n, float fs, float knob1, float knob3,
                         float knob2) {
    if (!prepare(fs, knob1, knob3, knob2)) return;
    isolateChannel(settingsFor(fs, knob1, knob3, knob2), state, samples, n);
}

void processIsolatorBands(RenderState& left, RenderState& right, float* L, float* R, uint32_t n, float fs,
                          float knob1, float knob3, float knob2) {
    if (!prepare(fs, knob1, knob3, knob2)) return;
    const IsolatorSettings settings = settingsFor(fs, knob1, knob3, knob2);
    isolateChannel(settings, left, L, n);
    isolateChannel(settings, right, R, n);
}
