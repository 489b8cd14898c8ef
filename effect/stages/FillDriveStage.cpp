// FILLDRIVE: a resonant low-pass blended towards a gentle one-pole near the top of CUTOFF, a
// resonance peak and a tone section that follow CUTOFF, then one of nine drive models picked by
// DRIVE. Model changes fade the output out, swap the model and fade back in.

#include "effect/stages/Stages.h"

#include "effect/PlayerResets.h"
#include "effect/RenderState.h"
#include "effect/dsp/Biquad.h"
#include "effect/dsp/Denormals.h"
#include "effect/dsp/Levels.h"
#include "effect/dsp/StageGuards.h"
#include "neural/NAMPlayer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <span>

namespace {

constexpr std::size_t kDriveModelCount = std::tuple_size_v<decltype(RenderState::drivePlayers)>;
constexpr std::array<float, kDriveModelCount> kInputTrimDb{0, 9, 5, 6.5f, 5.5f, 4, 5, 5.5f, 11};
constexpr std::array<float, kDriveModelCount> kOutputTrimDb{2, -8, 0.5f, 2, 2, 0, 0, -3, -4};

constexpr int64_t kNoModel = -1;
constexpr int64_t kFadeLength = 2048;
constexpr float kPi = 3.1415925f;

enum DuckPhase : int64_t { kNoSwitch = 0, kFadingOut = 1, kFadingIn = 2 };

// Tone-section tables, at CUTOFF positions 0, 0.25, 0.5 and 0.75.
using ToneTable = std::array<float, 4>;
constexpr ToneTable kPeakFrequency{400, 600, 1900, 1900};
constexpr ToneTable kPeakGainDb{1, 2, 2, 0};
constexpr ToneTable kPeakQ{1.5f, 2, 2, 2};
constexpr ToneTable kHighShelfFrequency{920, 4500, 4500, 4500};
constexpr ToneTable kHighShelfGainDb{-15, -22, -15, 0};
constexpr ToneTable kLowShelfGainDb{-2, -2, -2, 0};

float smoothstep(float v) {
    v = std::clamp(v, 0.0f, 1.0f);
    return (3.0f - 2.0f * v) * (v * v);
}

float omega(float hz, float fs) { return dsp::kTwoPi * dsp::cornerBelowNyquist(hz, fs) / fs; }

// Position within the tone tables: segment k and the (possibly extrapolating) fraction t.
struct ToneSegment {
    int k;
    float t;
    float linear(const ToneTable& p) const { return p[k] + (p[k + 1] - p[k]) * t; }
    float geometric(const ToneTable& p) const { return p[k] * std::pow(p[k + 1] / p[k], t); }
};

ToneSegment toneSegment(float c) {
    if (c <= 0.25f) return {0, 4.0f * c};
    if (c <= 0.5f) return {1, 4.0f * (c - 0.25f)};
    return {2, 4.0f * (c - 0.5f)};  // runs past the last point towards the top of the knob
}

// Everything the filter chain needs, computed once per block and channel.
struct FilterSettings {
    float c = 0;   // CUTOFF position, at most 0.999
    float r = 0;   // RESONANCE position
    float rr = 0;  // shaped resonance
    dsp::BiquadCoefficients lowPass;
    float gentlePole = 0;
    float gentleWeight = 0;
    bool resonance = false;
    dsp::BiquadCoefficients resonancePeak;
    bool tone = false;
    float highShelfWeight = 0;
    dsp::BiquadCoefficients lowShelf, tonePeak, highShelf;
};

float shapedResonance(float r) {
    const float u = std::clamp((r - 0.75f) * 4.0f, 0.0f, 1.0f);
    return std::min(1.0f, r + 0.18f * (3.0f - 2.0f * u) * (u * u));
}

// The curve steps down from 13.5 to 6.05 where C crosses 0.651.
float lowPassQ(float rr) {
    const float C = std::pow(rr, 0.62f);
    if (C <= 0.651f) return 0.7f * std::pow(19.285715f, C / 0.651f);
    return 6.05f * std::pow(4.628099f, (C - 0.651f) / 0.349f);
}

void setResonancePeak(FilterSettings& f, float fc, float fs) {
    f.resonance = f.r > 0.01f;
    if (!f.resonance) return;
    const float F = smoothstep((f.c - 0.68f) / 0.32f);
    const float S = smoothstep(2.0f * f.c);
    const float fp = fc * (0.93f * F + (1.0f - F) * (0.55f + 0.45f * S));
    const float db = (6.5f * F + 1.2f * f.c + 1.5f) * std::pow(f.rr, 0.9f);
    const float q = 0.55f + 0.75f * F;
    const float w = omega(fp, fs);
    f.resonancePeak = dsp::peaking(w, std::sin(w) / (2.0f * q), std::pow(10.0f, db / 40.0f));
}

void setToneSection(FilterSettings& f, float fs) {
    const float c = f.c;
    f.highShelfWeight = c <= 0.65f ? 1.0f : 1.0f - smoothstep((c - 0.65f) / 0.35f);
    f.tone = c < 1.0f && f.highShelfWeight > 0.0f;
    if (!f.tone) return;
    const ToneSegment seg = toneSegment(c);

    const float wl = 565.48663f / fs;  // 2π·90 Hz, far below Nyquist at every workable rate
    f.lowShelf = dsp::lowShelf(wl, std::sin(wl) / 1.414f, std::pow(10.0f, seg.linear(kLowShelfGainDb) / 40.0f));

    const float wp = omega(seg.geometric(kPeakFrequency), fs);
    f.tonePeak = dsp::peaking(wp, std::sin(wp) / (2.0f * seg.linear(kPeakQ)),
                              std::pow(10.0f, seg.linear(kPeakGainDb) / 40.0f));

    const float wh = omega(seg.geometric(kHighShelfFrequency), fs);
    const float highShelfDb = (1.0f + 0.5f * f.r) * seg.linear(kHighShelfGainDb);
    f.highShelf = dsp::highShelf(wh, std::sin(wh) / 1.414f, std::pow(10.0f, highShelfDb / 40.0f));
}

FilterSettings filterSettings(float fs, float knob1, float knob2) {
    FilterSettings f;
    f.c = std::min(knob1 / 100.0f, 0.999f);
    f.r = knob2 / 100.0f;
    f.rr = shapedResonance(f.r);

    float fc, f2;
    if (f.c <= 0.5f) {
        fc = f2 = 550.0f * std::pow(3.6044405f, 2.0f * f.c);
    } else {
        const float t = 2.0f * (f.c - 0.5f);
        fc = 1982.4423f * std::pow(3.7832124f, t);
        f2 = 1982.4423f * std::pow(6.0531397f, t);
    }
    const float w = omega(fc, fs);
    f.lowPass = dsp::lowPass(w, std::sin(w) / (2.0f * lowPassQ(f.rr)));
    f.gentlePole = std::exp(-6.283185f * f2 / fs);
    f.gentleWeight = std::clamp((f.c - 0.9f) / 0.1f, 0.0f, 0.98f) * (1.0f - 0.82f * std::pow(f.r, 0.75f));

    setResonancePeak(f, fc, fs);
    setToneSection(f, fs);
    return f;
}

// The chain's states of one channel, held in locals for the length of a block.
struct ChainState {
    float lp1, lp2, gentle, res1, res2, ls1, ls2, pk1, pk2, hs1, hs2;
};

ChainState loadChain(const RenderState& s) {
    return {s.filtLP1z1, s.filtLP1z2, s.filtLPGentleZ1, s.filtResPK_z1, s.filtResPK_z2, s.filtLS_z1,
            s.filtLS_z2,  s.filtPK_z1,  s.filtPK_z2,     s.filtHS_z1,    s.filtHS_z2};
}

// A section gone non-finite (a float-range sample fed to the stage) would keep it for good, so
// the whole chain starts again from silence instead. Sections that are off this block rest at 0.
void storeChain(RenderState& s, ChainState z, const FilterSettings& f) {
    if (!f.resonance || !f.tone) z.res1 = z.res2 = 0;
    if (!f.tone) z.ls1 = z.ls2 = z.pk1 = z.pk2 = z.hs1 = z.hs2 = 0;
    s.filtLP1z1 = z.lp1, s.filtLP1z2 = z.lp2, s.filtLPGentleZ1 = z.gentle, s.filtResPK_z1 = z.res1,
    s.filtResPK_z2 = z.res2, s.filtLS_z1 = z.ls1, s.filtLS_z2 = z.ls2, s.filtPK_z1 = z.pk1, s.filtPK_z2 = z.pk2,
    s.filtHS_z1 = z.hs1, s.filtHS_z2 = z.hs2;
    dsp::restartIfNotFinite({&s.filtLP1z1, &s.filtLP1z2, &s.filtLPGentleZ1, &s.filtResPK_z1, &s.filtResPK_z2,
                             &s.filtLS_z1, &s.filtLS_z2, &s.filtPK_z1, &s.filtPK_z2, &s.filtHS_z1, &s.filtHS_z2});
}

// One sample through the whole chain: the resonant low-pass blended with the gentle one-pole,
// the resonance peak, the tone section. The sections of one sample follow each other, so a loop
// over samples overlaps their recurrences.
template <bool Resonance, bool Tone>
float chainSample(const FilterSettings& f, ChainState& z, float in) {
    const float y = dsp::tick(f.lowPass, in, z.lp1, z.lp2);
    z.gentle = z.gentle * f.gentlePole + in * (1.0f - f.gentlePole);
    float x = y + f.gentleWeight * (z.gentle - y);
    if constexpr (Resonance) x = dsp::tick(f.resonancePeak, x, z.res1, z.res2);
    if constexpr (Tone) {
        const float a = dsp::tick(f.lowShelf, x, z.ls1, z.ls2);
        const float b = dsp::tick(f.tonePeak, a, z.pk1, z.pk2);
        const float h = dsp::tick(f.highShelf, b, z.hs1, z.hs2);
        x = b + f.highShelfWeight * (h - b);
    }
    return x;
}

// Both channels (R may be null) in one pass, each with its own states and the same arithmetic
// as alone.
template <bool Resonance, bool Tone>
void runChains(const FilterSettings& f, ChainState& left, ChainState& right, float* L, float* R, uint32_t n) {
    if (R == nullptr) {
        for (uint32_t i = 0; i < n; ++i) L[i] = chainSample<Resonance, Tone>(f, left, L[i]);
        return;
    }
    for (uint32_t i = 0; i < n; ++i) {
        L[i] = chainSample<Resonance, Tone>(f, left, L[i]);
        R[i] = chainSample<Resonance, Tone>(f, right, R[i]);
    }
}

void runFilterChains(RenderState& left, RenderState* right, float* L, float* R, uint32_t n, const FilterSettings& f) {
    ChainState a = loadChain(left);
    ChainState b = right != nullptr ? loadChain(*right) : ChainState{};
    if (f.resonance && f.tone) runChains<true, true>(f, a, b, L, R, n);
    else if (f.tone) runChains<false, true>(f, a, b, L, R, n);
    else if (f.resonance) runChains<true, false>(f, a, b, L, R, n);
    else runChains<false, false>(f, a, b, L, R, n);
    storeChain(left, a, f);
    if (right != nullptr) storeChain(*right, b, f);
}

// The model whose knob value is nearest to DRIVE (the lower index on a tie), or none.
int64_t driveTarget(std::span<const float> knobValues, float knob3) {
    const std::size_t count = std::min(knobValues.size(), kDriveModelCount);
    if (knob3 <= 0.5f || count == 0) return kNoModel;
    int64_t best = 0;
    float bestDistance = std::fabs(knobValues[0] - knob3);
    for (std::size_t i = 1; i < count; ++i) {
        const float distance = std::fabs(knobValues[i] - knob3);
        if (distance < bestDistance) {
            best = static_cast<int64_t>(i);
            bestDistance = distance;
        }
    }
    return best;
}

// Every switch fades out, swaps and fades in. Outside a fade-out, `drivePendingIdx` is -1; during
// one it is where the fade-out will land, -1 meaning no model.
void requestSwitch(RenderState& s, int64_t target) {
    switch (s.driveDuckPhase) {
        case kNoSwitch:
            // This includes DRIVE turned to zero while a model plays: that model fades out too.
            if (target != s.driveActiveIdx) {
                s.drivePendingIdx = target;
                s.driveDuckPhase = kFadingOut;
                s.driveDuckProgress = 0;
            }
            break;
        case kFadingOut:
            // The fade-out goes on and lands on the newest target.
            s.drivePendingIdx = target;
            break;
        default:
            // During a fade-in the target is looked at again the moment the fade-in ends.
            break;
    }
}

bool validModel(int64_t index) { return index >= 0 && index < static_cast<int64_t>(kDriveModelCount); }

void scale(float* x, uint32_t n, float gain) {
    for (uint32_t i = 0; i < n; ++i) x[i] *= gain;
}

void runDriveModel(RenderState& s, float* x, uint32_t n, int64_t model) {
    if (!validModel(model) || n > static_cast<uint32_t>(INT32_MAX)) return;
    const auto slot = static_cast<std::size_t>(model);
    NAMPlayer* player = s.drivePlayers[slot].get();
    if (player == nullptr) return;
    // A player waiting for its reset is not touched, not even asked whether it is loaded: the
    // load queue may be resetting it. Its output counts as non-finite.
    if (playerresets::isMarked(playerresets::marks(s.drivePlayerResets), slot)) {
        std::fill(x, x + n, 0.0f);
        return;
    }
    if (!player->isLoaded()) return;
    const float inputGain = dsp::dbToGain(kInputTrimDb[slot]);
    if (inputGain != 1.0f) scale(x, n, inputGain);
    // A failed call is ignored; whatever the player left is made finite and used.
    static_cast<void>(player->processBuffer(x, static_cast<int32_t>(n)));
    if (dsp::zeroNonFinite(x, n)) playerresets::mark(s.drivePlayerResets, slot);
}

// cos(p·π/2048) for every step p of a fade, worked out once.
const std::array<float, kFadeLength> kFadeCosine = [] {
    std::array<float, kFadeLength> table{};
    for (int64_t p = 0; p < kFadeLength; ++p)
        table[static_cast<std::size_t>(p)] = std::cos(static_cast<float>(p) * kPi / static_cast<float>(kFadeLength));
    return table;
}();

float fadeCosine(int64_t progress) {
    if (progress >= 0 && progress < kFadeLength) return kFadeCosine[static_cast<std::size_t>(progress)];
    return std::cos(static_cast<float>(progress) * kPi / static_cast<float>(kFadeLength));  // only a corrupted state
}

// The raised-cosine fades of a switch. The swap lands in the state at once but the caller's
// block keeps the model it started with; the rest of the block already fades in.
void runDuck(RenderState& s, float* x, uint32_t n, int64_t target) {
    int64_t phase = s.driveDuckPhase;
    int64_t progress = s.driveDuckProgress;
    for (uint32_t i = 0; i < n && phase != kNoSwitch; ++i) {
        const float cosine = fadeCosine(progress);
        if (phase == kFadingOut) {
            x[i] *= 0.5f * (1.0f + cosine);
            if (++progress >= kFadeLength) {
                s.driveActiveIdx = s.drivePendingIdx;
                s.drivePendingIdx = kNoModel;
                phase = kFadingIn;
                progress = 0;
            }
        } else {
            x[i] *= 0.5f * (1.0f - cosine);
            if (++progress >= kFadeLength) {
                progress = 0;
                phase = kNoSwitch;
                // A target that moved during the fade-in starts its own switch straight away.
                if (target != s.driveActiveIdx) {
                    s.drivePendingIdx = target;
                    phase = kFadingOut;
                }
            }
        }
    }
    s.driveDuckPhase = phase;
    s.driveDuckProgress = progress;
}

// The model, its fades and the trims of one channel, after its filter chain.
void finishChannel(RenderState& state, float* samples, uint32_t n, std::span<const float> knobValues, float knob3,
                   const FilterSettings& f) {
    // The block uses the model active when it begins, whatever the switch does meanwhile.
    const int64_t model = validModel(state.driveActiveIdx) ? state.driveActiveIdx : kNoModel;
    const int64_t target = driveTarget(knobValues, knob3);
    requestSwitch(state, target);
    runDriveModel(state, samples, n, model);
    runDuck(state, samples, n, target);

    const float outputTrim = model >= 0 ? dsp::dbToGain(kOutputTrimDb[static_cast<std::size_t>(model)]) : 1.0f;
    const float level = dsp::dbToGain(-0.5f - (2.5f - f.c) * f.rr + 2.0f * f.rr);
    for (uint32_t i = 0; i < n; ++i) samples[i] = samples[i] * outputTrim * level;
}

// One channel (right null) or two: the filter chains of both in one pass, then each channel's
// model on its own.
void processFillDrive(RenderState& left, RenderState* right, float* L, float* R, uint32_t n,
                      std::span<const float> knobValues, float fs, float knob1, float knob3, float knob2) {
    if (L == nullptr || n == 0 || !dsp::isWorkableSampleRate(fs)) return;
    const dsp::ScopedFlushDenormals flushDenormals;
    dsp::holdKnobsInRange(knob1, knob2, knob3);

    const FilterSettings f = filterSettings(fs, knob1, knob2);
    runFilterChains(left, right, L, R, n, f);
    finishChannel(left, L, n, knobValues, knob3, f);
    if (right != nullptr) finishChannel(*right, R, n, knobValues, knob3, f);
}

}  // namespace

void processFillDriveMono(RenderState& state, float* samples, uint32_t n, std::span<const float> knobValues,
                          float fs, float knob1, float knob3, float knob2) {
    processFillDrive(state, nullptr, samples, nullptr, n, knobValues, fs, knob1, knob3, knob2);
}

void processFillDriveStereo(RenderState& left, RenderState& right, float* L, float* R, uint32_t n,
                            std::span<const float> knobValues, float fs, float knob1, float knob3, float knob2) {
    // Nothing is shared, not even the switch: the channels change model together only because
    // they see the same targets.
    if (L == nullptr) processFillDrive(right, nullptr, R, nullptr, n, knobValues, fs, knob1, knob3, knob2);
    else processFillDrive(left, R != nullptr ? &right : nullptr, L, R, n, knobValues, fs, knob1, knob3, knob2);
}
