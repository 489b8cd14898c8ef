#include "effect/stages/Stages.h"

#include "effect/RenderState.h"
#include "effect/dsp/Biquad.h"
#include "effect/dsp/StageGuards.h"
#include "effect/stages/DelayStageSupport.h"

#include <algorithm>
#include <cmath>

// Pitch shifter of up to two octaves either way: two taps half a ring apart rotate through a
// 4096-sample ring at the pitch ratio and cross-fade with a sine-squared window; the shifted
// signal is low-passed at 3.5 kHz and fed back through a long delay, so each repeat is shifted
// again. The mix is equal-power with a make-up lift in the middle.

namespace {

constexpr int64_t kRingMask = 0xfff;
constexpr int64_t kDelayMask = 0x7fff;
constexpr double kRingLength = 4096.0;
constexpr double kHalfRing = 2048.0;
constexpr float kPi = 3.1415925f;

struct PitchSettings {
    double ratio = 1;
    int64_t feedbackDelay = 1;
    float feedbackGain = 0, wet = 0, dry = 1, makeup = 1;
    dsp::BiquadCoefficients lowPass;
};

PitchSettings settingsFor(float fs, float pitch, float mix, float feedback) {
    PitchSettings s;
    s.ratio = std::pow(2.0f, (pitch / 100.0f - 0.5f) * 4.0f);
    // One pass round the loop lasts about 0.235 s: the ring's own 2048 plus this delay.
    s.feedbackDelay = std::max<int64_t>(static_cast<int64_t>(0.235f * fs) - 2048, 1);
    const float f = feedback / 100.0f * 0.93f;
    s.feedbackGain = 1.15f * f * f;
    const float theta = mix / 100.0f * kPi;
    s.wet = std::sin(theta / 2.0f);
    s.dry = std::cos(theta / 2.0f);
    s.makeup = 1.0f + 0.259f * std::sin(theta);
    const float w0 = dsp::omegaBelowNyquist(21991.148f, 3500.0f, fs);
    s.lowPass = dsp::lowPass(w0, std::sin(w0) / 1.414f);
    return s;
}

// The rings normally come sized from allocation. Empty rings (a block before allocation) are
// made here as on first use; rings of any other size are made afresh the same way, because
// the masks below need exactly these lengths. False when the state has no room for them.
bool ringsReady(RenderState& st) {
    if (st.pitchBuf.size() == RenderState::kPitchBufLength &&
        st.pitchDelayBuf.size() == RenderState::kPitchDelayBufLength)
        return true;
    if (st.pitchBuf.capacity() < RenderState::kPitchBufLength ||
        st.pitchDelayBuf.capacity() < RenderState::kPitchDelayBufLength)
        return false;
    delaystage::zeroWithinReservedStorage(st.pitchBuf, RenderState::kPitchBufLength);
    delaystage::zeroWithinReservedStorage(st.pitchDelayBuf, RenderState::kPitchDelayBufLength);
    st.pitchReadPos = kHalfRing;
    return true;
}

// Linear interpolation at a position within [0, 6144).
float tapAt(const float* ring, double position) {
    const auto i = static_cast<int64_t>(position);
    const auto f = static_cast<float>(position - std::floor(position));
    return (1.0f - f) * ring[i & kRingMask] + f * ring[(i + 1) & kRingMask];
}

void shiftChannel(const PitchSettings& k, RenderState& st, float* samples, uint32_t n) {
    if (!ringsReady(st)) return;
    float* ring = st.pitchBuf.data();
    float* delay = st.pitchDelayBuf.data();
    int64_t write = st.pitchWritePos & kRingMask;
    int64_t delayWrite = st.pitchDelayWritePos & kDelayMask;
    double read = st.pitchReadPos;
    // Only a damaged state puts the read position off the ring; start again half a ring back.
    if (!(read >= 0.0 && read < kRingLength)) read = kHalfRing;
    float z1 = st.pitchLPF_z1, z2 = st.pitchLPF_z2;

    for (uint32_t i = 0; i < n; ++i) {
        const float x = samples[i];
        const float fb = delay[(delayWrite - k.feedbackDelay) & kDelayMask] * k.feedbackGain;
        ring[write] = x + fb;
        const float a = tapAt(ring, read);
        const float b = tapAt(ring, read + kHalfRing);
        // Tap A sounds fully half a ring behind the write index and fades out as it nears it.
        const double distance = std::fmod(static_cast<double>(write) - read + kRingLength, kRingLength);
        const auto s = static_cast<float>(std::sin(distance * 3.1415925 / kRingLength));
        const float s2 = s * s;
        const float m = s2 * a + (1.0f - s2) * b;
        const float y = dsp::tick(k.lowPass, m, z1, z2);
        delay[delayWrite] = y;
        write = (write + 1) & kRingMask;
        delayWrite = (delayWrite + 1) & kDelayMask;
        read += k.ratio;
        if (read >= kRingLength) read -= kRingLength;
        if (read < 0.0) read += kRingLength;
        samples[i] = (y * k.wet + x * k.dry) * k.makeup;
    }

    st.pitchWritePos = write;
    st.pitchDelayWritePos = delayWrite;
    st.pitchReadPos = read;
    st.pitchLPF_z1 = z1;
    st.pitchLPF_z2 = z2;
    // Everything in the rings came through the low-pass or from the input; a low-pass gone
    // non-finite may have put NaN into them, so the whole channel starts again from rest.
    if (!dsp::allFinite({z1, z2})) restPitchState(st);
}

bool prepare(float fs, float& knob1, float& knob3, float& knob2) {
    dsp::holdKnobsInRange(knob1, knob2, knob3);
    return dsp::isWorkableSampleRate(fs);
}

}  // namespace

void restPitchState(RenderState& s) noexcept {
    std::fill(s.pitchBuf.begin(), s.pitchBuf.end(), 0.0f);
    std::fill(s.pitchDelayBuf.begin(), s.pitchDelayBuf.end(), 0.0f);
    s.pitchWritePos = 0;
    s.pitchReadPos = static_cast<double>(s.pitchBuf.size() / 2);
    s.pitchDelayWritePos = 0;
    s.pitchLPF_z1 = 0;
    s.pitchLPF_z2 = 0;
}

void processPitchMono(RenderState& state, float* samples, uint32_t n, float fs, float knob1, float knob3,
                      float knob2) {
    if (!prepare(fs, knob1, knob3, knob2)) return;
    shiftChannel(settingsFor(fs, knob1, knob3, knob2), state, samples, n);
}

void processPitchStereo(RenderState& left, RenderState& right, float* L, float* R, uint32_t n, float fs,
                        float knob1, float knob3, float knob2) {
    if (!prepare(fs, knob1, knob3, knob2)) return;
    const PitchSettings settings = settingsFor(fs, knob1, knob3, knob2);
    shiftChannel(settings, left, L, n);
    shiftChannel(settings, right, R, n);
}
