#pragma once

#include "effect/DelayLine.h"
#include "effect/ResourceSlot.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

class AVAudioPCMBuffer;
class NAMPlayer;
class RTNeuralPlayer;

// Everything one channel of the effect remembers from one render call to the next, for every
// mode: fade counters, filter states, bed read positions, delay lines and model-player slots.
// One object serves all modes, so a mode change needs no new state. The render thread reads and
// writes the plain fields without a lock; loaders fill the slots (see ResourceSlot). Beds and
// impulse responses are read-only: one copy serves every state and unit in the process
// (SharedResources).
//
// Buffers the stages create on first use have their capacity reserved here, so that first use
// never allocates on the render thread.
class RenderState {
public:
    RenderState();
    RenderState(const RenderState&) = delete;
    RenderState& operator=(const RenderState&) = delete;

    // Channel set-up and fades (render block; only renderState's are used).
    int64_t inputChannelCount = 2;
    int64_t fadeInSamplesRemaining = 4096;
    int64_t lastMode = -1;
    int64_t modeFadeSamplesRemaining = 0;
    const int64_t modeFadeLength = 4096;
    const int64_t modeFadeInLength = 1024;
    // Whether a mode has been seen yet; kept apart from lastMode so that no mode value can be
    // mistaken for "first call".
    bool hasLastMode = false;

    // VINYL compressor.
    float compGainDB = 0;
    float compAutoLevelDB = -120;
    const int64_t lookaheadCapacity = 512;
    std::array<float, 512> lookaheadBuf{};
    int64_t lookaheadWriteIdx = 0;
    float limGainDB = 0;

    // Hiss bed (renderState only).
    ResourceSlot<const AVAudioPCMBuffer> hissBuffer;
    double hissReadHead = 0;

    // Unused low-shelf state.
    float lowShelfZ1 = 0;
    float lowShelfZ2 = 0;

    // LO-FI scratch buffers, sized to the maximum frame count at allocation.
    std::vector<float> namBlockA;
    std::vector<float> namBlockB;

    // VINYL wow and flutter, crackle and models.
    DelayLine delayLine;
    DelayLine sideDelayLine;
    float currentDelay = 512;
    double lfoTime = 0;
    std::array<ResourceSlot<const AVAudioPCMBuffer>, 4> crackleBuffers;
    double crackleReadHead = 0;
    std::array<ResourceSlot<RTNeuralPlayer>, 9> vinylPlayers;
    std::vector<float> vinylBlockBuf;

    // VINYL filters.
    float hpf1_z1 = 0, hpf1_z2 = 0;
    float hpf2_z1 = 0, hpf2_z2 = 0;
    float hpfB0 = 1, hpfB1 = 0, hpfB2 = 0, hpfA1 = 0, hpfA2 = 0;
    float hpfSampleRate = 0;
    float eqZ1 = 0, eqZ2 = 0;
    float eqB0 = 1, eqB1 = 0, eqB2 = 0, eqA1 = 0, eqA2 = 0;

    // LO-FI.
    std::array<ResourceSlot<NAMPlayer>, 7> lofiBitPlayers;
    float lofiPhase = 0;
    float lofiHeldSample = 0;
    float lofiLP1z1 = 0, lofiLP1z2 = 0;
    float lofiLP2z1 = 0, lofiLP2z2 = 0;
    float lofiGateEnv = 0;
    int64_t lofiGateHoldCounter = 0;
    // Bit i: bit player i put out a non-finite number and waits for its reset (PlayerResets.h).
    std::atomic<uint32_t> lofiBitPlayerResets{0};

    // FILLDRIVE.
    float filtLP1z1 = 0, filtLP1z2 = 0;
    float filtLP2z1 = 0, filtLP2z2 = 0;
    float filtLPGentleZ1 = 0;
    float filtLS_z1 = 0, filtLS_z2 = 0;
    float filtPK_z1 = 0, filtPK_z2 = 0;
    float filtHS_z1 = 0, filtHS_z2 = 0;
    float filtResPK_z1 = 0, filtResPK_z2 = 0;
    std::array<ResourceSlot<NAMPlayer>, 9> drivePlayers;
    std::vector<float> driveBlockBuf;
    // Bit i: drive player i put out a non-finite number and waits for its reset (PlayerResets.h).
    std::atomic<uint32_t> drivePlayerResets{0};
    int64_t driveActiveIdx = -1;
    int64_t drivePendingIdx = -1;
    int64_t driveDuckPhase = 0;
    int64_t driveDuckProgress = 0;
    const int64_t driveDuckLength = 2048;

    // ISOLATOR.
    float isoLowCutA_z1 = 0, isoLowCutA_z2 = 0;
    float isoLowCutB_z1 = 0, isoLowCutB_z2 = 0;
    float isoLowBoost_z1 = 0, isoLowBoost_z2 = 0;
    float isoMidCutA_z1 = 0, isoMidCutA_z2 = 0;
    float isoMidCutB_z1 = 0, isoMidCutB_z2 = 0;
    float isoMidBoostA_z1 = 0, isoMidBoostA_z2 = 0;
    float isoMidBoostB_z1 = 0, isoMidBoostB_z2 = 0;
    float isoHighCutA_z1 = 0, isoHighCutA_z2 = 0;
    float isoHighCutB_z1 = 0, isoHighCutB_z2 = 0;
    float isoHighBoost_z1 = 0, isoHighBoost_z2 = 0;

    // PITCH (allocation sizes the rings: 4096 and 32768 samples).
    std::vector<float> pitchBuf;
    int64_t pitchWritePos = 0;
    double pitchReadPos = 0;
    std::vector<float> pitchDelayBuf;
    int64_t pitchDelayWritePos = 0;
    float pitchLPF_z1 = 0, pitchLPF_z2 = 0;

    // RADIO (FM and AM paths).
    std::array<ResourceSlot<const AVAudioPCMBuffer>, 22> radioBuffers;
    int64_t radioPhase = 0;
    int64_t radioPrevIdx = 0;
    float radioCrossfade = 1;
    float radioHPF_z1 = 0, radioHPF_z2 = 0;
    float radioFMFilter_z1 = 0, radioFMFilter_z2 = 0;
    float radioFMLowLP1_z1 = 0, radioFMLowLP1_z2 = 0;
    float radioFMLowLP2_z1 = 0, radioFMLowLP2_z2 = 0;
    float radioFMSplitHP1_z1 = 0, radioFMSplitHP1_z2 = 0;
    float radioFMSplitHP2_z1 = 0, radioFMSplitHP2_z2 = 0;
    float radioFMMidLP1_z1 = 0, radioFMMidLP1_z2 = 0;
    float radioFMMidLP2_z1 = 0, radioFMMidLP2_z2 = 0;
    float radioFMHighHP1_z1 = 0, radioFMHighHP1_z2 = 0;
    float radioFMHighHP2_z1 = 0, radioFMHighHP2_z2 = 0;
    float radioFMSideHP_z1 = 0, radioFMSideHP_z2 = 0;
    float radioFMSideLP_z1 = 0, radioFMSideLP_z2 = 0;
    float radioFMAGCGain = 1;
    float radioFMAGCRMSSum = 0;
    int64_t radioFMAGCRMSCount = 0;
    float radioFMLowEnv = 0;
    float radioFMMidEnv = 0;
    float radioFMHighEnv = 0;
    float radioStaticDuckerEnvelope = 0;
    float radioStaticEQ_z1 = 0, radioStaticEQ_z2 = 0;
    float radioAMLPF_z1 = 0, radioAMLPF_z2 = 0;
    double radioAMRingPhase = 0;
    float radioAMSignalEnvelope = 0;
    float radioAMSRPhase = 0;
    float radioAMHeldSample = 0;
    // An empty slot is an empty response.
    std::array<ResourceSlot<const std::vector<float>>, 9> radioAMIRs;
    // Written by the render thread; an empty slot is an empty history.
    ResourceSlot<std::vector<float>> radioAMIRHistory;
    int64_t radioAMIRHistoryIndex = 0;
    float radioAMBPFHP_z1 = 0, radioAMBPFHP_z2 = 0;
    float radioAMBPFHP2_z1 = 0, radioAMBPFHP2_z2 = 0;
    float radioAMBPFLP_z1 = 0, radioAMBPFLP_z2 = 0;
    std::array<ResourceSlot<const AVAudioPCMBuffer>, 9> staticBuffers;
    int64_t staticPhase = 0;

    // CHORUS (both channels in renderState; the stage makes the lines 2048 samples on first use).
    std::vector<float> chorusIIILBuf;
    std::vector<float> chorusIIIRBuf;
    int64_t chorusIIIWritePos = 0;
    double chorusIIILFOPhase = 0;
    double chorusIIILFOPhaseR = 0.5;
    double chorusIIIReadPosUpL = 0;
    double chorusIIIReadPosDownL = 0;
    double chorusIIIReadPosUpR = 0;
    double chorusIIIReadPosDownR = 0;
    float chorusIIILpfUpL = 0;
    float chorusIIILpfDownL = 0;
    float chorusIIILpfUpR = 0;
    float chorusIIILpfDownR = 0;

    // FLANGER (both channels in renderState; 2048-sample lines made on first use).
    std::vector<float> flangerLBuf;
    std::vector<float> flangerRBuf;
    int64_t flangerWritePos = 0;
    double flangerLFOPhase = 0;

    // Output low-pass of both channels (renderState only).
    float hfRolloffL_z1 = 0, hfRolloffL_z2 = 0;
    float hfRolloffR_z1 = 0, hfRolloffR_z2 = 0;

    // Whether a reset of marked players is queued on the model-load queue (renderState only).
    std::atomic<bool> playerResetQueued{false};

    static constexpr std::size_t kPitchBufLength = 4096;
    static constexpr std::size_t kPitchDelayBufLength = 32768;
    static constexpr std::size_t kModulatedLineLength = 2048;
};
