#pragma once

#include "platform/audiotoolbox/AUParameters.h"
#include "platform/audiotoolbox/AudioTypes.h"

#include <array>
#include <memory>

class Kessrin_VinylExtensionAudioUnit;
class RenderState;

// What one render block captures when the host reads it: the unit (strongly), the seven render
// states, the nine parameters, and the sample rate of that moment.
struct RenderContext {
    std::shared_ptr<Kessrin_VinylExtensionAudioUnit> unit;
    std::weak_ptr<Kessrin_VinylExtensionAudioUnit> weakUnit;  // what queued work items hold

    std::shared_ptr<RenderState> renderState, vinylRightState, loFiRightState, filterRightState, isolatorRightState,
        pitchRightState, radioRightState;

    std::shared_ptr<AUParameter> effectModeParam, compressorParam, crackleParam, wowFlutterParam, monoSumOnParam,
        amFmModeParam, hissOnParam, hissLevelParam, outputLevelParam;

    float sampleRate = 44100;
    float nominalDelay = 512;
    int64_t latencyFrames = 0;  // effectLatencyFrames at sampleRate: the delay every mode shares
    std::array<float, 9> vinylProfileKnobValues{};
    std::array<float, 9> driveProfileKnobValues{};

    // One render call, on the host's real-time thread.
    AUAudioUnitStatus render(AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp,
                             AUAudioFrameCount frameCount, AudioBufferList* outputData, const AURenderEvent* events,
                             const AURenderPullInputBlock* pullInputBlock) noexcept;

private:
    bool modeLoadQueued = false;  // render thread only: the current mode's load reached the queue

    void trackModeChange(int64_t mode) noexcept;
    void queueModeLoad(int64_t mode) noexcept;
    void runStage(int64_t mode, float* L, float* R, uint32_t n, float knob1, float knob2, float knob3) noexcept;
    void queuePlayerResets(int64_t mode) noexcept;
    void addHiss(float* L, float* R, uint32_t n) noexcept;
    void applyOutputLowPass(float* L, float* R, uint32_t n) noexcept;
    void applyOutputLevel(float* L, float* R, uint32_t n) noexcept;
    void applyFades(float* L, float* R, uint32_t n) noexcept;
};

// The effect mode for a parameter value: truncated toward zero; a non-finite value is -1, which
// like every value outside 0..7 runs no stage.
int64_t effectModeFromValue(AUValue value) noexcept;

// Whether a mode needs loaded resources before it may play (VINYL, LO-FI, FILLDRIVE, RADIO).
constexpr bool modeNeedsResources(int64_t mode) { return mode == 0 || mode == 1 || mode == 2 || mode == 5; }

// Identifier of the crackle beds in the load state.
constexpr int64_t kCrackleResourceId = 100;

