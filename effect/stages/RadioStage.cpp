#include "effect/stages/RadioStage.h"

#include "effect/RenderState.h"
#include "effect/dsp/Biquad.h"
#include "effect/dsp/Denormals.h"
#include "effect/dsp/StageGuards.h"
#include "effect/stages/RadioFMLanes.h"
#include "effect/stages/Stages.h"
#include "platform/avfaudio/AVAudioPCMBuffer.h"

#include <algorithm>
#include <array>
#include <cmath>

// RADIO, FM band: the input runs through a broadcast-style chain (tuning colour, slow gain
// control, three-band compressor, middle-band width, saturation and a soft clipper) and is laid
// over a looping radio bed and a static bed; loud static ducks everything but itself.
//
// A block runs in chunks of frames. Per frame, in order, go the beds, the tuning colour, the
// gain control, the crossover and the compressor and ducker followers, each of which depends on
// the frame before; then the gain curves and the saturations of the whole chunk, which do not,
// are computed side by side (see RadioFMLanes.h); then the width and the output of each frame.

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

namespace lanes = radio::lanes;
using lanes::Bank;
using lanes::Quad;

// The settings of one band compressor.
struct BandSettings {
    float attack;
    float release;
    float threshold;
    float ratio;
    float makeup;
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
    BandSettings lowBand, midBand, highBand;
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

// Tuning colour and gain control of one channel: the programme as the crossover receives it.
float tunedProgramme(RenderState& s, const FMBlock& k, float x) noexcept {
    const float h = dsp::tick(k.tuning, x, s.radioFMFilter_z1, s.radioFMFilter_z2);
    const float u = x + (h - x) * k.tuningMix;
    return u * gainControl(s, k, u);
}

// ---- The crossover and compressors of one or two channels, side by side --------------------
//
// Crossover lanes: 0 and 1 the left (or only) channel, 2 and 3 the right. The first two sections
// split the programme into the low band (lanes 0, 2) and the rest above 200 Hz (lanes 1, 3); the
// next two split the rest into the middle band (lanes 0, 2) and the high band (lanes 1, 3).
// Compressor lanes: 0-2 the left channel's low, middle and high bands, 3-5 the right channel's,
// 7 the static ducker, whose "band" is 1 so that its compressed value is the duck gain.

enum BankLane : int { kLowL = 0, kMidL, kHighL, kLowR, kMidR, kHighR, kUnusedLane, kDuckerLane };

// Where each crossover lane's two states live; lanes without a channel use scratch values.
struct QuadStates {
    float* z1[4];
    float* z2[4];
};

using lanes::BankChunk;
using lanes::QuadChunk;
using lanes::kChunk;

// Once Eigen's 16-wide logarithm, exponential and tanh are inlined here, GCC 12 reports the
// deliberately undefined pass-through operand inside its own AVX-512 intrinsics as uninitialised.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
class FMLanes {
public:
    // `right` is null for a mono block: the right lanes then run on silence, in scratch states.
    FMLanes(const FMBlock& k, RenderState& left, RenderState* right) noexcept : left_(left), right_(right) {
        setCoefficients(lowSplit1_, k.low, k.split);
        setCoefficients(lowSplit2_, k.low, k.split);
        setCoefficients(midHigh1_, k.mid, k.high);
        setCoefficients(midHigh2_, k.mid, k.high);
        for (int s = 0; s < 4; ++s) load(section(s), states(s));
        setBands(kLowL, k);
        setBands(kLowR, k);
        // The unused lane follows nothing and stays under its threshold.
        bank_.attack(kUnusedLane) = bank_.release(kUnusedLane) = 0.0f;
        bank_.threshold(kUnusedLane) = 0.0f;
        bank_.ratio(kUnusedLane) = 1.0f;
        bank_.makeup(kUnusedLane) = 0.0f;
        bank_.belowGain(kUnusedLane) = 1.0f;
        bank_.attack(kDuckerLane) = k.ducker.attack;
        bank_.release(kDuckerLane) = k.ducker.release;
        bank_.threshold(kDuckerLane) = -28.0f;
        bank_.ratio(kDuckerLane) = 20.0f;
        bank_.makeup(kDuckerLane) = 0.0f;
        bank_.belowGain(kDuckerLane) = 1.0f;
        bank_.follower << left_.radioFMLowEnv, left_.radioFMMidEnv, left_.radioFMHighEnv,
            right_ ? right_->radioFMLowEnv : 0.0f, right_ ? right_->radioFMMidEnv : 0.0f,
            right_ ? right_->radioFMHighEnv : 0.0f, 0.0f, left_.radioStaticDuckerEnvelope;
    }

    // Splits frame `i` of the chunk into its bands and moves the followers; `staticPeak` keys
    // the ducker.
    void split(int i, float uL, float uR, float staticPeak) noexcept {
        const Quad in(uL, uL, uR, uR);
        const Quad lowRest = lowSplit2_.tick(lowSplit1_.tick(in));
        const Quad rest(lowRest(1), lowRest(1), lowRest(3), lowRest(3));
        const Quad midHigh = midHigh2_.tick(midHigh1_.tick(rest));
        Bank bands;
        bands << lowRest(0), midHigh(0), midHigh(1), lowRest(2), midHigh(2), midHigh(3), 0.0f, 1.0f;
        Bank level = bands.abs();
        level(kDuckerLane) = staticPeak;
        bands_.col(i) = bands;
        followed_.col(i) = bank_.follow(level);
    }

    // Compresses the chunk's bands; band(i, lane) and duck(i) read the results.
    void compress() noexcept {
        BankChunk gain;
        bank_.gains(followed_, gain);
        bands_ *= gain;
    }

    float band(int i, int lane) const noexcept { return bands_(lane, i); }
    float duck(int i) const noexcept { return bands_(kDuckerLane, i); }

    // Hands the states back to the render states.
    void store() noexcept {
        for (int s = 0; s < 4; ++s) save(section(s), states(s));
        left_.radioFMLowEnv = bank_.follower(kLowL);
        left_.radioFMMidEnv = bank_.follower(kMidL);
        left_.radioFMHighEnv = bank_.follower(kHighL);
        if (right_) {
            right_->radioFMLowEnv = bank_.follower(kLowR);
            right_->radioFMMidEnv = bank_.follower(kMidR);
            right_->radioFMHighEnv = bank_.follower(kHighR);
        }
        left_.radioStaticDuckerEnvelope = bank_.follower(kDuckerLane);
    }

private:
    static void setCoefficients(lanes::QuadSection& q, const dsp::BiquadCoefficients& even,
                                const dsp::BiquadCoefficients& odd) noexcept {
        q.b0 = Quad(even.b0, odd.b0, even.b0, odd.b0);
        q.b1 = Quad(even.b1, odd.b1, even.b1, odd.b1);
        q.b2 = Quad(even.b2, odd.b2, even.b2, odd.b2);
        q.a1 = Quad(even.a1, odd.a1, even.a1, odd.a1);
        q.a2 = Quad(even.a2, odd.a2, even.a2, odd.a2);
    }

    void setBands(int first, const FMBlock& k) noexcept {
        const BandSettings* bands[] = {&k.lowBand, &k.midBand, &k.highBand};
        for (int b = 0; b < 3; ++b) {
            const BandSettings& settings = *bands[b];
            bank_.attack(first + b) = settings.attack;
            bank_.release(first + b) = settings.release;
            bank_.threshold(first + b) = settings.threshold;
            bank_.ratio(first + b) = settings.ratio;
            bank_.makeup(first + b) = settings.makeup;
            bank_.belowGain(first + b) = dsp::dbToGain(settings.makeup);
        }
    }

    lanes::QuadSection& section(int s) noexcept {
        lanes::QuadSection* sections[] = {&lowSplit1_, &lowSplit2_, &midHigh1_, &midHigh2_};
        return *sections[s];
    }

    // The states of section s: the left channel's two lanes, then the right channel's (or
    // scratch values for a mono block).
    QuadStates states(int s) noexcept {
        RenderState& l = left_;
        const auto pair = [](RenderState& st, int section) -> std::array<float*, 4> {
            switch (section) {
                case 0: return {&st.radioFMLowLP1_z1, &st.radioFMSplitHP1_z1, &st.radioFMLowLP1_z2, &st.radioFMSplitHP1_z2};
                case 1: return {&st.radioFMLowLP2_z1, &st.radioFMSplitHP2_z1, &st.radioFMLowLP2_z2, &st.radioFMSplitHP2_z2};
                case 2: return {&st.radioFMMidLP1_z1, &st.radioFMHighHP1_z1, &st.radioFMMidLP1_z2, &st.radioFMHighHP1_z2};
                default: return {&st.radioFMMidLP2_z1, &st.radioFMHighHP2_z1, &st.radioFMMidLP2_z2, &st.radioFMHighHP2_z2};
            }
        };
        const std::array<float*, 4> a = pair(l, s);
        float* scratch = scratch_[s];
        const std::array<float*, 4> b =
            right_ ? pair(*right_, s) : std::array<float*, 4>{&scratch[0], &scratch[1], &scratch[2], &scratch[3]};
        return {{a[0], a[1], b[0], b[1]}, {a[2], a[3], b[2], b[3]}};
    }

    static void load(lanes::QuadSection& q, const QuadStates& st) noexcept {
        for (int lane = 0; lane < 4; ++lane) {
            q.z1(lane) = *st.z1[lane];
            q.z2(lane) = *st.z2[lane];
        }
    }

    static void save(const lanes::QuadSection& q, const QuadStates& st) noexcept {
        for (int lane = 0; lane < 4; ++lane) {
            *st.z1[lane] = q.z1(lane);
            *st.z2[lane] = q.z2(lane);
        }
    }

    RenderState& left_;
    RenderState* right_;
    float scratch_[4][4] = {};
    lanes::QuadSection lowSplit1_, lowSplit2_, midHigh1_, midHigh2_;
    lanes::CompressorBank bank_;
    // Every column holds finite numbers, also past the end of a short chunk.
    BankChunk bands_ = BankChunk::Zero();
    BankChunk followed_ = BankChunk::Zero();
};

// Stereo width of the middle band: the side signal is lifted in its 500 Hz - 3 kHz band and
// saturated (the saturation is the caller's, in lane 2 of `shaped`). Uses the left state's side
// filters. Returns the argument of the saturation.
float sideDrive(RenderState& left, const FMBlock& k, float side) noexcept {
    const float band = dsp::tick(k.sideLP, dsp::tick(k.sideHP, side, left.radioFMSideHP_z1, left.radioFMSideHP_z2),
                                 left.radioFMSideLP_z1, left.radioFMSideLP_z2);
    return 1.2f * (side + 0.3f * band);
}

// Linear up to 0.92, then a cubic knee that levels off at 0.97333.
float softClip(float v) noexcept {
    const float a = std::abs(v);
    if (a <= 0.92f) return v;
    const float t = std::min((a - 0.92f) / 0.08f, 1.0f);
    return std::copysign(0.92f + 0.08f * (t - t * t * t / 3.0f), v);
}

// `tanhHigh` is tanh(2 · high band).
float channelOutput(float low, float mid, float tanhHigh, const BedSample& bed, float staticSample, float duck,
                    float bedLevel) noexcept {
    const float sum = low + mid + 0.5f * tanhHigh;
    const float driven = sum * kSaturationDrive * kClipperHeadroom;
    return staticSample + duck * (bed.value * bed.fade * bedLevel + softClip(driven) / kClipperHeadroom);
}

// Only the filter and follower states can hold a number that is not finite (from samples too
// large for float arithmetic fed to the stage). Such a state would silence the channel for
// good, so it starts again from rest.
void restartWhatWentNonFinite(RenderState& s) noexcept {
    dsp::restartIfNotFinite({&s.radioFMFilter_z1, &s.radioFMFilter_z2, &s.radioFMLowLP1_z1, &s.radioFMLowLP1_z2,
                             &s.radioFMLowLP2_z1, &s.radioFMLowLP2_z2, &s.radioFMSplitHP1_z1, &s.radioFMSplitHP1_z2,
                             &s.radioFMSplitHP2_z1, &s.radioFMSplitHP2_z2, &s.radioFMMidLP1_z1, &s.radioFMMidLP1_z2,
                             &s.radioFMMidLP2_z1, &s.radioFMMidLP2_z2, &s.radioFMHighHP1_z1, &s.radioFMHighHP1_z2,
                             &s.radioFMHighHP2_z1, &s.radioFMHighHP2_z2, &s.radioFMSideHP_z1, &s.radioFMSideHP_z2,
                             &s.radioFMSideLP_z1, &s.radioFMSideLP_z2, &s.radioFMLowEnv, &s.radioFMMidEnv,
                             &s.radioFMHighEnv, &s.radioStaticDuckerEnvelope});
    dsp::restartIfNotFinite({&s.radioFMAGCRMSSum});
    dsp::restartIfNotFinite({&s.radioFMAGCGain}, 1.0f);
}

// The beds of one frame and channel, kept for the chunk's output step.
struct ChunkBeds {
    BedSample bed[kChunk];
    float staticSample[kChunk];

    void next(int i, FMChannel& c, const FMBlock& k) noexcept {
        bed[i] = nextBedSample(c);
        staticSample[i] = nextStaticSample(c, k.staticChoice.gain);
    }
};

void processFMMono(RenderState& s, float* samples, uint32_t n, float fs, float knob1, float knob3,
                   float knob2) noexcept {
    const FMBlock k = fmBlock(fs, knob1, knob3, knob2);
    FMChannel c = openChannel(s, k);
    FMLanes chain(k, s, nullptr);
    ChunkBeds beds;
    QuadChunk drive = QuadChunk::Zero();
    for (uint32_t start = 0; start < n; start += kChunk) {
        const int count = static_cast<int>(std::min<uint32_t>(kChunk, n - start));
        float* x = samples + start;
        for (int i = 0; i < count; ++i) {
            beds.next(i, c, k);
            chain.split(i, tunedProgramme(s, k, x[i]), 0.0f, std::abs(beds.staticSample[i]));
        }
        chain.compress();
        for (int i = 0; i < count; ++i) drive(0, i) = 2.0f * chain.band(i, kHighL);
        const QuadChunk shaped = drive.tanh();
        for (int i = 0; i < count; ++i)
            x[i] = channelOutput(chain.band(i, kLowL), chain.band(i, kMidL), shaped(0, i), beds.bed[i],
                                 beds.staticSample[i], chain.duck(i), k.bedLevel);
    }
    chain.store();
    restartWhatWentNonFinite(s);
}

void processFMStereo(RenderState& left, RenderState& right, float* L, float* R, uint32_t n, float fs, float knob1,
                     float knob3, float knob2) noexcept {
    const FMBlock k = fmBlock(fs, knob1, knob3, knob2);
    FMChannel cl = openChannel(left, k);
    FMChannel cr = openChannel(right, k);
    FMLanes chain(k, left, &right);
    ChunkBeds bedsL, bedsR;
    QuadChunk drive = QuadChunk::Zero();
    float middle[kChunk];
    for (uint32_t start = 0; start < n; start += kChunk) {
        const int count = static_cast<int>(std::min<uint32_t>(kChunk, n - start));
        float* xl = L + start;
        float* xr = R + start;
        for (int i = 0; i < count; ++i) {
            bedsL.next(i, cl, k);
            bedsR.next(i, cr, k);
            // One ducker for both channels, keyed by the louder static.
            const float peak = std::max(std::abs(bedsL.staticSample[i]), std::abs(bedsR.staticSample[i]));
            chain.split(i, tunedProgramme(left, k, xl[i]), tunedProgramme(right, k, xr[i]), peak);
        }
        chain.compress();
        for (int i = 0; i < count; ++i) {
            const float midL = chain.band(i, kMidL);
            const float midR = chain.band(i, kMidR);
            middle[i] = (midL + midR) / 2.0f;
            const float side = (midL - midR) / 2.0f;
            drive.col(i) = Quad(2.0f * chain.band(i, kHighL), 2.0f * chain.band(i, kHighR), sideDrive(left, k, side), 0.0f);
        }
        const QuadChunk shaped = drive.tanh();
        for (int i = 0; i < count; ++i) {
            const float width = shaped(2, i) / 1.2f;
            xl[i] = channelOutput(chain.band(i, kLowL), middle[i] + width, shaped(0, i), bedsL.bed[i],
                                  bedsL.staticSample[i], chain.duck(i), k.bedLevel);
            xr[i] = channelOutput(chain.band(i, kLowR), middle[i] - width, shaped(1, i), bedsR.bed[i],
                                  bedsR.staticSample[i], chain.duck(i), k.bedLevel);
        }
    }
    chain.store();
    right.radioStaticDuckerEnvelope = left.radioStaticDuckerEnvelope;
    restartWhatWentNonFinite(left);
    restartWhatWentNonFinite(right);
}

#pragma GCC diagnostic pop

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
