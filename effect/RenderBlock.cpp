#include "effect/RenderBlock.h"

#include "effect/Kessrin_VinylExtensionAudioUnit.h"
#include "effect/PlayerResets.h"
#include "effect/RenderState.h"
#include "effect/dsp/Biquad.h"
#include "effect/dsp/Denormals.h"
#include "effect/dsp/StageGuards.h"
#include "effect/stages/Stages.h"
#include "platform/avfaudio/AVAudioPCMBuffer.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace {

using Unit = Kessrin_VinylExtensionAudioUnit;

// Work items for the model-load queue. They hold the unit weakly and do nothing once it is gone.
auto loadModeModelsWork(std::weak_ptr<Unit> unit, int64_t mode) {
    return [unit = std::move(unit), mode] {
        if (auto u = unit.lock()) u->loadModelsIfNeeded(mode);
    };
}

auto loadCrackleBedsWork(std::weak_ptr<Unit> unit) {
    return [unit = std::move(unit)] {
        if (auto u = unit.lock()) u->loadModelsIfNeeded(kCrackleResourceId);
    };
}

auto resetMarkedPlayersWork(std::weak_ptr<Unit> unit) {
    return [unit = std::move(unit)] {
        if (auto u = unit.lock()) resetMarkedPlayers(*u);
    };
}

AUValue valueOr(const std::shared_ptr<AUParameter>& parameter, AUValue fallback) noexcept {
    return parameter ? parameter->value() : fallback;
}

// Host samples beyond +96 dBFS are no level any audio source reaches: like NaN and infinity they
// can only be corrupt data, and one of them overflows the stages' filters and lingers for seconds
// in their feedback paths. Such samples play as silence.
constexpr float kLoudestInputSample = 65536.0f;

// On the bits of |x|, which order like the magnitudes; infinity and NaN lie above every finite
// value.
bool isUnusableMagnitude(uint32_t bits) noexcept {
    return (bits & 0x7fffffffu) > std::bit_cast<uint32_t>(kLoudestInputSample);
}

void silenceUnusable(float* samples, uint32_t n) noexcept {
    for (uint32_t i = 0; i < n; ++i)
        samples[i] = isUnusableMagnitude(std::bit_cast<uint32_t>(samples[i])) ? 0.0f : samples[i];
}

// The OR of a block's bits holds each sample's bits, so it bounds every magnitude from above:
// a block of ordinary audio (below 2.0, where that bound stays below 2.0 too) costs one load and
// one OR per sample. Only a block that fails it gets the exact pass. R may be null.
void silenceUnusableInput(float* L, float* R, uint32_t n) noexcept {
    uint32_t all = 0;
    if (R) for (uint32_t i = 0; i < n; ++i) all |= std::bit_cast<uint32_t>(L[i]) | std::bit_cast<uint32_t>(R[i]);
    else for (uint32_t i = 0; i < n; ++i) all |= std::bit_cast<uint32_t>(L[i]);
    if (!isUnusableMagnitude(all)) return;
    silenceUnusable(L, n);
    if (R) silenceUnusable(R, n);
}

// The fixed 18 kHz output low-pass. At rates where 18 kHz would reach Nyquist the corner is held
// at 0.45·fs, which keeps the section stable; from 40 kHz up it is the plain 18 kHz section.
dsp::BiquadCoefficients outputLowPass(float fs) noexcept {
    const float w0 = dsp::omegaBelowNyquist(113097.33f, 18000.0f, fs, 0.45f);
    return dsp::lowPass(w0, std::sin(w0) / 1.414f);
}

void scale(float* samples, uint32_t n, float gain) noexcept {
    for (uint32_t i = 0; i < n; ++i) samples[i] *= gain;
}

// scale, with a product past the float range (or any non-finite one) put out as 0, in one pass.
void scaleToFinite(float* samples, uint32_t n, float gain) noexcept {
    for (uint32_t i = 0; i < n; ++i) {
        const float scaled = samples[i] * gain;
        samples[i] = dsp::isNonFinite(scaled) ? 0.0f : scaled;
    }
}

// Both channels through one section set, in one pass: the two recurrences then overlap instead
// of running one after the other. Each channel's arithmetic is dsp::tick's, unchanged.
void processStereoInPlace(const dsp::BiquadCoefficients& k, float* L, float* R, uint32_t n, float& l1, float& l2,
                          float& r1, float& r2) noexcept {
    float a1 = l1, a2 = l2, b1 = r1, b2 = r2;
    for (uint32_t i = 0; i < n; ++i) {
        L[i] = dsp::tick(k, L[i], a1, a2);
        R[i] = dsp::tick(k, R[i], b1, b2);
    }
    l1 = a1, l2 = a2, r1 = b1, r2 = b2;
}

}  // namespace

int64_t effectModeFromValue(AUValue value) noexcept {
    if (!std::isfinite(value)) return -1;
    const float held = std::clamp(value, -2147483648.0f, 2147483520.0f);
    return static_cast<int64_t>(std::trunc(held));
}

AUAudioUnitStatus RenderContext::render(AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp,
                                        AUAudioFrameCount frameCount, AudioBufferList* outputData,
                                        const AURenderEvent* events,
                                        const AURenderPullInputBlock* pullInputBlock) noexcept {
    RenderCallScope renderCall(unit->resourcePublisher);
    // Decaying states must not sink into slow subnormal arithmetic; the host's mode comes back on return.
    dsp::ScopedFlushDenormals flushDenormals;

    if (pullInputBlock == nullptr || !*pullInputBlock) return kAudioUnitErr_NoConnection;
    // Scratch buffers are sized for the host's stated maximum; a larger block is refused.
    if (frameCount > unit->maximumFramesToRender()) return kAudioUnitErr_TooManyFramesToProcess;
    const AUAudioUnitStatus pulled = (*pullInputBlock)(actionFlags, timestamp, frameCount, 0, outputData);
    if (pulled != noErr) return pulled;

    unit->handleRenderEvents(events);
    if (frameCount == 0) return noErr;

    const int64_t mode = effectModeFromValue(valueOr(effectModeParam, 0));
    unit->currentEffectMode.store(mode, std::memory_order_relaxed);
    trackModeChange(mode);

    const float knob1 = valueOr(compressorParam, 50);
    const float knob2 = valueOr(crackleParam, 0);
    const float knob3 = valueOr(wowFlutterParam, 0);

    if (mode == 0 && knob2 > 0 && !unit->crackleLoadDispatched.load(std::memory_order_relaxed)) {
        // Only marked as dispatched once the queue took it, so a full queue retries next block.
        if (unit->modelLoadQueue.async(loadCrackleBedsWork(weakUnit)))
            unit->crackleLoadDispatched.store(true, std::memory_order_relaxed);
    }

    if (outputData == nullptr || outputData->mNumberBuffers == 0 || outputData->mBuffers[0].mData == nullptr)
        return noErr;
    const uint32_t n = frameCount;
    float* L = static_cast<float*>(outputData->mBuffers[0].mData);
    const bool stereo = outputData->mNumberBuffers >= 2 && outputData->mBuffers[1].mData != nullptr;
    float* R = stereo ? static_cast<float*>(outputData->mBuffers[1].mData) : nullptr;

    const bool monoInput = renderState->inputChannelCount == 1;
    silenceUnusableInput(L, stereo && !monoInput ? R : nullptr, n);
    if (stereo && monoInput) std::copy(L, L + n, R);
    if (stereo && monoSumOnParam && monoSumOnParam->value() >= 0.5f) {
        for (uint32_t i = 0; i < n; ++i) L[i] = R[i] = (L[i] + R[i]) * 0.5f;
    }

    if (modeNeedsResources(mode) && !unit->isModelReady(mode)) {
        if (!modeLoadQueued) queueModeLoad(mode);  // the queue refused it earlier: try again
        std::fill(L, L + n, 0.0f);
        if (stereo) std::fill(R, R + n, 0.0f);
        return noErr;
    }

    runStage(mode, L, R, n, knob1, knob2, knob3);
    queuePlayerResets(mode);
    if (mode >= 1 && mode <= 7) unit->latencyAlignment.process(L, R, n, latencyFrames);
    addHiss(L, R, n);
    applyOutputLowPass(L, R, n);
    applyOutputLevel(L, R, n);
    applyFades(L, R, n);
    return noErr;
}

// Remembers whether the queue took the load, so that a full queue is retried by a later call
// rather than leaving the mode silent until the next change. A mode whose resources are loaded
// (after activation, every mode's) queues nothing.
void RenderContext::queueModeLoad(int64_t mode) noexcept {
    modeLoadQueued = !modeNeedsResources(mode) || unit->isModelReady(mode) ||
                     unit->modelLoadQueue.async(loadModeModelsWork(weakUnit, mode));
}

void RenderContext::trackModeChange(int64_t mode) noexcept {
    RenderState& s = *renderState;
    if (!s.hasLastMode) {
        // The first call adopts the mode without a fade. Its resources normally came with
        // allocation; if the mode changed since, this load brings them.
        s.hasLastMode = true;
        s.lastMode = mode;
        queueModeLoad(mode);
        return;
    }
    if (mode == s.lastMode) return;
    s.modeFadeSamplesRemaining = s.modeFadeLength;
    queueModeLoad(mode);
    // What the line holds belongs to the mode left; the fade mutes far longer than the line is.
    unit->latencyAlignment.clear();
    if (s.lastMode == 4) {
        restPitchState(*renderState);
        restPitchState(*pitchRightState);
    }
    s.lastMode = mode;
}

void RenderContext::runStage(int64_t mode, float* L, float* R, uint32_t n, float knob1, float knob2,
                             float knob3) noexcept {
    const float fs = sampleRate;
    RenderState& left = *renderState;
    switch (mode) {
        case 0:
            if (R) processVinylStereo(left, *vinylRightState, L, R, n, vinylProfileKnobValues, fs, nominalDelay, knob1, knob3, knob2);
            else processVinylMono(left, L, n, vinylProfileKnobValues, fs, nominalDelay, knob1, knob3, knob2);
            break;
        case 1:
            if (R) processLoFiStereo(left, *loFiRightState, L, R, n, unit->bitProfileKnobValues, fs, knob1, knob3, knob2);
            else processLoFiMono(left, L, n, unit->bitProfileKnobValues, fs, knob1, knob3, knob2);
            break;
        case 2:
            if (R) processFillDriveStereo(left, *filterRightState, L, R, n, driveProfileKnobValues, fs, knob1, knob3, knob2);
            else processFillDriveMono(left, L, n, driveProfileKnobValues, fs, knob1, knob3, knob2);
            break;
        case 3:
            if (R) processIsolatorBands(left, *isolatorRightState, L, R, n, fs, knob1, knob3, knob2);
            else processIsolatorMono(left, L, n, fs, knob1, knob3, knob2);
            break;
        case 4:
            if (R) processPitchStereo(left, *pitchRightState, L, R, n, fs, knob1, knob3, knob2);
            else processPitchMono(left, L, n, fs, knob1, knob3, knob2);
            break;
        case 5: {
            const bool isAM = valueOr(amFmModeParam, 0) < 0.5f;
            if (R) processRadioStereo(left, *radioRightState, L, R, n, isAM, fs, knob1, knob3, knob2);
            else processRadioMono(left, L, n, isAM, fs, knob1, knob3, knob2);
            break;
        }
        case 6: processChorus(left, L, R, n, fs, knob1, knob3, knob2); break;
        case 7: processFlanger(left, L, R, n, fs, knob1, knob3, knob2); break;
        default: break;
    }
}

void RenderContext::addHiss(float* L, float* R, uint32_t n) noexcept {
    if (!hissOnParam || hissOnParam->value() < 0.5f) return;
    RenderState& s = *renderState;
    const AVAudioPCMBuffer* bed = s.hissBuffer.get();
    if (bed == nullptr || bed->floatChannelData() == nullptr || bed->frameLength() == 0) return;
    const float* channel = bed->floatChannelData()[0];
    const auto length = static_cast<int64_t>(bed->frameLength());
    const float level = valueOr(hissLevelParam, 40);
    const float gain = std::pow(10.0f, (level * 0.4f - 60.0f) / 20.0f);
    // The head counts whole samples; the bed position follows it, wrapping as the head's modulo would.
    int64_t position = static_cast<int64_t>(s.hissReadHead) % length;
    for (uint32_t i = 0; i < n; ++i) {
        const float h = channel[position] * gain;
        L[i] += h;
        if (R) R[i] += h;
        if (++position == length) position = 0;
    }
    // Wrapped by the whole bed length, so a bed shorter than a block cannot make the head grow.
    s.hissReadHead = std::fmod(s.hissReadHead + static_cast<double>(n), static_cast<double>(length));
}

void RenderContext::queuePlayerResets(int64_t mode) noexcept {
    if (mode != 1 && mode != 2) return;
    const uint32_t marks = mode == 1 ? playerresets::marks(renderState->lofiBitPlayerResets) |
                                           playerresets::marks(loFiRightState->lofiBitPlayerResets)
                                     : playerresets::marks(renderState->drivePlayerResets) |
                                           playerresets::marks(filterRightState->drivePlayerResets);
    // Marked before it is queued, so that the reset, which clears the flag first, cannot finish
    // before the flag is set; a full queue clears it again and the next block tries anew.
    if (marks == 0 || renderState->playerResetQueued.exchange(true, std::memory_order_seq_cst)) return;
    if (!unit->modelLoadQueue.async(resetMarkedPlayersWork(weakUnit)))
        renderState->playerResetQueued.store(false, std::memory_order_seq_cst);
}

// A section that meets a non-finite number keeps non-finite states to the end of the block, so
// finite states after the block mean that every sample it put out was finite: one test per block
// instead of one per sample. Only a stage output beyond float audio levels ever fails it; then
// the block's bad samples become silence and the section starts again from rest.
void RenderContext::applyOutputLowPass(float* L, float* R, uint32_t n) noexcept {
    RenderState& s = *renderState;
    const dsp::BiquadCoefficients k = outputLowPass(sampleRate);
    if (R) processStereoInPlace(k, L, R, n, s.hfRolloffL_z1, s.hfRolloffL_z2, s.hfRolloffR_z1, s.hfRolloffR_z2);
    else dsp::processInPlace(k, L, n, s.hfRolloffL_z1, s.hfRolloffL_z2);
    if (dsp::restartIfNotFinite({&s.hfRolloffL_z1, &s.hfRolloffL_z2, &s.hfRolloffR_z1, &s.hfRolloffR_z2})) {
        dsp::zeroNonFinite(L, n);
        if (R) dsp::zeroNonFinite(R, n);
    }
}

// A gain above 1 could still take a finite sample past the float range; the fades that follow
// only scale down, so what leaves here is what the unit puts out: finite.
void RenderContext::applyOutputLevel(float* L, float* R, uint32_t n) noexcept {
    if (!outputLevelParam) return;
    const float v = outputLevelParam->value();
    const float gain = v <= 75.0f ? v / 75.0f : std::pow(10.0f, ((v - 75.0f) / 25.0f * 6.0f) / 20.0f);
    if (gain == 1.0f) return;
    if (gain > 1.0f) {
        scaleToFinite(L, n, gain);
        if (R) scaleToFinite(R, n, gain);
    } else {
        scale(L, n, gain);
        if (R) scale(R, n, gain);
    }
}

void RenderContext::applyFades(float* L, float* R, uint32_t n) noexcept {
    RenderState& s = *renderState;
    if (s.fadeInSamplesRemaining > 0) {
        int64_t remaining = s.fadeInSamplesRemaining;
        for (uint32_t i = 0; i < n && remaining > 0; ++i, --remaining) {
            const float gain = 1.0f - static_cast<float>(remaining) / 4096.0f;
            L[i] *= gain;
            if (R) R[i] *= gain;
        }
        s.fadeInSamplesRemaining -= n;
    }
    if (s.modeFadeSamplesRemaining > 0) {
        int64_t remaining = s.modeFadeSamplesRemaining;
        const auto rampLength = static_cast<float>(s.modeFadeInLength);
        for (uint32_t i = 0; i < n && remaining > 0; ++i, --remaining) {
            const float gain = remaining > s.modeFadeInLength ? 0.0f : 1.0f - static_cast<float>(remaining) / rampLength;
            L[i] *= gain;
            if (R) R[i] *= gain;
        }
        s.modeFadeSamplesRemaining -= n;
    }
}
