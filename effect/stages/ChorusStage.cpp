#include "effect/stages/Stages.h"

#include "effect/RenderState.h"
#include "effect/dsp/Levels.h"
#include "effect/dsp/StageGuards.h"
#include "effect/stages/DelayStageSupport.h"

#include <array>
#include <cmath>

// Single-voice stereo chorus: each channel reads a 12 ms delay swept by one triangle LFO, in
// opposite directions on the two sides, with a slow opposite amplitude wobble. DEPTH and RATE
// follow voiced tables; MIX blends up to half wet with a small make-up lift.

namespace {

constexpr int64_t kLineMask = 0x7ff;
constexpr std::size_t kLineLength = RenderState::kModulatedLineLength;
constexpr double kAmplitudeLfoHz = 0.042;
constexpr double kBaseDelayMs = 12.0;

// Index 0..10 is knob 0, 10, ..., 100. Rate and depth follow RATE; the depth scale follows DEPTH.
constexpr std::array<float, 11> kRateHz{0.38f, 1.332f, 2.284f, 3.284f, 4.332f, 5.376f,
                                        6.876f, 8.372f, 9.448f, 10.104f, 10.75f};
constexpr std::array<float, 11> kDepthMs{0.15f, 0.64f, 0.85f, 1.12f, 1.12f, 1.04f, 0.70f, 0.60f, 0.45f, 0.35f, 0.30f};
constexpr std::array<float, 11> kDepthScale{0.063f, 0.074f, 0.106f, 0.161f, 0.237f, 0.334f,
                                            0.692f, 1.281f, 2.186f, 3.501f, 5.336f};

struct ChorusSettings {
    double depthSamples = 0, baseSamples = 0, increment = 0, amplitudeIncrement = 0;
    float wet = 0, dry = 1, makeup = 1;
};

// The make-up slope falls from 3.5 dB to 2.5 dB as DEPTH rises to half way.
float makeupSlopeDb(float depthKnob) {
    const float d = depthKnob / 100.0f;
    if (d < 0.25f) return 3.5f - 2.0f * d;
    if (d < 0.5f) return 3.0f - 2.0f * (d - 0.25f);
    return 2.5f;
}

ChorusSettings settingsFor(float fs, float depthKnob, float mixKnob, float rateKnob) {
    ChorusSettings s;
    const float rate = delaystage::knobCurve(kRateHz, rateKnob);
    const float depthMs = delaystage::knobCurve(kDepthMs, rateKnob) * delaystage::knobCurve(kDepthScale, depthKnob);
    const double rateSamples = static_cast<double>(fs);
    s.depthSamples = static_cast<double>(depthMs) * rateSamples / 1000.0;
    s.baseSamples = kBaseDelayMs * rateSamples / 1000.0;
    s.increment = static_cast<double>(rate) / rateSamples;
    s.amplitudeIncrement = kAmplitudeLfoHz / rateSamples;
    const float m = mixKnob / 100.0f;
    s.wet = 0.5f * m;
    s.dry = 1.0f - 0.5f * m;
    s.makeup = dsp::dbToGain(m * makeupSlopeDb(depthKnob));
    return s;
}

// Both lines come into being on the first CHORUS block, from silence with both LFOs at 0.
bool linesReady(RenderState& st) {
    if (st.chorusIIILBuf.size() == kLineLength && st.chorusIIIRBuf.size() == kLineLength) return true;
    if (st.chorusIIILBuf.capacity() < kLineLength || st.chorusIIIRBuf.capacity() < kLineLength) return false;
    delaystage::zeroWithinReservedStorage(st.chorusIIILBuf, kLineLength);
    delaystage::zeroWithinReservedStorage(st.chorusIIIRBuf, kLineLength);
    st.chorusIIIWritePos = 0;
    st.chorusIIILFOPhase = 0;
    st.chorusIIILFOPhaseR = 0;
    return true;
}

// Linear interpolation at a position that may lie before the start of the line: the mask on
// the two's-complement index wraps it to the end.
float tapAt(const float* line, double position) {
    const double j = std::floor(position);
    const auto index = static_cast<int64_t>(j);
    const auto f = static_cast<float>(position - j);
    const float a = line[index & kLineMask];
    return a + (line[(index + 1) & kLineMask] - a) * f;
}

// 0 at phase 0, +1 at a quarter, 0 at a half, -1 at three quarters.
double triangle(double phase) {
    const double q = phase - 0.25;
    return 4.0 * std::fabs(q - std::floor(q) - 0.5) - 1.0;
}

// Phases outside one cycle only come from a damaged state; they restart the cycle.
double phaseInCycle(double phase) { return phase >= 0.0 && phase < 1.0 ? phase : 0.0; }

void advance(double& phase, double increment) {
    phase += increment;
    if (phase >= 1.0) phase -= 1.0;
}

void runChorus(const ChorusSettings& k, RenderState& st, float* L, float* R, uint32_t n) {
    float* lineL = st.chorusIIILBuf.data();
    float* lineR = st.chorusIIIRBuf.data();
    int64_t write = st.chorusIIIWritePos & kLineMask;
    double phase = phaseInCycle(st.chorusIIILFOPhase);
    double amplitudePhase = phaseInCycle(st.chorusIIILFOPhaseR);

    for (uint32_t i = 0; i < n; ++i) {
        const float xL = L[i];
        const float xR = R ? R[i] : xL;
        lineL[write] = xL;
        lineR[write] = xR;
        const double mod = triangle(phase) * k.depthSamples;
        const auto at = static_cast<double>(write);
        const float tapL = tapAt(lineL, at - (k.baseSamples + mod));
        const float tapR = tapAt(lineR, at - (k.baseSamples - mod));
        const float am = 0.2f * static_cast<float>(std::sin(2.0 * 3.1415925 * amplitudePhase));
        L[i] = ((1.0f + am) * tapL * k.wet + xL * k.dry) * k.makeup;
        if (R) R[i] = ((1.0f - am) * tapR * k.wet + xR * k.dry) * k.makeup;
        write = (write + 1) & kLineMask;
        advance(phase, k.increment);
        advance(amplitudePhase, k.amplitudeIncrement);
    }

    st.chorusIIIWritePos = write;
    st.chorusIIILFOPhase = phase;
    st.chorusIIILFOPhaseR = amplitudePhase;
}

}  // namespace

void processChorus(RenderState& state, float* L, float* R, uint32_t n, float fs, float knob1, float knob3,
                   float knob2) {
    if (!dsp::isWorkableSampleRate(fs) || !linesReady(state)) return;
    const ChorusSettings settings =
        settingsFor(fs, dsp::knobInRange(knob1), dsp::knobInRange(knob3), dsp::knobInRange(knob2));
    runChorus(settings, state, L, R, n);
}
