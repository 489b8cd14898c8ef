#pragma once

#include "effect/Latency.h"
#include "effect/ModelLoadState.h"
#include "effect/ParameterStore.h"
#include "effect/RenderState.h"
#include "effect/ResourceSlot.h"
#include "platform/audiotoolbox/AUAudioUnit.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/os/UnfairLock.h"

#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <string>

// The effect as a host sees it: identity, buses, parameters, render resources and the render
// block. Create it with makeAudioUnit().
class Kessrin_VinylExtensionAudioUnit : public AUAudioUnit {
public:
    Kessrin_VinylExtensionAudioUnit();
    ~Kessrin_VinylExtensionAudioUnit() override;

    bool initWithComponentDescription(const AudioComponentDescription& description,
                                      AudioComponentInstantiationOptions options, Error* error) override;

    std::string audioUnitName() const override { return "Tolvane"; }
    std::string audioUnitShortName() const override { return "Tolvane"; }
    std::string manufacturerName() const override { return "MrLw"; }
    AUAudioUnitBusArray* inputBusses() override;
    AUAudioUnitBusArray* outputBusses() override;
    std::vector<int> channelCapabilities() const override { return {1, 1, 2, 2}; }
    // The delay every mode shares (effectLatencyFrames) at the output bus's rate.
    double latency() const override;
    // One or two channels, at any positive finite rate, on either bus.
    bool shouldChangeToFormat(const AVAudioFormat& format, AUAudioUnitBus& bus) override;

    // Refuses rates outside kLowestSampleRate..kHighestSampleRate. Loads every mode's resources,
    // so that a mode chosen later plays from its first block however fast the host renders.
    bool allocateRenderResources(Error* error) override;
    void deallocateRenderResources() override;
    // A new render block per read (buildRenderBlock); it keeps the sample rate of the moment it
    // was read.
    AUInternalRenderBlock internalRenderBlock() override;

    void setupParameterTree(std::shared_ptr<AUParameterTree> tree);
    // Applies the parameter and ramp events of one render call (real-time safe).
    void handleRenderEvents(const AURenderEvent* head) noexcept;

    void requestViewControllerWithCompletionHandler(std::function<void(std::shared_ptr<AUViewController>)> completion) override;

    // Resource loading.
    bool isModelReady(int64_t id) noexcept;  // any thread; never takes the lock
    void loadModelsIfNeeded(int64_t id);
    void loadModels(int64_t id);
    void loadHissBed();

    // The bundle the resources are read from: the one holding this code unless set otherwise
    // (tests and hosts with their own layout). Set it before allocating render resources.
    void setResourceBundle(Bundle bundle) { resourceBundle_ = std::move(bundle); }
    const Bundle& resourceBundle() const { return resourceBundle_; }

    // Parameters, bound by address in setupParameterTree (absent when the tree lacks one).
    std::shared_ptr<AUParameter> compressorParam;
    std::shared_ptr<AUParameter> wowFlutterParam;
    std::shared_ptr<AUParameter> crackleParam;
    std::shared_ptr<AUParameter> effectModeParam;
    std::shared_ptr<AUParameter> hissOnParam;
    std::shared_ptr<AUParameter> outputLevelParam;
    std::shared_ptr<AUParameter> amFmModeParam;
    std::shared_ptr<AUParameter> monoSumOnParam;
    std::shared_ptr<AUParameter> hissLevelParam;

    // Shared with the parameter callbacks, which must not keep the unit alive.
    const std::shared_ptr<ParameterStore> paramValues = std::make_shared<ParameterStore>();
    // The callbacks installed on the parameter tree: writes and reads go to paramValues.
    AUImplementorValueObserver parameterValueObserver;
    AUImplementorValueProvider parameterValueProvider;
    AUImplementorStringFromValueCallback parameterStringFromValue;

    const std::shared_ptr<RenderState> renderState = std::make_shared<RenderState>();
    const std::shared_ptr<RenderState> vinylRightState = std::make_shared<RenderState>();
    const std::shared_ptr<RenderState> loFiRightState = std::make_shared<RenderState>();
    const std::shared_ptr<RenderState> filterRightState = std::make_shared<RenderState>();
    const std::shared_ptr<RenderState> isolatorRightState = std::make_shared<RenderState>();
    const std::shared_ptr<RenderState> pitchRightState = std::make_shared<RenderState>();
    const std::shared_ptr<RenderState> radioRightState = std::make_shared<RenderState>();

    const float nominalDelay = 512;
    float renderSampleRate = 44100;

    OSUnfairLock modelLoadLock;
    ModelLoadState modelLoadState;  // guarded by modelLoadLock, but for its lock-free readiness
    DispatchQueue modelLoadQueue{"com.marlowen.tolvane.modelload", DispatchQoS::userInitiated};
    ResourcePublisher resourcePublisher;

    // Delays the modes other than VINYL to VINYL's latency (render thread; cleared on allocation).
    LatencyAlignment latencyAlignment;

    std::atomic<bool> crackleLoadDispatched{false};
    std::atomic<int64_t> currentEffectMode{0};

    const std::array<std::string, 9> vinylProfileNames{"tv-vinyl-0",  "tv-vinyl-12", "tv-vinyl-25",
                                                        "tv-vinyl-37", "tv-vinyl-50", "tv-vinyl-62",
                                                        "tv-vinyl-75", "tv-vinyl-87", "tv-vinyl-100"};
    const std::array<float, 9> vinylProfileKnobValues{0, 12, 25, 37, 50, 62, 75, 87, 100};
    const std::array<std::string, 7> bitProfileNames{"bit0", "bit12", "bit25", "bit37", "bit50", "bit67", "bit75"};
    const std::array<float, 7> bitProfileKnobValues{0, 12, 25, 37, 50, 67, 75};
    const std::array<std::string, 9> driveProfileNames{"tv-drive-0",  "tv-drive-12", "tv-drive-25",
                                                        "tv-drive-37", "tv-drive-50", "tv-drive-62",
                                                        "tv-drive-75", "tv-drive-87", "tv-drive-100"};
    const std::array<float, 9> driveProfileKnobValues{0, 12, 25, 37, 50, 62, 75, 87, 100};

    std::shared_ptr<AUAudioUnitBus> inputBus;
    std::shared_ptr<AUAudioUnitBus> outputBus;
    uint32_t maxFrames = 0;

private:
    void installParameterCallbacks();
    AUInternalRenderBlock buildRenderBlock();
    // The resource steps of allocation and deallocation; they run on the model-load queue so
    // that they never overlap a queued load.
    void takeRenderSettingsAndResetBuffers();
    void loadResourcesForAllocation();
    void releaseResourcesForDeallocation();
    void resetPitchBuffers(RenderState& state);
    // The scratch buffers sized to the host's largest block.
    std::array<std::vector<float>*, 8> blockBuffers();

    // The resource loaders, one per kind of file.
    void loadVinylModels(RenderState& state);
    void loadBitModels(RenderState& state, double sampleRate);
    void loadDriveModels(RenderState& state, double sampleRate);
    void loadCrackleBeds();
    void loadRadioBeds();
    void loadStaticBeds();
    void loadRadioImpulseResponses();

    Bundle resourceBundle_;
    std::optional<AUAudioUnitBusArray> inputBusArray_;
    std::optional<AUAudioUnitBusArray> outputBusArray_;
};

// Creates and initialises a unit; null with the initialiser's error on failure.
std::shared_ptr<Kessrin_VinylExtensionAudioUnit> makeAudioUnit(const AudioComponentDescription& description,
                                                               AudioComponentInstantiationOptions options,
                                                               Error* error);
