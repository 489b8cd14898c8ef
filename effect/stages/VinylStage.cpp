#include "effect/stages/VinylStage.h"

#include "effect/RenderState.h"
#include "effect/dsp/Biquad.h"
#include "effect/dsp/ChunkMath.h"
#include "effect/dsp/Denormals.h"
#include "effect/dsp/Levels.h"
#include "effect/dsp/StageGuards.h"
#include "effect/stages/Stages.h"
#include "neural/RTNeuralPlayer.h"
#include "platform/avfaudio/AVAudioPCMBuffer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

// VINYL: compressor, vinyl models, low-end filters, wow and flutter, crackle, auto-level.
//
// Everything here runs on the render thread: no allocation, no locks. Knobs, the sample rate and
// the delay target are checked once at the top of a block, so that nothing downstream can take a
// power of a negative base, index out of range or turn a stray value into NaN that would then
// live on in the filter, delay and model states.

namespace {

constexpr int64_t kLookaheadSize = 512;
constexpr int64_t kMaxLookahead = kLookaheadSize - 1;
// A time constant of one sample or less: the smoother moves by 1 - 1/e per sample.
constexpr float kOneSampleCoefficient = 0.36787945f;
constexpr float kModelDrive = 2.5118864f;  // +8 dB into the models
constexpr float kMinBlendWeight = 0.001f;  // below this the upper model is not worth running
constexpr float kCrackleGain = 0.3162f;    // about -10 dB
// Far beyond any real session (thousands of years); only a corrupted head ever reaches it.
constexpr double kMaxCrackleReadHead = 4503599627370496.0;  // 2^52

struct Knobs {
    float compressor;  // knob 1
    float wowFlutter;  // knob 3
    float crackle;     // knob 2
};

Knobs usableKnobs(float knob1, float knob3, float knob2) {
    return {dsp::knobInRange(knob1), dsp::knobInRange(knob3), dsp::knobInRange(knob2)};
}

// Within the delay line's readable range; the nominal delay when unusable.
float usableTargetDelay(float target) {
    return std::isfinite(target) ? std::clamp(target, 1.0f, static_cast<float>(DelayLine::capacity - 1)) : 512.0f;
}

void scale(float* samples, uint32_t n, float gain) {
    for (uint32_t i = 0; i < n; ++i) samples[i] *= gain;
}

float smoothing(float seconds, float fs) {
    return seconds * fs <= 1.0f ? kOneSampleCoefficient : dsp::smoothingCoefficient(seconds, fs);
}

// ---- Auto-level and model trim -------------------------------------------------------------

// Final make-up gain in dB, shaped by knob 1.
float autoLevelDB(float k) {
    if (k <= 0.0f) return 2.0f;
    if (k < 1.0f) return 2.0f + 2.0f * k;
    if (k <= 20.0f) return 4.0f * (1.0f - (k - 1.0f) / 19.0f);
    if (k <= 40.0f) return 0.0f;
    if (k <= 50.0f) return 1.5f * (k - 40.0f) / 10.0f;
    if (k <= 65.0f) return 1.5f;
    if (k <= 100.0f) return 1.5f * (1.0f - (k - 65.0f) / 35.0f);
    return 0.0f;
}

// Output trim of the model step in dB: -8 up to knob 50, rising to -4.5 at 100.
float modelTrimDB(float k) { return k <= 50.0f ? -8.0f : -8.0f + 3.5f * std::min(1.0f, (k - 50.0f) / 50.0f); }

// ---- Compressor ----------------------------------------------------------------------------

struct CompressorSettings {
    float gainDown;      // gain reduction deepening: 1 ms
    float gainUp;        // gain reduction releasing: 100 ms
    float detectorUp;    // level detector rising: 50 ms
    float detectorDown;  // level detector falling: 250 ms
    int64_t lookahead;   // samples, 1 ms
};

CompressorSettings compressorSettings(float fs) {
    return {smoothing(0.001f, fs), smoothing(0.1f, fs), smoothing(0.05f, fs), smoothing(0.25f, fs),
            compressorLookahead(fs)};
}

void resetCompressor(RenderState& s) {
    s.compGainDB = 0.0f;
    s.compAutoLevelDB = -120.0f;
    s.lookaheadWriteIdx = 0;
    s.lookaheadBuf.fill(0.0f);
}

// The threshold follows the slow level detector: -8.5 dBFS for quiet material, up to -4.5 dBFS.
float compressorThreshold(float detectorDB) {
    const float relative = detectorDB - 12.0f;
    return relative <= -40.0f ? -8.5f : std::min(relative, 0.0f) * 0.1f - 4.5f;
}

// Output level for an input level: ratio 63 above the threshold, with a 6 dB soft knee.
float compressorCurve(float levelDB, float thresholdDB) {
    const float over = levelDB - thresholdDB;
    if (over <= -3.0f) return levelDB;
    if (over >= 3.0f) return thresholdDB + over / 63.0f;
    const float knee = over + 3.0f;
    return levelDB - 0.98412698f * (knee * knee) / 12.0f;
}

// One channel's compressor over a block, a chunk of samples (dsp::kChunk) at a time: the levels
// and gains of a chunk go through the vector library at once, around the per-sample steps of the
// followers. Its states live in locals meanwhile.
class Compressor {
public:
    Compressor(RenderState& s, const CompressorSettings& c)
        : s_(s), c_(c), detector_(s.compAutoLevelDB), gainDB_(s.compGainDB),
          write_(std::clamp<int64_t>(s.lookaheadWriteIdx, 0, kLookaheadSize - 1)) {}
    ~Compressor() {
        s_.compAutoLevelDB = detector_;
        s_.compGainDB = gainDB_;
        s_.lookaheadWriteIdx = write_;
    }
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    // The levels of a chunk's samples; lanes past the block's end hold silence.
    static dsp::Chunk levels(const float* samples, uint32_t count) {
        dsp::Chunk input = dsp::Chunk::Zero();
        std::copy(samples, samples + count, input.data());
        return dsp::levelsDb(input, 1e-9f);
    }

    // The followers moved by one sample of level `level`: the gain in dB for that sample.
    float follow(float level) {
        dsp::onePoleStep(detector_, detector_ < level ? c_.detectorUp : c_.detectorDown, level);
        const float reduction = std::min(0.0f, compressorCurve(level, compressorThreshold(detector_)) - level);
        dsp::onePoleStep(gainDB_, reduction < gainDB_ ? c_.gainDown : c_.gainUp, reduction);
        return gainDB_;
    }

    // The gain found on the current sample is applied to the sample `lookahead` samples earlier.
    void apply(float* samples, uint32_t count, const dsp::Chunk& gainDB) {
        const dsp::Chunk gain = dsp::dbToGains(gainDB);
        for (uint32_t i = 0; i < count; ++i) {
            const float x = samples[i];
            samples[i] = s_.lookaheadBuf[static_cast<std::size_t>((write_ - c_.lookahead + kLookaheadSize) % kLookaheadSize)];
            s_.lookaheadBuf[static_cast<std::size_t>(write_)] = x;
            write_ = (write_ + 1) % kLookaheadSize;
            samples[i] *= gain[i];
        }
    }

    void run(float* samples, uint32_t count) {
        const dsp::Chunk level = levels(samples, count);
        dsp::Chunk gainDB = dsp::Chunk::Zero();
        for (uint32_t i = 0; i < count; ++i) gainDB[i] = follow(level[i]);
        apply(samples, count, gainDB);
    }

private:
    RenderState& s_;
    const CompressorSettings& c_;
    float detector_;
    float gainDB_;
    int64_t write_;
};

// One or two channels (R null for one), chunk by chunk. Two channels' followers advance in the
// same loop, so that their serial chains overlap; each channel's arithmetic is the same as alone.
void runCompressors(RenderState& left, RenderState* right, float* L, float* R, uint32_t n, const CompressorSettings& c) {
    Compressor a(left, c);
    if (right == nullptr) {
        for (uint32_t at = 0; at < n; at += dsp::kChunk) a.run(L + at, std::min(dsp::kChunk, n - at));
        return;
    }
    Compressor b(*right, c);
    for (uint32_t at = 0; at < n; at += dsp::kChunk) {
        const uint32_t count = std::min(dsp::kChunk, n - at);
        const dsp::Chunk levelA = Compressor::levels(L + at, count);
        const dsp::Chunk levelB = Compressor::levels(R + at, count);
        dsp::Chunk gainA = dsp::Chunk::Zero();
        dsp::Chunk gainB = dsp::Chunk::Zero();
        for (uint32_t i = 0; i < count; ++i) {
            gainA[i] = a.follow(levelA[i]);
            gainB[i] = b.follow(levelB[i]);
        }
        a.apply(L + at, count, gainA);
        b.apply(R + at, count, gainB);
    }
}

// Active only while knob 1 is above 0; at 0 it starts over from rest and passes the samples.
void runCompressorStep(RenderState& left, RenderState* right, float* L, float* R, uint32_t n, float knob1,
                       const CompressorSettings& c) {
    if (knob1 > 0.0f) {
        runCompressors(left, right, L, R, n, c);
        return;
    }
    resetCompressor(left);
    if (right != nullptr) resetCompressor(*right);
}

// ---- Models --------------------------------------------------------------------------------

struct ModelBracket {
    std::size_t lo;
    std::size_t hi;
    float t;  // weight of hi
};

// The two neighbouring table entries around k; a knob on a table value 12..87 gives t = 1 on it.
ModelBracket bracketKnob(std::span<const float> values, float k) {
    const std::size_t last = values.size() - 1;
    if (values[0] >= k) return {0, 0, 0.0f};
    if (k >= values[last]) return {last, last, 0.0f};
    std::size_t hi = 1;
    while (hi < last && !(values[hi] >= k)) ++hi;
    const float span = values[hi] - values[hi - 1];
    return {hi - 1, hi, span > 0.0f ? (k - values[hi - 1]) / span : 0.0f};
}

RTNeuralPlayer* loadedPlayer(const ResourceSlot<RTNeuralPlayer>& slot) {
    RTNeuralPlayer* player = slot.get();
    return player != nullptr && player->isLoaded() ? player : nullptr;
}

// B·t + A·(1 - t) with one explicit fused step. Left to itself the compiler fuses either product
// and may choose differently in a vectorised loop body than in its scalar tail, which would make
// the output depend on how the host splits its blocks.
float blend(float a, float b, float t) { return std::fma(b, t, a * (1.0f - t)); }

// One channel's model step, in three phases so that two channels can run their models side by
// side: prepare (players chosen, drive applied, the upper model's copy of the input made), the
// models, then finish (clean-up, blend, trim). Both models run on the same driven input. A model's
// non-finite results become silence, and since its recurrent state may have gone non-finite with
// them, that model starts again from rest. Without an upper model (or with a negligible weight)
// only the lower one runs, and the upper one's state does not advance.
struct ModelRun {
    RTNeuralPlayer* lo = nullptr;  // nullptr: the channel runs no model this block
    RTNeuralPlayer* hi = nullptr;  // nullptr: no blend
    float* samples = nullptr;      // the lower model's buffer
    float* scratch = nullptr;      // the upper model's buffer
    float t = 0.0f;
    float trim = 1.0f;
};

ModelRun prepareModels(RenderState& state, float* samples, uint32_t n, std::span<const float> knobValues, float knob1) {
    const std::size_t count = std::min(knobValues.size(), state.vinylPlayers.size());
    if (count == 0 || samples == nullptr) return {};
    const float k = dsp::knobInRange(knob1);
    const ModelBracket b = bracketKnob(knobValues.first(count), k);
    RTNeuralPlayer* lo = loadedPlayer(state.vinylPlayers[b.lo]);
    if (lo == nullptr) return {};
    if (state.vinylBlockBuf.size() < n || n > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) return {};

    ModelRun run{lo, nullptr, samples, state.vinylBlockBuf.data(), b.t, dsp::dbToGain(modelTrimDB(k))};
    scale(samples, n, kModelDrive);
    RTNeuralPlayer* hi = b.hi != b.lo ? loadedPlayer(state.vinylPlayers[b.hi]) : nullptr;
    if (hi != nullptr && b.t > kMinBlendWeight) {
        run.hi = hi;
        std::copy(samples, samples + n, run.scratch);
    }
    return run;
}

void finishModels(const ModelRun& run, uint32_t n) {
    if (run.lo == nullptr) return;
    float* x = run.samples;
    if (dsp::zeroNonFinite(x, n)) run.lo->reset();
    if (run.hi != nullptr) {
        if (dsp::zeroNonFinite(run.scratch, n)) run.hi->reset();
        for (uint32_t i = 0; i < n; ++i) x[i] = blend(x[i], run.scratch[i], run.t);
    }
    scale(x, n, run.trim);
}

// The lower models of both channels side by side, then the upper ones.
void runModelPairs(const ModelRun& left, const ModelRun& right, uint32_t n) {
    const auto frames = static_cast<int32_t>(n);
    if (left.lo != nullptr && right.lo != nullptr) {
        RTNeuralPlayer::processBuffers(*left.lo, left.samples, *right.lo, right.samples, frames);
    } else {
        for (const ModelRun* run : {&left, &right})
            if (run->lo != nullptr) run->lo->processBuffer(run->samples, frames);
    }
    if (left.hi != nullptr && right.hi != nullptr) {
        RTNeuralPlayer::processBuffers(*left.hi, left.scratch, *right.hi, right.scratch, frames);
    } else {
        for (const ModelRun* run : {&left, &right})
            if (run->hi != nullptr) run->hi->processBuffer(run->scratch, frames);
    }
}

// ---- High-pass and peaking cut -------------------------------------------------------------

dsp::BiquadCoefficients highPassCoefficients(const RenderState& s) {
    return {s.hpfB0, s.hpfB1, s.hpfB2, s.hpfA1, s.hpfA2};
}

dsp::BiquadCoefficients peakingCoefficients(const RenderState& s) { return {s.eqB0, s.eqB1, s.eqB2, s.eqA1, s.eqA2}; }

// Coefficients are kept in the state and remade only for a new sample rate; the filter states
// carry over.
void refreshFilterCoefficients(RenderState& s, float fs) {
    if (s.hpfSampleRate != fs) {
        s.hpfSampleRate = fs;
        s.eqB0 = 1.0f;  // the identity set marks the peaking cut for recomputation
        s.eqA1 = 0.0f;
        const float w0 = 219.91147f / fs;  // 35 Hz
        const dsp::BiquadCoefficients k = dsp::highPass(w0, std::sin(w0) / 2.828427f);
        s.hpfB0 = k.b0, s.hpfB1 = k.b1, s.hpfB2 = k.b2, s.hpfA1 = k.a1, s.hpfA2 = k.a2;
    }
    if (s.eqB0 == 1.0f && s.eqA1 == 0.0f) {
        const float w0 = 251.32741f / fs;  // 40 Hz, Q 0.5, -6 dB
        const dsp::BiquadCoefficients k = dsp::peaking(w0, std::sin(w0), 0.70794576f);
        s.eqB0 = k.b0, s.eqB1 = k.b1, s.eqB2 = k.b2, s.eqA1 = k.a1, s.eqA2 = k.a2;
    }
}

// One channel's three sections and their states, held in locals over a block.
class LowEndFilters {
public:
    LowEndFilters(RenderState& s, float fs)
        : s_(refreshed(s, fs)), hp_(highPassCoefficients(s)), eq_(peakingCoefficients(s)), h1_(s.hpf1_z1),
          h2_(s.hpf1_z2), g1_(s.hpf2_z1), g2_(s.hpf2_z2), e1_(s.eqZ1), e2_(s.eqZ2) {}
    ~LowEndFilters() { s_.hpf1_z1 = h1_, s_.hpf1_z2 = h2_, s_.hpf2_z1 = g1_, s_.hpf2_z2 = g2_, s_.eqZ1 = e1_, s_.eqZ2 = e2_; }
    LowEndFilters(const LowEndFilters&) = delete;
    LowEndFilters& operator=(const LowEndFilters&) = delete;

    float tick(float x) { return dsp::tick(eq_, dsp::tick(hp_, dsp::tick(hp_, x, h1_, h2_), g1_, g2_), e1_, e2_); }

private:
    static RenderState& refreshed(RenderState& s, float fs) {
        refreshFilterCoefficients(s, fs);
        return s;
    }

    RenderState& s_;
    dsp::BiquadCoefficients hp_, eq_;
    float h1_, h2_, g1_, g2_, e1_, e2_;
};

// One pass through all three sections, so that their recurrences overlap.
void runLowEndFilters(RenderState& s, float* samples, uint32_t n, float fs) {
    LowEndFilters f(s, fs);
    for (uint32_t i = 0; i < n; ++i) samples[i] = f.tick(samples[i]);
}

// Both channels in one pass: the two channels' recurrences overlap too.
void runLowEndFiltersStereo(RenderState& left, RenderState& right, float* L, float* R, uint32_t n, float fs) {
    LowEndFilters a(left, fs);
    LowEndFilters b(right, fs);
    for (uint32_t i = 0; i < n; ++i) {
        L[i] = a.tick(L[i]);
        R[i] = b.tick(R[i]);
    }
}

// ---- Wow and flutter -----------------------------------------------------------------------

struct WowFlutter {
    float flutterDepth;  // samples of delay change per sample, at full modulation
    float wowDepth;
    float target;        // the delay the line drifts back to
    double timeStep;     // 1/fs
};

WowFlutter wowFlutterSettings(float knob3, float fs, float target) {
    const float amount = std::pow(knob3 / 100.0f, 1.5f);
    return {0.75f * amount * 0.0068f, 0.75f * amount * 0.047f, target, 1.0 / static_cast<double>(fs)};
}

// The oscillators run a chunk of samples at a time (dsp::kChunk), their sines through the vector
// library; lanes past the block's end run on time 0.
using dsp::Chunk;

// A triangle in phase with the sine of the same angle: 0 at phase 0, +1 at 1/4, -1 at 3/4.
Chunk triangle(const Chunk& angle) {
    const Chunk phase = angle / 6.283185f;
    const Chunk q = dsp::fractionalParts(phase) + 0.25f;
    const Chunk wrapped = (q >= 1.0f).select(q - 1.0f, q);
    return 1.0f - 4.0f * (wrapped - 0.5f).abs();
}

Chunk oscillator(const Chunk& angle) { return 0.7f * triangle(angle) + 0.3f * dsp::sines(angle); }

// How far the delay moves at each sample of a chunk: a 1/1.8 Hz wow and a 12 Hz flutter.
// Advances `time` by the chunk's samples.
Chunk modulations(const WowFlutter& w, double& time, uint32_t count) {
    Chunk t = Chunk::Zero();
    for (uint32_t i = 0; i < count; ++i) {
        t[i] = static_cast<float>(time);
        time += w.timeStep;
        if (time >= 9.0) time -= 9.0;
    }
    const Chunk wowAngle = t * 6.283185f / 1.8f;
    const Chunk flutterAngle = t * 75.398224f;
    return w.flutterDepth * oscillator(flutterAngle) + w.wowDepth * oscillator(wowAngle);
}

// The delay moves against the modulation (a change of playback speed) and drifts back to the
// target by 1e-5 of the distance per sample.
float nextDelay(float current, float m, float target) {
    const float moved = current - m;
    return moved + (target - moved) * 0.00001f;
}

// Repairs what only a corrupted state could hold, so that the oscillators stay finite.
void keepOscillatorsUsable(RenderState& s, float target) {
    if (!std::isfinite(s.currentDelay)) s.currentDelay = target;
    if (!(s.lfoTime >= 0.0 && s.lfoTime < 9.0)) s.lfoTime = 0.0;
}

void runWowFlutter(RenderState& s, float* samples, uint32_t n, const WowFlutter& w) {
    keepOscillatorsUsable(s, w.target);
    float delay = s.currentDelay;
    double time = s.lfoTime;
    for (uint32_t at = 0; at < n; at += dsp::kChunk) {
        const uint32_t count = std::min(dsp::kChunk, n - at);
        const Chunk m = modulations(w, time, count);
        for (uint32_t i = 0; i < count; ++i) {
            s.delayLine.write(samples[at + i]);
            delay = nextDelay(delay, m[i], w.target);
            samples[at + i] = s.delayLine.read(delay);
        }
    }
    s.currentDelay = delay;
    s.lfoTime = time;
}

// Both lines are read at the one delay that the left state's oscillators give.
void runWowFlutterStereo(RenderState& left, RenderState& right, float* L, float* R, uint32_t n, const WowFlutter& w) {
    keepOscillatorsUsable(left, w.target);
    float delay = left.currentDelay;
    double time = left.lfoTime;
    for (uint32_t at = 0; at < n; at += dsp::kChunk) {
        const uint32_t count = std::min(dsp::kChunk, n - at);
        const Chunk m = modulations(w, time, count);
        for (uint32_t i = 0; i < count; ++i) {
            left.delayLine.write(L[at + i]);
            right.delayLine.write(R[at + i]);
            delay = nextDelay(delay, m[i], w.target);
            L[at + i] = left.delayLine.read(delay);
            R[at + i] = right.delayLine.read(delay);
        }
    }
    left.currentDelay = right.currentDelay = delay;
    left.lfoTime = right.lfoTime = time;
}

// ---- Crackle -------------------------------------------------------------------------------

struct CrackleBed {
    const float* left = nullptr;
    const float* right = nullptr;  // the left channel again for a one-channel bed
    int64_t length = 0;
    float weight = 0.0f;
};

struct CrackleMix {
    std::array<CrackleBed, 2> beds;
    std::size_t count = 0;
};

// Adds the bed in `slot` unless it is missing, empty or weighted out. The slot is read once.
void addBed(CrackleMix& mix, const ResourceSlot<const AVAudioPCMBuffer>& slot, float weight) {
    const AVAudioPCMBuffer* bed = slot.get();
    if (bed == nullptr || !(weight > 0.0f)) return;
    const float* const* channels = bed->floatChannelData();
    if (channels == nullptr || bed->frameLength() == 0) return;
    const bool twoChannels = bed->format().channelCount() >= 2;
    mix.beds[mix.count++] = {channels[0], twoChannels ? channels[1] : channels[0],
                             static_cast<int64_t>(bed->frameLength()), weight};
}

// Up to 25 the first bed fades in; above that each 25-wide range crossfades from one bed to the
// next (25 -> 50 -> 75 -> 100).
CrackleMix crackleMix(const RenderState& s, float knob2) {
    CrackleMix mix;
    if (knob2 <= 25.0f) {
        addBed(mix, s.crackleBuffers[0], knob2 / 25.0f);
        return mix;
    }
    const std::size_t upper = knob2 <= 50.0f ? 1 : knob2 <= 75.0f ? 2 : 3;
    const float upperWeight = (knob2 - 25.0f * static_cast<float>(upper)) / 25.0f;
    addBed(mix, s.crackleBuffers[upper - 1], 1.0f - upperWeight);
    addBed(mix, s.crackleBuffers[upper], upperWeight);
    return mix;
}

struct CrackleFrame {
    float left = 0.0f;
    float right = 0.0f;
};

// The beds' read positions, each the head modulo its bed's length, moved on sample by sample:
// one division per bed and block instead of one per sample.
class CrackleReader {
public:
    CrackleReader(const CrackleMix& mix, double head) : mix_(mix) {
        const auto whole = static_cast<int64_t>(head);
        for (std::size_t b = 0; b < mix_.count; ++b) position_[b] = whole % mix_.beds[b].length;
    }

    CrackleFrame next() {
        CrackleFrame frame;
        for (std::size_t b = 0; b < mix_.count; ++b) {
            const CrackleBed& bed = mix_.beds[b];
            const auto i = static_cast<std::size_t>(position_[b]);
            frame.left += bed.weight * bed.left[i];
            frame.right += bed.weight * bed.right[i];
            if (++position_[b] == bed.length) position_[b] = 0;
        }
        return frame;
    }

private:
    const CrackleMix& mix_;
    std::array<int64_t, 2> position_{};
};

// The beds loop by modulo; the head itself only ever counts up.
void keepCrackleHeadUsable(RenderState& s) {
    if (!(s.crackleReadHead >= 0.0 && s.crackleReadHead < kMaxCrackleReadHead)) s.crackleReadHead = 0.0;
}

// Mono: the mean of the two bed sides.
void addCrackleMono(RenderState& s, float* samples, uint32_t n, float knob2) {
    if (!(knob2 > 0.0f)) return;
    const CrackleMix mix = crackleMix(s, knob2);
    keepCrackleHeadUsable(s);
    CrackleReader reader(mix, s.crackleReadHead);
    for (uint32_t i = 0; i < n; ++i) {
        const CrackleFrame f = reader.next();
        samples[i] += 0.5f * (f.left + f.right) * kCrackleGain;
    }
    s.crackleReadHead += static_cast<double>(n);
}

// Stereo: each bed side to its own channel; the beds and head are the left state's.
void addCrackleStereo(RenderState& s, float* L, float* R, uint32_t n, float knob2) {
    if (!(knob2 > 0.0f)) return;
    const CrackleMix mix = crackleMix(s, knob2);
    keepCrackleHeadUsable(s);
    CrackleReader reader(mix, s.crackleReadHead);
    for (uint32_t i = 0; i < n; ++i) {
        const CrackleFrame f = reader.next();
        L[i] += f.left * kCrackleGain;
        R[i] += f.right * kCrackleGain;
    }
    s.crackleReadHead += static_cast<double>(n);
}

// ---- The chain -----------------------------------------------------------------------------

void applyAutoLevel(float* samples, uint32_t n, float gain) {
    if (n > 0 && gain != 1.0f) scale(samples, n, gain);
}

// After a block: a compressor or filter state gone non-finite (a float-range sample or model
// result fed to the stage) starts again from rest, and so does the wow line the filters feed.
void restartWhatWentNonFinite(RenderState& s) {
    if (!dsp::allFinite({s.compGainDB, s.compAutoLevelDB})) resetCompressor(s);
    if (dsp::restartIfNotFinite({&s.hpf1_z1, &s.hpf1_z2, &s.hpf2_z1, &s.hpf2_z2, &s.eqZ1, &s.eqZ2}))
        s.delayLine.buffer.fill(0.0f);
}

}  // namespace

int64_t compressorLookahead(float fs) noexcept {
    return static_cast<int64_t>(std::clamp(std::ceil(fs * 0.001f), 1.0f, static_cast<float>(kMaxLookahead)));
}

void runVinylModels(RenderState& state, float* samples, uint32_t n, std::span<const float> knobValues, float knob1) {
    const ModelRun run = prepareModels(state, samples, n, knobValues, knob1);
    runModelPairs(run, ModelRun{}, n);
    finishModels(run, n);
}

void runVinylModelsStereo(RenderState& left, RenderState& right, float* L, float* R, uint32_t n,
                          std::span<const float> knobValues, float knob1) {
    const ModelRun leftRun = prepareModels(left, L, n, knobValues, knob1);
    const ModelRun rightRun = prepareModels(right, R, n, knobValues, knob1);
    runModelPairs(leftRun, rightRun, n);
    finishModels(leftRun, n);
    finishModels(rightRun, n);
}

void processVinylMono(RenderState& state, float* samples, uint32_t n, std::span<const float> knobValues, float fs,
                      float targetDelay, float knob1, float knob3, float knob2) {
    if (samples == nullptr || !dsp::isWorkableSampleRate(fs)) return;
    dsp::ScopedFlushDenormals flushDenormals;
    const Knobs k = usableKnobs(knob1, knob3, knob2);
    const float autoLevel = dsp::dbToGain(autoLevelDB(k.compressor));
    const CompressorSettings compressor = compressorSettings(fs);

    runCompressorStep(state, nullptr, samples, nullptr, n, k.compressor, compressor);
    runVinylModels(state, samples, n, knobValues, k.compressor);
    runLowEndFilters(state, samples, n, fs);
    runWowFlutter(state, samples, n, wowFlutterSettings(k.wowFlutter, fs, usableTargetDelay(targetDelay)));
    addCrackleMono(state, samples, n, k.crackle);
    applyAutoLevel(samples, n, autoLevel);
    restartWhatWentNonFinite(state);
}

void processVinylStereo(RenderState& left, RenderState& right, float* L, float* R, uint32_t n,
                        std::span<const float> knobValues, float fs, float targetDelay, float knob1, float knob3,
                        float knob2) {
    if (L == nullptr || R == nullptr || !dsp::isWorkableSampleRate(fs)) return;
    dsp::ScopedFlushDenormals flushDenormals;
    const Knobs k = usableKnobs(knob1, knob3, knob2);
    const float autoLevel = dsp::dbToGain(autoLevelDB(k.compressor));
    const CompressorSettings compressor = compressorSettings(fs);

    // Two independent channels up to the filters (no stereo link in the compressor); their models
    // run side by side.
    runCompressorStep(left, &right, L, R, n, k.compressor, compressor);
    runVinylModelsStereo(left, right, L, R, n, knobValues, k.compressor);
    runLowEndFiltersStereo(left, right, L, R, n, fs);
    runWowFlutterStereo(left, right, L, R, n, wowFlutterSettings(k.wowFlutter, fs, usableTargetDelay(targetDelay)));
    addCrackleStereo(left, L, R, n, k.crackle);
    applyAutoLevel(L, n, autoLevel);
    applyAutoLevel(R, n, autoLevel);
    restartWhatWentNonFinite(left);
    restartWhatWentNonFinite(right);
}
