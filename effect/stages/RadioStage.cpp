#include "effect/stages/RadioStage.h"

#include "effect/RenderState.h"
#include "effect/dsp/Biquad.h"
#include "effect/dsp/Denormals.h"
#include "effect/dsp/StageGuards.h"
#include "effect/stages/Stages.h"
#include "platform/avfaudio/AVAudioPCMBuffer.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>

// RADIO, FM band: the input runs through a broadcast-style chain (tuning colour, slow gain
// control, three-band compressor, middle-band width, saturation and a soft clipper) and is laid
// over a looping radio bed and a static bed; loud static ducks everything but itself.

namespace radio {

Bed bedOf(const AVAudioPCMBuffer* buffer) noexcept {
    if (buffer == nullptr) return {};
    const float* const* channels = buffer->floatChannelData();
    if (channels == nullptr || channels[0] == nullptr || buffer->frameLength() == 0) return {};
    return {channels[0], static_cast<int64_t>(buffer->frameLength())};
}

float angularFrequency(float hz, float fs) noexcept { return dsp::kTwoPi * dsp::cornerBelowNyquist(hz, fs) / fs; }

StaticChoice chooseStatic(float k3) noexcept {
    if (!(k3 > 0.02f)) return {};
    const float s = (k3 - 0.02f) / 0.98f * 9.0f;
    const int index = std::min(static_cast<int>(s), 8);
    return {true, index, dsp::dbToGain((s - static_cast<float>(index)) * 36.0f - 36.0f)};
}

StaticDucker StaticDucker::forRate(float fs) noexcept {
    return {dsp::smoothingCoefficient(0.001f, fs), dsp::smoothingCoefficient(0.1f, fs)};
}

}  // namespace radio

namespace {

using radio::Bed;

constexpr int kRadioBedCount = 22;
constexpr float kBedFadeStep = 1.0f / 256.0f;
constexpr float kSaturationDrive = 1.1614486f;  // +1.3 dB
constexpr float kClipperHeadroom = 1.08f;

// One band of the three-band compressor: a peak follower and a static gain curve in dB.
struct BandCompressor {
    float attack;
    float release;
    float threshold;
    float ratio;
    float makeup;

    float apply(float band, float& follower) const noexcept {
        const float level = std::abs(band);
        dsp::onePoleStep(follower, level > follower ? attack : release, level);
        const float d = dsp::gainToDb(follower, 1.0e-6f);
        const float gainDb = d > threshold ? (d - threshold) / ratio + threshold - d + makeup : makeup;
        return band * dsp::dbToGain(gainDb);
    }
};

// Everything the FM path derives from the knobs and the rate, once per block.
struct FMBlock {
    dsp::BiquadCoefficients tuning, low, split, mid, high, sideHP, sideLP;
    float tuningMix;
    float bedLevel;
    int bedIndex;
    radio::StaticChoice staticChoice;
    radio::StaticDucker ducker;
    float gainLowering;
    float gainRaising;
    int64_t gainWindow;
    BandCompressor lowBand, midBand, highBand;
};

dsp::BiquadCoefficients crossoverLowPass(float hz, float fs) noexcept {
    const float w0 = radio::angularFrequency(hz, fs);
    return dsp::lowPass(w0, std::sin(w0) / 1.4142135f);
}

dsp::BiquadCoefficients crossoverHighPass(float hz, float fs) noexcept {
    const float w0 = radio::angularFrequency(hz, fs);
    return dsp::highPass(w0, std::sin(w0) / 1.4142135f);
}

FMBlock fmBlock(float fs, float knob1, float knob3, float knob2) noexcept {
    const float k1 = radio::clampKnob(knob1) / 100.0f;
    const float k2 = radio::clampKnob(knob2) / 100.0f;
    const float k3 = radio::clampKnob(knob3) / 100.0f;
    const float tuningHz = 110.0f * std::pow(42.727272f, k1);
    const float tuningW0 = radio::angularFrequency(tuningHz, fs);
    const float bandRelease = dsp::smoothingCoefficient(0.5f, fs);
    FMBlock k{};
    k.tuning = dsp::highPass(tuningW0, std::sin(tuningW0) / 3.0f);
    k.low = crossoverLowPass(200.0f, fs);
    k.split = crossoverHighPass(200.0f, fs);
    k.mid = crossoverLowPass(2000.0f, fs);
    k.high = crossoverHighPass(2000.0f, fs);
    k.sideHP = crossoverHighPass(500.0f, fs);
    k.sideLP = crossoverLowPass(3000.0f, fs);
    k.tuningMix = 0.65f * k1;
    k.bedLevel = 0.15f * k2;
    k.bedIndex = std::min(static_cast<int>(21.999f * k1), kRadioBedCount - 1);
    k.staticChoice = radio::chooseStatic(k3);
    k.ducker = radio::StaticDucker::forRate(fs);
    k.gainLowering = dsp::smoothingCoefficient(0.5f, fs);
    k.gainRaising = dsp::smoothingCoefficient(2.0f, fs);
    k.gainWindow = std::max<int64_t>(1, static_cast<int64_t>(0.05f * fs));
    k.lowBand = {dsp::smoothingCoefficient(0.018f, fs), bandRelease, -6.0f, 2.0f, 0.83f};
    k.midBand = {dsp::smoothingCoefficient(0.008f, fs), bandRelease, -6.9f, 3.0f, 1.21f};
    k.highBand = {dsp::smoothingCoefficient(0.002f, fs), bandRelease, -8.0f, 4.0f, 1.58f};
    return k;
}

// One channel's view of its state for a block: the beds are taken from their slots here, once,
// and used through these pointers for the whole block.
struct FMChannel {
    RenderState& s;
    Bed bed;
    Bed staticBed;
};

FMChannel openChannel(RenderState& s, const FMBlock& k) noexcept {
    // A new bed starts silent and fades in; the old one stops at once.
    if (s.radioPrevIdx != k.bedIndex) {
        s.radioPrevIdx = k.bedIndex;
        s.radioCrossfade = 0.0f;
    }
    FMChannel c{s, radio::bedOf(s.radioBuffers[static_cast<std::size_t>(k.bedIndex)].get()), {}};
    if (k.staticChoice.active)
        c.staticBed = radio::bedOf(s.staticBuffers[static_cast<std::size_t>(k.staticChoice.index)].get());
    // Positions carry over from whatever bed played before, so bring them inside this one.
    s.radioPhase = radio::wrapPosition(s.radioPhase, c.bed.length);
    s.staticPhase = radio::wrapPosition(s.staticPhase, c.staticBed.length);
    return c;
}

struct BedSample {
    float value;
    float fade;
};

BedSample nextBedSample(FMChannel& c) noexcept {
    const BedSample out{radio::readLooping(c.bed, c.s.radioPhase), c.s.radioCrossfade};
    if (c.s.radioCrossfade < 1.0f) c.s.radioCrossfade = std::min(c.s.radioCrossfade + kBedFadeStep, 1.0f);
    return out;
}

float nextStaticSample(FMChannel& c, float gain) noexcept {
    return c.staticBed.present() ? radio::readLooping(c.staticBed, c.s.staticPhase) * gain : 0.0f;
}

// The slow gain control: one update per window of W samples, towards 0.3 / rms (at most 4),
// holding on silence. Returns the gain for this sample.
float gainControl(RenderState& s, const FMBlock& k, float u) noexcept {
    s.radioFMAGCRMSSum += u * u;
    s.radioFMAGCRMSCount += 1;
    // `>=`: a count left over from a higher rate must still close the window.
    if (s.radioFMAGCRMSCount >= k.gainWindow) {
        const float rms = std::sqrt(s.radioFMAGCRMSSum / static_cast<float>(s.radioFMAGCRMSCount));
        s.radioFMAGCRMSSum = 0.0f;
        s.radioFMAGCRMSCount = 0;
        const float gain = s.radioFMAGCGain;
        const float target = rms > 0.0001f ? std::min(0.3f / rms, 4.0f) : gain;
        dsp::onePoleStep(s.radioFMAGCGain, target < gain ? k.gainLowering : k.gainRaising, target);
    }
    return s.radioFMAGCGain;
}

struct Bands {
    float low, mid, high;
};

// Tuning colour, gain control, crossover and the band compressors of one channel.
Bands programmeBands(RenderState& s, const FMBlock& k, float x) noexcept {
    const float h = dsp::tick(k.tuning, x, s.radioFMFilter_z1, s.radioFMFilter_z2);
    float u = x + (h - x) * k.tuningMix;
    u = u * gainControl(s, k, u);
    const float low = dsp::tick(k.low, dsp::tick(k.low, u, s.radioFMLowLP1_z1, s.radioFMLowLP1_z2),
                                s.radioFMLowLP2_z1, s.radioFMLowLP2_z2);
    const float rest = dsp::tick(k.split, dsp::tick(k.split, u, s.radioFMSplitHP1_z1, s.radioFMSplitHP1_z2),
                                 s.radioFMSplitHP2_z1, s.radioFMSplitHP2_z2);
    const float mid = dsp::tick(k.mid, dsp::tick(k.mid, rest, s.radioFMMidLP1_z1, s.radioFMMidLP1_z2),
                                s.radioFMMidLP2_z1, s.radioFMMidLP2_z2);
    const float high = dsp::tick(k.high, dsp::tick(k.high, rest, s.radioFMHighHP1_z1, s.radioFMHighHP1_z2),
                                 s.radioFMHighHP2_z1, s.radioFMHighHP2_z2);
    return {k.lowBand.apply(low, s.radioFMLowEnv), k.midBand.apply(mid, s.radioFMMidEnv),
            k.highBand.apply(high, s.radioFMHighEnv)};
}

// Stereo width of the middle band: the side signal is lifted in its 500 Hz - 3 kHz band and
// saturated. Uses the left state's side filters.
void widenMiddle(RenderState& left, const FMBlock& k, float& midL, float& midR) noexcept {
    const float m = (midL + midR) / 2.0f;
    const float side = (midL - midR) / 2.0f;
    const float band = dsp::tick(k.sideLP, dsp::tick(k.sideHP, side, left.radioFMSideHP_z1, left.radioFMSideHP_z2),
                                 left.radioFMSideLP_z1, left.radioFMSideLP_z2);
    const float shaped = std::tanh(1.2f * (side + 0.3f * band)) / 1.2f;
    midL = m + shaped;
    midR = m - shaped;
}

// Linear up to 0.92, then a cubic knee that levels off at 0.97333.
float softClip(float v) noexcept {
    const float a = std::abs(v);
    if (a <= 0.92f) return v;
    const float t = std::min((a - 0.92f) / 0.08f, 1.0f);
    return std::copysign(0.92f + 0.08f * (t - t * t * t / 3.0f), v);
}

float channelOutput(const Bands& b, const BedSample& bed, float staticSample, float duck, float bedLevel) noexcept {
    const float sum = b.low + b.mid + 0.5f * std::tanh(2.0f * b.high);
    const float driven = sum * kSaturationDrive * kClipperHeadroom;
    return staticSample + duck * (bed.value * bed.fade * bedLevel + softClip(driven) / kClipperHeadroom);
}

// Only the filter and follower states can hold a number that is not finite (from host samples
// too large for float arithmetic). Such a state would silence the channel for good, so it
// starts again from rest.
void settleGroup(std::initializer_list<float*> fields, float rest) noexcept {
    for (float* f : fields)
        if (!std::isfinite(*f)) {
            for (float* g : fields) *g = rest;
            return;
        }
}

void settleFMState(RenderState& s) noexcept {
    settleGroup({&s.radioFMFilter_z1, &s.radioFMFilter_z2, &s.radioFMLowLP1_z1, &s.radioFMLowLP1_z2,
                 &s.radioFMLowLP2_z1, &s.radioFMLowLP2_z2, &s.radioFMSplitHP1_z1, &s.radioFMSplitHP1_z2,
                 &s.radioFMSplitHP2_z1, &s.radioFMSplitHP2_z2, &s.radioFMMidLP1_z1, &s.radioFMMidLP1_z2,
                 &s.radioFMMidLP2_z1, &s.radioFMMidLP2_z2, &s.radioFMHighHP1_z1, &s.radioFMHighHP1_z2,
                 &s.radioFMHighHP2_z1, &s.radioFMHighHP2_z2, &s.radioFMSideHP_z1, &s.radioFMSideHP_z2,
                 &s.radioFMSideLP_z1, &s.radioFMSideLP_z2, &s.radioFMLowEnv, &s.radioFMMidEnv, &s.radioFMHighEnv},
                0.0f);
    settleGroup({&s.radioFMAGCRMSSum}, 0.0f);
    settleGroup({&s.radioFMAGCGain}, 1.0f);
}

void processFMMono(RenderState& s, float* samples, uint32_t n, float fs, float knob1, float knob3,
                   float knob2) noexcept {
    const FMBlock k = fmBlock(fs, knob1, knob3, knob2);
    FMChannel c = openChannel(s, k);
    for (uint32_t i = 0; i < n; ++i) {
        const float x = radio::finiteInput(samples[i]);
        const BedSample bed = nextBedSample(c);
        const float st = nextStaticSample(c, k.staticChoice.gain);
        const float duck = k.ducker.step(s.radioStaticDuckerEnvelope, std::abs(st));
        const Bands b = programmeBands(s, k, x);
        samples[i] = channelOutput(b, bed, st, duck, k.bedLevel);
    }
    settleFMState(s);
}

void processFMStereo(RenderState& left, RenderState& right, float* L, float* R, uint32_t n, float fs, float knob1,
                     float knob3, float knob2) noexcept {
    const FMBlock k = fmBlock(fs, knob1, knob3, knob2);
    FMChannel cl = openChannel(left, k);
    FMChannel cr = openChannel(right, k);
    for (uint32_t i = 0; i < n; ++i) {
        const float xl = radio::finiteInput(L[i]);
        const float xr = radio::finiteInput(R[i]);
        const BedSample bedL = nextBedSample(cl);
        const BedSample bedR = nextBedSample(cr);
        const float stL = nextStaticSample(cl, k.staticChoice.gain);
        const float stR = nextStaticSample(cr, k.staticChoice.gain);
        // One follower for both channels, keyed by the louder static.
        const float duck = k.ducker.step(left.radioStaticDuckerEnvelope, std::max(std::abs(stL), std::abs(stR)));
        right.radioStaticDuckerEnvelope = left.radioStaticDuckerEnvelope;
        Bands bl = programmeBands(left, k, xl);
        Bands br = programmeBands(right, k, xr);
        widenMiddle(left, k, bl.mid, br.mid);
        L[i] = channelOutput(bl, bedL, stL, duck, k.bedLevel);
        R[i] = channelOutput(br, bedR, stR, duck, k.bedLevel);
    }
    settleFMState(left);
    settleFMState(right);
}

}  // namespace

void processRadioStereo(RenderState& left, RenderState& right, float* L, float* R, uint32_t n, bool isAM, float fs,
                        float knob1, float knob3, float knob2) {
    if (n == 0 || L == nullptr || R == nullptr || !radio::usableSampleRate(fs)) return;
    // The filters and followers decay into the subnormal range on quiet input.
    const dsp::ScopedFlushDenormals flushDenormals;
    if (!isAM) {
        processFMStereo(left, right, L, R, n, fs, knob1, knob3, knob2);
        return;
    }
    // AM is a mono receiver: both channels carry the result computed from their mean.
    for (uint32_t i = 0; i < n; ++i) L[i] = (L[i] + R[i]) * 0.5f;
    radio::processAM(left, L, n, fs, knob1, knob3, knob2);
    std::copy(L, L + n, R);
}

void processRadioMono(RenderState& state, float* samples, uint32_t n, bool isAM, float fs, float knob1, float knob3,
                      float knob2) {
    if (n == 0 || samples == nullptr || !radio::usableSampleRate(fs)) return;
    const dsp::ScopedFlushDenormals flushDenormals;
    if (isAM) radio::processAM(state, samples, n, fs, knob1, knob3, knob2);
    else processFMMono(state, samples, n, fs, knob1, knob3, knob2);
}
