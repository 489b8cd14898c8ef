#include "effect/RenderState.h"
#include "effect/dsp/Biquad.h"
#include "effect/dsp/StageGuards.h"
#include "effect/stages/RadioStage.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

// RADIO, AM band: a mono receiver. The input is ring-modulated by a carrier that TUNING sets,
// held at a reduced rate, ducked under the static, run through a blend of two of nine receiver
// impulse responses that FILTER picks, and laid over the static bed through a peaking cut.

namespace {

// The TUNING curves are piecewise linear between these knob positions.
constexpr std::array<float, 6> kTuningBreaks{0.0f, 0.25f, 0.5f, 0.65f, 0.75f, 1.0f};
constexpr std::array<float, 6> kCarrierHz{0.0f, 387.6f, 904.4f, 1075.2f, 1421.0f, 1723.0f};
// The first entry is replaced by min(48000, fs): at TUNING 0 every sample is held up to 48 kHz.
constexpr std::array<float, 6> kHoldRateHz{48000.0f, 10442.6f, 9667.4f, 9408.2f, 8892.0f, 8441.0f};
constexpr std::array<float, 6> kRingDepth{0.0f, 0.112f, 0.308f, 0.381f, 0.52f, 0.63f};

// The FILTER knob position of each impulse response.
constexpr std::array<float, 9> kResponseKnob{0, 12, 25, 37, 50, 62, 75, 87, 100};

constexpr float kConvolutionGain = 11.220183f;  // +21 dB
constexpr float kFullDepthLeak = 0.003981071f;  // -48 dB

std::size_t tuningSegment(float k1) noexcept {
    if (k1 < 0.25f) return 0;
    if (k1 < 0.5f) return 1;
    if (k1 < 0.65f) return 2;
    if (k1 < 0.75f) return 3;
    return 4;
}

float tuningCurve(const std::array<float, 6>& y, std::size_t segment, float k1) noexcept {
    const float x0 = kTuningBreaks[segment];
    const float x1 = kTuningBreaks[segment + 1];
    return y[segment] + (y[segment + 1] - y[segment]) * ((k1 - x0) / (x1 - x0));
}

// Make-up in dB: +3 dB at TUNING 0 falling to 0 dB at 100.
float makeupDb(float k1) noexcept { return k1 < 0.5f ? 3.0f - 2.0f * k1 : 2.0f - 4.0f * (k1 - 0.5f); }

// The pair of responses (j, j + 1) around the FILTER position K (0..100), and the weight of j + 1.
struct ResponsePair {
    std::size_t first;
    float blend;
};

ResponsePair responsePair(float filterKnob) noexcept {
    std::size_t j = 0;
    for (std::size_t p = 1; p + 1 < kResponseKnob.size(); ++p)
        if (kResponseKnob[p] < filterKnob) ++j;
    return {j, (filterKnob - kResponseKnob[j]) / (kResponseKnob[j + 1] - kResponseKnob[j])};
}

// Everything the AM path derives from the knobs and the rate, once per block.
struct AMBlock {
    double carrierIncrement;  // cycles per sample, in [0, 1)
    float holdPeriod;         // samples per held sample, at least 1
    float depth;
    float leak;
    float makeup;
    dsp::BiquadCoefficients staticEQ;
    radio::StaticChoice staticChoice;
    radio::StaticDucker ducker;
    float envelopeAttack;
    float envelopeRelease;
    ResponsePair pair;
};

AMBlock amBlock(float fs, float knob1, float knob3, float knob2) noexcept {
    const float filterKnob = radio::clampKnob(knob2);
    const float k1 = radio::clampKnob(knob1) / 100.0f;
    const float k2 = filterKnob / 100.0f;
    const float k3 = radio::clampKnob(knob3) / 100.0f;
    const std::size_t segment = tuningSegment(k1);
    auto holdRates = kHoldRateHz;
    holdRates[0] = std::min(48000.0f, fs);
    const float carrierHz = tuningCurve(kCarrierHz, segment, k1);
    const float depth = tuningCurve(kRingDepth, segment, k1);
    const float eqW0 = radio::angularFrequency(2000.0f, fs);

    AMBlock b{};
    // A carrier at or above the rate (only at rates below 2 kHz) still wraps to one cycle.
    b.carrierIncrement = static_cast<double>(carrierHz) / static_cast<double>(fs);
    b.carrierIncrement -= std::floor(b.carrierIncrement);
    // Holding faster than the rate holds every sample; a period below 1 would only let the
    // counter run away.
    b.holdPeriod = std::max(fs / tuningCurve(holdRates, segment, k1), 1.0f);
    b.depth = depth;
    b.leak = depth > 0.0f ? (depth / 0.63f) * kFullDepthLeak : 0.0f;
    b.makeup = dsp::dbToGain(makeupDb(k1));
    b.staticEQ = dsp::peaking(eqW0, std::sin(eqW0) / 2.828f, std::pow(10.0f, (-5.0f * k2) / 40.0f));
    b.staticChoice = radio::chooseStatic(k3);
    b.ducker = radio::StaticDucker::forRate(fs);
    b.envelopeAttack = dsp::smoothingCoefficient(0.005f, fs);
    b.envelopeRelease = dsp::smoothingCoefficient(0.08f, fs);
    b.pair = responsePair(filterKnob);
    return b;
}

// The convolution with the two responses of the pair, over the ring of past inputs. The slots
// are read once per block; the ring is this state's own and only the render writes it.
struct Convolution {
    const float* first = nullptr;
    const float* second = nullptr;
    int64_t taps = 0;
    float* ring = nullptr;
    int64_t length = 0;
    float blend = 0.0f;

    bool active() const noexcept { return taps > 0; }
};

bool holdsSamples(const std::vector<float>* v) noexcept { return v != nullptr && !v->empty(); }

Convolution openConvolution(RenderState& s, const ResponsePair& pair) noexcept {
    std::vector<float>* history = s.radioAMIRHistory.get();
    const std::vector<float>* a = s.radioAMIRs[pair.first].get();
    const std::vector<float>* b = s.radioAMIRs[pair.first + 1].get();
    if (!holdsSamples(history)) return {};
    const auto length = static_cast<int64_t>(history->size());
    // The loaders replace the ring without touching the write position; a position outside a
    // new, shorter ring starts again at 0 (the new ring is silent, so nothing is lost).
    if (s.radioAMIRHistoryIndex < 0 || s.radioAMIRHistoryIndex >= length) s.radioAMIRHistoryIndex = 0;
    if (!holdsSamples(a) || !holdsSamples(b)) return {};
    const auto taps = std::min({static_cast<int64_t>(a->size()), static_cast<int64_t>(b->size()), length});
    return {a->data(), b->data(), taps, history->data(), length, pair.blend};
}

// Writes y at the ring position h, sums both responses against the ring backwards from h, and
// moves h on. Tap k reads ring[(h - k) mod N]: the taps 0..h read h down to 0 and the rest read
// from the end of the ring down, so the sum runs in tap order over two plain spans.
float convolve(const Convolution& c, int64_t& h, float y) noexcept {
    c.ring[h] = y;
    const int64_t firstSpan = std::min(c.taps, h + 1);
    float a = 0.0f;
    float b = 0.0f;
    for (int64_t k = 0; k < firstSpan; ++k) {
        const float r = c.ring[h - k];
        a += c.first[k] * r;
        b += c.second[k] * r;
    }
    for (int64_t k = firstSpan; k < c.taps; ++k) {
        const float r = c.ring[h + c.length - k];
        a += c.first[k] * r;
        b += c.second[k] * r;
    }
    h = h + 1 == c.length ? 0 : h + 1;
    return (a + (b - a) * c.blend) * kConvolutionGain;
}

// ---- The convolution of a whole chunk ----------------------------------------------------------
//
// convolve() costs two multiply-adds per tap and sample in one long dependent chain. Within a
// chunk, though, the inputs do not depend on the outputs, so the chunk's outputs are computed
// side by side: output j of the chunk reads the linear history x[j + T - 1 - k] (the T - 1 ring
// samples before the chunk, then the chunk's inputs), and every output keeps its own running
// sums, added in tap order exactly as convolve() adds them. The results are the same bits.

constexpr int64_t kChunk = 64;
constexpr int64_t kLanes = 8;
constexpr int64_t kGroups = 4;  // independent groups of lanes hide the adder's latency
constexpr int64_t kLongestChunkedResponse = 2048;

using Lanes = float __attribute__((vector_size(kLanes * sizeof(float))));

// Every lane set to v (exactly v, the sign of a zero included).
void splat(Lanes& lanes, float v) noexcept {
    static_assert(kLanes == 8);
    lanes = Lanes{v, v, v, v, v, v, v, v};
}

// Output j of `count` outputs from the linear history x (T - 1 older samples, then the inputs).
float convolveAt(const Convolution& c, const float* x, int64_t j) noexcept {
    const float* newest = x + j + c.taps - 1;
    float a = 0.0f;
    float b = 0.0f;
    for (int64_t k = 0; k < c.taps; ++k) {
        a += c.first[k] * newest[-k];
        b += c.second[k] * newest[-k];
    }
    return (a + (b - a) * c.blend) * kConvolutionGain;
}

// kGroups · kLanes outputs from position j on. (No function takes or returns a Lanes value by
// value: on the generic x86-64 target that would use an ABI that differs from the AVX one.)
void convolveLanes(const Convolution& c, const float* x, int64_t j, float* out) noexcept {
    Lanes a[kGroups] = {};
    Lanes b[kGroups] = {};
    const float* newest = x + j + c.taps - 1;
    for (int64_t k = 0; k < c.taps; ++k) {
        Lanes f, g;
        splat(f, c.first[k]);
        splat(g, c.second[k]);
        for (int64_t q = 0; q < kGroups; ++q) {
            Lanes r;
            std::memcpy(&r, newest - k + q * kLanes, sizeof r);
            a[q] = a[q] + f * r;
            b[q] = b[q] + g * r;
        }
    }
    Lanes blend, gain;
    splat(blend, c.blend);
    splat(gain, kConvolutionGain);
    for (int64_t q = 0; q < kGroups; ++q) {
        const Lanes result = (a[q] + (b[q] - a[q]) * blend) * gain;
        std::memcpy(out + j + q * kLanes, &result, sizeof result);
    }
}

// Replaces y[0..count) by the convolution outputs, as `count` calls of convolve() would, and
// leaves the ring and h as they would.
void convolveChunk(const Convolution& c, int64_t& h, float* y, int64_t count) noexcept {
    if (c.taps > kLongestChunkedResponse) {
        for (int64_t j = 0; j < count; ++j) y[j] = convolve(c, h, y[j]);
        return;
    }
    float x[kLongestChunkedResponse - 1 + kChunk];
    const int64_t older = c.taps - 1;
    int64_t p = h - older;
    if (p < 0) p += c.length;
    for (int64_t i = 0; i < older; ++i) {
        x[i] = c.ring[p];
        p = p + 1 == c.length ? 0 : p + 1;
    }
    for (int64_t j = 0; j < count; ++j) {
        x[older + j] = y[j];
        c.ring[h] = y[j];
        h = h + 1 == c.length ? 0 : h + 1;
    }
    int64_t j = 0;
    for (; j + kGroups * kLanes <= count; j += kGroups * kLanes) convolveLanes(c, x, j, y);
    for (; j < count; ++j) y[j] = convolveAt(c, x, j);
}

// After a block: a state gone non-finite (a float-range sample fed to the stage, or a static bed
// far beyond audio levels) starts again from rest, and so does the history the held sample fed.
void restartWhatWentNonFinite(RenderState& s, const Convolution& conv) noexcept {
    const bool restarted =
        dsp::restartIfNotFinite({&s.radioAMHeldSample, &s.radioAMSRPhase, &s.radioAMSignalEnvelope,
                                 &s.radioStaticDuckerEnvelope, &s.radioStaticEQ_z1, &s.radioStaticEQ_z2});
    if (restarted && conv.active()) std::fill(conv.ring, conv.ring + conv.length, 0.0f);
}

}  // namespace

namespace radio {

void processAM(RenderState& s, float* samples, uint32_t n, float fs, float knob1, float knob3, float knob2) noexcept {
    const AMBlock k = amBlock(fs, knob1, knob3, knob2);
    Bed staticBed{};
    if (k.staticChoice.active)
        staticBed = bedOf(s.staticBuffers[static_cast<std::size_t>(k.staticChoice.index)].get());
    s.staticPhase = wrapPosition(s.staticPhase, staticBed.length);
    const Convolution conv = openConvolution(s, k.pair);
    if (!(s.radioAMRingPhase >= 0.0 && s.radioAMRingPhase < 1.0)) s.radioAMRingPhase = 0.0;

    // In chunks: first everything up to the convolution's input, with the static's own output
    // parked in the sample buffer, then the convolution over the whole chunk.
    for (uint32_t start = 0; start < n; start += static_cast<uint32_t>(kChunk)) {
        const auto count = static_cast<int64_t>(std::min<uint32_t>(static_cast<uint32_t>(kChunk), n - start));
        float* chunk = samples + start;
        float y[kChunk];
        for (int64_t i = 0; i < count; ++i) {
            const float x = chunk[i];
            const double phase = s.radioAMRingPhase;
            s.radioAMRingPhase = phase + k.carrierIncrement;
            if (s.radioAMRingPhase >= 1.0) s.radioAMRingPhase -= 1.0;

            const float level = std::abs(x);
            dsp::onePoleStep(s.radioAMSignalEnvelope,
                             level > s.radioAMSignalEnvelope ? k.envelopeAttack : k.envelopeRelease, level);

            // Rate reduction: the ring modulation is sampled only at the hold instants.
            s.radioAMSRPhase += 1.0f;
            if (s.radioAMSRPhase >= k.holdPeriod) {
                const auto c = static_cast<float>(std::cos(2.0 * std::numbers::pi * phase));
                // The carrier leaks in only while a signal is present (-60 dB to -42 dB envelope).
                const float presence = std::clamp((s.radioAMSignalEnvelope - 0.001f) / 0.006943284f, 0.0f, 1.0f);
                s.radioAMSRPhase -= k.holdPeriod;
                s.radioAMHeldSample = x * (1.0f - k.depth) + x * c * k.depth + presence * c * k.leak;
            }

            const float st = staticBed.present() ? readLooping(staticBed, s.staticPhase) * k.staticChoice.gain : 0.0f;
            const float duck = k.ducker.step(s.radioStaticDuckerEnvelope, std::abs(st));
            y[i] = s.radioAMHeldSample * duck;
            chunk[i] = dsp::tick(k.staticEQ, st, s.radioStaticEQ_z1, s.radioStaticEQ_z2);
        }
        if (conv.active()) convolveChunk(conv, s.radioAMIRHistoryIndex, y, count);
        for (int64_t i = 0; i < count; ++i) chunk[i] = chunk[i] + y[i] * k.makeup;
    }
    restartWhatWentNonFinite(s, conv);
}

}  // namespace radio
