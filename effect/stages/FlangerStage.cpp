#include "effect/stages/Stages.h"

#include "effect/RenderState.h"
#include "effect/dsp/StageGuards.h"
#include "effect/stages/DelayStageSupport.h"

#include <algorithm>
#include <array>
#include <cmath>

// Flanger: one short feedback delay per channel, swept by a shaped triangle LFO whose right
// channel runs a quarter cycle ahead. With RATE at its bottom the sweep stops and DEPTH sets a
// fixed manual delay. High RESONANCE lowers the output by up to 3 dB.

namespace {

constexpr int64_t kLineMask = 2047;
constexpr std::size_t kLineLength = RenderState::kModulatedLineLength;
constexpr float kLongestDelay = 2046.0f;
constexpr float kShortestDelay = 1.0f;
constexpr float kSweepMs = 4.9f;
constexpr float kDelayFloorMs = 0.1f;
constexpr float kManualBelowHz = 0.01f;
constexpr double kRightPhaseLead = 0.25;

// Knob 0, 10, ..., 100. Rate follows RATE, depth and the manual delay DEPTH, feedback RESONANCE.
constexpr std::array<float, 11> kRateHz{0.0f, 0.1f, 0.1f, 0.1f, 0.12f, 0.7f, 4.5f, 13.3f, 30.33f, 43.07f, 43.07f};
constexpr std::array<float, 11> kDepth{0.0f, 0.0f, 0.149f, 0.256f, 0.405f, 0.52f, 0.668f, 0.804f, 0.905f, 1.0f, 1.0f};
constexpr std::array<float, 11> kFeedback{0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.36f, 0.5f, 0.65f, 0.78f, 0.87f, 0.94f};
constexpr std::array<float, 11> kManualMs{13.3f, 10.0f, 8.5f, 7.5f, 6.0f, 4.6f, 3.48f, 2.36f, 1.59f, 1.17f, 0.75f};

struct FlangerSettings {
    bool manual = true;
    float manualMs = 0, sweepMs = 0, feedback = 0, gain = 1, fs = 0;
    double increment = 0;
};

FlangerSettings settingsFor(float fs, float depthKnob, float resonanceKnob, float rateKnob) {
    FlangerSettings s;
    const float rate = delaystage::knobCurve(kRateHz, rateKnob);
    s.manual = rate < kManualBelowHz;
    s.sweepMs = delaystage::knobCurve(kDepth, depthKnob) * kSweepMs;
    s.manualMs = delaystage::knobCurve(kManualMs, depthKnob);
    s.feedback = delaystage::knobCurve(kFeedback, resonanceKnob);
    const float r = resonanceKnob / 100.0f;
    s.gain = r > 0.5f ? std::pow(10.0f, (r - 0.5f) * 2.0f * -3.0f / 20.0f) : 1.0f;
    s.increment = static_cast<double>(rate) / static_cast<double>(fs);
    s.fs = fs;
    return s;
}

// The lines come into being on the first FLANGER block; the LFO phase is kept.
bool linesReady(RenderState& st) {
    if (st.flangerLBuf.size() == kLineLength && st.flangerRBuf.size() == kLineLength) return true;
    if (st.flangerLBuf.capacity() < kLineLength || st.flangerRBuf.capacity() < kLineLength) return false;
    delaystage::zeroWithinReservedStorage(st.flangerLBuf, kLineLength);
    delaystage::zeroWithinReservedStorage(st.flangerRBuf, kLineLength);
    st.flangerWritePos = 0;
    return true;
}

// The swept delay in ms at an LFO phase: a triangle (+1 at whole cycles, -1 at half cycles)
// rounded off by a cubic term, from 0.1 ms up.
float sweptDelayMs(double phase, float sweepMs) {
    const double t = phase - std::floor(phase) - 0.5;
    const double tri = 4.0 * std::fabs(t) - 1.0;
    const auto shaped = static_cast<float>(tri * -0.15 * tri * tri + tri);
    return (shaped + 1.0f) * sweepMs + kDelayFloorMs;
}

float delayInSamples(float ms, float fs) {
    const float d = ms * 0.001f * fs;
    return d < kLongestDelay ? std::max(d, kShortestDelay) : kLongestDelay;
}

float readBehind(const float* line, int64_t write, float delaySamples) {
    const float position = static_cast<float>(write) - delaySamples;
    const float below = std::floor(position);
    const auto i0 = static_cast<int64_t>(below);
    const float f = position - below;
    return (1.0f - f) * line[i0 & kLineMask] + f * line[(i0 + 1) & kLineMask];
}

struct Voice {
    float delayed = 0;
    float weight = 0;  // the wet weight: 1, or less for delays shorter than 1 ms
};

Voice voiceAt(const float* line, int64_t write, float ms, float fs) {
    return {readBehind(line, write, delayInSamples(ms, fs)), std::min(1.0f, ms)};
}

void runFlanger(const FlangerSettings& k, RenderState& st, float* L, float* R, uint32_t n) {
    float* lineL = st.flangerLBuf.data();
    float* lineR = st.flangerRBuf.data();
    int64_t write = st.flangerWritePos & kLineMask;
    double phase = st.flangerLFOPhase;
    // Only a damaged state puts the phase outside one cycle; restart the cycle then.
    if (!(phase >= 0.0 && phase < 1.0)) phase = 0.0;

    for (uint32_t i = 0; i < n; ++i) {
        const float xL = L[i];
        const float xR = R ? R[i] : xL;
        const float msL = k.manual ? k.manualMs : sweptDelayMs(phase, k.sweepMs);
        const float msR = k.manual ? k.manualMs : sweptDelayMs(phase + kRightPhaseLead, k.sweepMs);
        const Voice left = voiceAt(lineL, write, msL, k.fs);
        const Voice right = voiceAt(lineR, write, msR, k.fs);
        lineL[write] = k.feedback * left.delayed * left.weight + xL;
        lineR[write] = k.feedback * right.delayed * right.weight + xR;
        L[i] = (xL + left.weight * left.delayed) * k.gain;
        if (R) R[i] = (xR + right.weight * right.delayed) * k.gain;
        write = (write + 1) & kLineMask;
        if (!k.manual) {
            phase += k.increment;
            if (phase >= 1.0) phase -= 1.0;
        }
    }

    st.flangerWritePos = write;
    st.flangerLFOPhase = phase;
}

}  // namespace

void processFlanger(RenderState& state, float* L, float* R, uint32_t n, float fs, float knob1, float knob3,
                    float knob2) {
    if (!linesReady(state) || n == 0 || !dsp::isWorkableSampleRate(fs)) return;
    const FlangerSettings settings =
        settingsFor(fs, dsp::knobInRange(knob1), dsp::knobInRange(knob3), dsp::knobInRange(knob2));
    runFlanger(settings, state, L, R, n);
}
