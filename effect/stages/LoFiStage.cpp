// LO-FI: sample-and-hold rate reduction, two bracketing bit models blended by CRUSH, a crush
// section (pre-gain, quantiser, gate) above three quarters of the knob, and a two-section
// low-pass that follows FILTER.

#include "effect/stages/Stages.h"

#include "effect/PlayerResets.h"
#include "effect/RenderState.h"
#include "effect/dsp/Biquad.h"
#include "effect/dsp/Denormals.h"
#include "effect/dsp/Levels.h"
#include "effect/dsp/StageGuards.h"
#include "neural/NAMPlayer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>

namespace {

constexpr float kLowestRate = 2205.0f;  // the held rate at SAMPLE RATE 100
constexpr float kOutputGain = 1.1f;
constexpr std::size_t kBitModelCount = std::tuple_size_v<decltype(RenderState::lofiBitPlayers)>;

bool loaded(const NAMPlayer* player) { return player != nullptr && player->isLoaded(); }

// The two bit models around the CRUSH position and the weight of the upper one. lo < 0: no
// model table.
struct ModelBlend {
    int lo = -1;
    int hi = -1;
    float t = 0;
};

ModelBlend bracketModels(std::span<const float> knobValues, float knob2) {
    const auto count = static_cast<int>(std::min(knobValues.size(), kBitModelCount));
    if (count == 0) return {};
    // 0-50 over the first quarter of the knob, 50-100 over the rest.
    const float h = knob2 <= 25.0f ? 2.0f * knob2 : 50.0f + (knob2 - 25.0f) * 0.6666667f;
    const int last = count - 1;
    if (h <= knobValues[0]) return {0, 0, 0};
    if (h >= knobValues[last]) return {last, last, 0};
    for (int i = 0; i < last; ++i) {
        const float k0 = knobValues[i];
        const float k1 = knobValues[i + 1];
        if (k0 <= h && h <= k1) return {i, i + 1, (h - k0) / std::max(0.0001f, k1 - k0)};
    }
    return {last, last, 0};  // a table out of order: the last model alone
}

// The CRUSH section: active above 75, output cut above 70.
struct Crush {
    bool active = false;
    float preGain = 1;    // up to +16 dB ahead of the models
    float threshold = 0;  // gate threshold, linear
    float levels = 128;   // quantiser levels
    float outputGain = 1;
};

Crush crushSettings(float m) {
    Crush crush;
    crush.active = m > 0.75f;
    if (crush.active) {
        const float over = 64.0f * (m - 0.75f);
        crush.preGain = dsp::dbToGain(over);
        crush.threshold = dsp::dbToGain(over - 40.0f);
        crush.levels = std::pow(2.0f, 7.0f - 12.0f * (m - 0.75f));
    }
    if (m > 0.7f) crush.outputGain = dsp::dbToGain(-4.0f * (m - 0.7f) / 0.3f);
    return crush;
}

void sampleAndHold(RenderState& s, float* x, uint32_t n, float fs, float knob1) {
    const float target = fs - (fs - kLowestRate) * knob1 / 100.0f;
    // Never below 1: a rate reducer does not raise the rate (and the phase would grow forever).
    const float ratio = std::max(1.0f, fs / target);
    float phase = s.lofiPhase;
    float held = s.lofiHeldSample;
    for (uint32_t i = 0; i < n; ++i) {
        phase += 1.0f;
        if (phase >= ratio) {
            phase -= ratio;
            held = x[i];
        }
        x[i] = held;
    }
    s.lofiPhase = phase;
    s.lofiHeldSample = held;
}

// Only the envelope reached at the end of the block is kept: the gate compares that one value
// for every sample of the block.
void followGateEnvelope(RenderState& s, const float* x, uint32_t n, float fs) {
    const float attack = dsp::smoothingCoefficient(0.001f, fs);
    const float release = dsp::smoothingCoefficient(0.05f, fs);
    float e = s.lofiGateEnv;
    for (uint32_t i = 0; i < n; ++i) {
        const float level = std::fabs(x[i]);
        const float c = e < level ? attack : release;
        e = e + (1.0f - c) * (level - e);
    }
    s.lofiGateEnv = e;
}

// The player of a slot if it is loaded and not waiting for its reset. The mark comes first: a
// marked player may be inside its reset on the load queue and is not touched at all.
NAMPlayer* usablePlayer(RenderState& s, int index, uint32_t resetMarks) {
    NAMPlayer* player = s.lofiBitPlayers[static_cast<std::size_t>(index)].get();
    const bool usable = !playerresets::isMarked(resetMarks, static_cast<std::size_t>(index)) && loaded(player);
    return usable ? player : nullptr;
}

// A model result that is not finite falls back to the sample that entered the model step.
float finiteOr(float value, float fallback) { return dsp::isNonFinite(value) ? fallback : value; }

// A failed call is ignored: the buffer is used as the player left it.
void runBitModel(NAMPlayer* player, float* block, uint32_t n) {
    if (player) static_cast<void>(player->processBuffer(block, static_cast<int32_t>(n)));
}

// A player that put out a non-finite number is marked for its reset.
void markIfNonFinite(RenderState& s, const NAMPlayer* player, int index, uint32_t found) {
    if (player && found != 0) playerresets::mark(s.lofiBitPlayerResets, static_cast<std::size_t>(index));
}

void runBitModels(RenderState& s, float* x, uint32_t n, const ModelBlend& blend) {
    if (blend.lo < 0) return;
    if (s.namBlockA.size() < n || s.namBlockB.size() < n || n > static_cast<uint32_t>(INT32_MAX)) return;
    const uint32_t resetMarks = playerresets::marks(s.lofiBitPlayerResets);
    NAMPlayer* loPlayer = usablePlayer(s, blend.lo, resetMarks);
    NAMPlayer* hiPlayer = blend.hi != blend.lo ? usablePlayer(s, blend.hi, resetMarks) : nullptr;
    float* a = s.namBlockA.data();
    float* b = s.namBlockB.data();

    std::copy(x, x + n, a);
    runBitModel(loPlayer, a, n);
    uint32_t loFound = 0;
    if (blend.hi == blend.lo) {
        for (uint32_t i = 0; i < n; ++i) {
            loFound |= dsp::isNonFinite(a[i]);
            x[i] = finiteOr(a[i], x[i]);
        }
        markIfNonFinite(s, loPlayer, blend.lo, loFound);
        return;
    }
    // Without a usable upper model its share is the lower model's result.
    const float* upper = a;
    if (hiPlayer) {
        std::copy(x, x + n, b);
        runBitModel(hiPlayer, b, n);
        upper = b;
    }
    const float t = blend.t;
    uint32_t hiFound = 0;
    for (uint32_t i = 0; i < n; ++i) {
        loFound |= dsp::isNonFinite(a[i]);
        hiFound |= dsp::isNonFinite(upper[i]);
        const float lower = finiteOr(a[i], x[i]);
        const float higher = finiteOr(upper[i], x[i]);
        x[i] = higher * t + lower * (1.0f - t);
    }
    markIfNonFinite(s, loPlayer, blend.lo, loFound);
    markIfNonFinite(s, hiPlayer, blend.hi, hiFound);
}

dsp::BiquadCoefficients filterSection(float fs, float knob3) {
    const float cutoff = 300.0f * std::pow(66.667f, std::pow(knob3 / 100.0f, 0.65f));
    const float w0 = dsp::cornerBelowNyquist(cutoff, fs) * dsp::kTwoPi / fs;
    return dsp::lowPass(w0, std::sin(w0) / 1.8f);  // Q 0.9
}

void outputSection(RenderState& s, float* x, uint32_t n, float fs, float knob3, const Crush& crush) {
    const dsp::BiquadCoefficients lp = filterSection(fs, knob3);
    const bool gateOpen = s.lofiGateEnv >= crush.threshold;
    const auto hold = static_cast<int64_t>(0.015f * fs);  // 15 ms, product in float
    int64_t holdCounter = s.lofiGateHoldCounter;
    float z1 = s.lofiLP1z1, z2 = s.lofiLP1z2, z3 = s.lofiLP2z1, z4 = s.lofiLP2z2;
    for (uint32_t i = 0; i < n; ++i) {
        float v = x[i];
        if (crush.active) {
            v = std::floor(v * crush.levels + 0.5f) / crush.levels;
            if (gateOpen) holdCounter = hold;
            else if (holdCounter > 0) --holdCounter;
            else v = 0.0f;
        }
        v = dsp::tick(lp, v, z1, z2);
        v = dsp::tick(lp, v, z3, z4);
        x[i] = v * kOutputGain * crush.outputGain;
    }
    if (crush.active) s.lofiGateHoldCounter = holdCounter;
    s.lofiLP1z1 = z1;
    s.lofiLP1z2 = z2;
    s.lofiLP2z1 = z3;
    s.lofiLP2z2 = z4;
}

// A state gone non-finite (a float-range sample fed to the stage) would keep it for good; its
// part of the chain starts again from rest.
void restartWhatWentNonFinite(RenderState& s) {
    dsp::restartIfNotFinite({&s.lofiLP1z1, &s.lofiLP1z2, &s.lofiLP2z1, &s.lofiLP2z2});
    dsp::restartIfNotFinite({&s.lofiGateEnv});
    dsp::restartIfNotFinite({&s.lofiHeldSample, &s.lofiPhase});
}

void scale(float* x, uint32_t n, float gain) {
    for (uint32_t i = 0; i < n; ++i) x[i] *= gain;
}

}  // namespace

void processLoFiMono(RenderState& state, float* samples, uint32_t n, std::span<const float> knobValues, float fs,
                     float knob1, float knob3, float knob2) {
    if (samples == nullptr || n == 0 || !dsp::isWorkableSampleRate(fs)) return;
    const dsp::ScopedFlushDenormals flushDenormals;
    dsp::holdKnobsInRange(knob1, knob2, knob3);

    sampleAndHold(state, samples, n, fs, knob1);
    const ModelBlend blend = bracketModels(knobValues, knob2);
    const Crush crush = crushSettings(knob2 / 100.0f);
    if (crush.active) {
        if (crush.preGain > 1.0f) scale(samples, n, crush.preGain);
        followGateEnvelope(state, samples, n, fs);
    }
    runBitModels(state, samples, n, blend);
    outputSection(state, samples, n, fs, knob3, crush);
    restartWhatWentNonFinite(state);
}

void processLoFiStereo(RenderState& left, RenderState& right, float* L, float* R, uint32_t n,
                       std::span<const float> knobValues, float fs, float knob1, float knob3, float knob2) {
    // The channels share nothing: each has its own state and players.
    processLoFiMono(left, L, n, knobValues, fs, knob1, knob3, knob2);
    processLoFiMono(right, R, n, knobValues, fs, knob1, knob3, knob2);
}
