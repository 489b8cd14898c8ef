#pragma once

#include "effect/ParameterSpecs.h"
#include "platform/audiotoolbox/AUParameters.h"
#include "platform/coreaudiokit/AUViewController.h"
#include "platform/dispatch/MainExecutor.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "studio/PlayEngine.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tolvane::studio {

// What the window shows of the hosted unit.
struct AudioUnitViewModel {
    bool showAudioControls = false;
    bool showMIDIContols = false;
    std::string title = "-";
    std::string message = "No Audio Unit loaded..";
    std::shared_ptr<AUViewController> viewController;
};

// The standalone application's model of the effect it hosts: loads it through the playback
// engine with up to four attempts a second apart, publishes what the window shows, mirrors the
// effect's mono summing, device hiss and hiss level (writes go straight to the effect; changes
// made in the effect's own panel come back), keeps the engine's reports, and marks the effect as
// crashed when any audio-unit instance is invalidated. Lives on the main loop; only the
// invalidation handler runs elsewhere, and it hands its work to the main loop.
class AudioUnitHostModel : public std::enable_shared_from_this<AudioUnitHostModel> {
public:
    // The observed properties. Writing one with an equal value notifies nobody, except
    // viewModel, which notifies on every write.
    enum class Property {
        viewModel,
        monoSumOn,
        hissOn,
        hissLevel,
        liveInputMeterLevel,
        hardwareInputMeterLevel,
        liveInputEngineRunning,
        liveInputInputFormatSummary,
        liveInputOutputFormatSummary,
        audioUnitCrashed,
        hasLoadedAudioUnit,
        loadAttempt,
    };
    using ObserverToken = uint64_t;
    using EngineFactory = std::function<std::shared_ptr<PlayEngine>()>;

    static constexpr int64_t maxLoadAttempts = 4;
    static constexpr AUParameterAddress kHissOnAddress = ParameterAddress::hissOn;
    static constexpr AUParameterAddress kMonoSumOnAddress = ParameterAddress::monoSumOn;
    static constexpr AUParameterAddress kHissLevelAddress = ParameterAddress::hissLevel;

    // Registers the invalidation observer on `center`; creates no engine and loads nothing.
    static std::shared_ptr<AudioUnitHostModel> create(MainExecutor& main, EngineFactory makeEngine, std::string type,
                                                      std::string subType, std::string manufacturer,
                                                      NSNotificationCenter& center = NSNotificationCenter::defaultCenter());
    ~AudioUnitHostModel();
    AudioUnitHostModel(const AudioUnitHostModel&) = delete;
    AudioUnitHostModel& operator=(const AudioUnitHostModel&) = delete;

    // Observers are called on the main loop after each notifying write, with the property written.
    ObserverToken addObserver(std::function<void(Property)> observer);
    void removeObserver(ObserverToken token);

    // The engine, created (with the three report handlers installed) on first use.
    PlayEngine& playEngine();
    const std::shared_ptr<PlayEngine>& playEngineStorage() const { return playEngineStorage_; }

    // One load attempt now, and the retries after it. While attempts are under way (including
    // the pause before a retry) a further call does nothing.
    void loadAudioUnit();
    // Copies parameters 8, 4 and 9 of the loaded unit into the three mirrors, through their setters.
    void syncFromAudioUnit();

    const AudioUnitViewModel& viewModel() const { return viewModel_; }
    bool monoSumOn() const { return monoSumOn_; }
    bool hissOn() const { return hissOn_; }
    float hissLevel() const { return hissLevel_; }
    // Each stores the value and then, changed or not, writes it to the effect's parameter.
    void setMonoSumOn(bool on);
    void setHissOn(bool on);
    void setHissLevel(float level);

    float liveInputMeterLevel() const { return liveInputMeterLevel_; }
    float hardwareInputMeterLevel() const { return hardwareInputMeterLevel_; }
    bool liveInputEngineRunning() const { return liveInputEngineRunning_; }
    const std::string& liveInputInputFormatSummary() const { return liveInputInputFormatSummary_; }
    const std::string& liveInputOutputFormatSummary() const { return liveInputOutputFormatSummary_; }
    bool audioUnitCrashed() const { return audioUnitCrashed_; }

    const std::string& type() const { return type_; }
    const std::string& subType() const { return subType_; }
    const std::string& manufacturer() const { return manufacturer_; }
    bool wantsAudio() const { return wantsAudio_; }
    bool wantsMIDI() const { return wantsMIDI_; }
    bool isFreeRunning() const { return isFreeRunning_; }
    const std::string& auValString() const { return auValString_; }
    const std::string& instanceInvalidationNotifcation() const { return instanceInvalidationNotifcation_; }

    // Set by the content view just before its first load; the model never reads it.
    bool hasLoadedAudioUnit() const { return hasLoadedAudioUnit_; }
    void setHasLoadedAudioUnit(bool loaded);
    int64_t loadAttempt() const { return loadAttempt_; }

private:
    AudioUnitHostModel(MainExecutor& main, EngineFactory makeEngine, std::string type, std::string subType,
                       std::string manufacturer, NSNotificationCenter& center);

    void startAttempt();
    void finishAttempt(int64_t attempt, std::shared_ptr<AUViewController> controller);
    void retryAfterPause();
    void setViewModel(AudioUnitViewModel model);
    void notify(Property property);
    template <class T>
    void store(T& field, T value, Property property);

    std::shared_ptr<AUParameterTree> loadedParameterTree();
    void writeThrough(AUParameterAddress address, AUValue value);
    void observeMirroredParameters();
    void stopObservingParameters();
    void mirrorFromUnit(AUParameterAddress address, AUValue value);
    void observeInvalidation();
    void markCrashed();

    MainExecutor& main_;
    EngineFactory makeEngine_;
    NSNotificationCenter& center_;

    std::shared_ptr<PlayEngine> playEngineStorage_;
    AudioUnitViewModel viewModel_;
    bool monoSumOn_ = false;
    bool hissOn_ = false;
    float hissLevel_ = 40.0f;
    float liveInputMeterLevel_ = 0.0f;
    float hardwareInputMeterLevel_ = 0.0f;
    bool liveInputEngineRunning_ = false;
    std::string liveInputInputFormatSummary_ = "Unavailable";
    std::string liveInputOutputFormatSummary_ = "Unavailable";
    bool audioUnitCrashed_ = false;
    const std::string type_;
    const std::string subType_;
    const std::string manufacturer_;
    bool wantsAudio_ = false;
    bool wantsMIDI_ = false;
    bool isFreeRunning_ = false;
    const std::string auValString_;
    const std::string instanceInvalidationNotifcation_;
    bool hasLoadedAudioUnit_ = false;
    int64_t loadAttempt_ = 0;

    bool loading_ = false;
    NSNotificationCenter::ObserverToken invalidationToken_ = 0;
    std::shared_ptr<AUParameterTree> observedTree_;
    AUParameterObserverToken parameterToken_ = 0;
    ObserverToken nextObserver_ = 1;
    std::vector<std::pair<ObserverToken, std::function<void(Property)>>> observers_;
};

// Puts the effect's view controller into the window: make gives the controller, update does nothing.
struct AUViewControllerUI {
    std::shared_ptr<AUViewController> auViewController;

    std::shared_ptr<AUViewController> makeNSViewController() const { return auViewController; }
    void updateNSViewController(const std::shared_ptr<AUViewController>&) const {}
};

}  // namespace tolvane::studio
