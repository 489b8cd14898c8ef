#include "studio/AudioUnitHostModel.h"

#include "platform/audiotoolbox/AUAudioUnit.h"
#include "studio/SimplePlayEngine.h"

#include <algorithm>
#include <any>
#include <chrono>

namespace tolvane::studio {

namespace {

constexpr uint32_t kMusicEffect = ::fourCharCode("aumf");
constexpr uint32_t kEffect = ::fourCharCode("aufx");
constexpr uint32_t kMIDIProcessor = ::fourCharCode("aumi");
constexpr uint32_t kMusicDevice = ::fourCharCode("aumu");
constexpr uint32_t kGenerator = ::fourCharCode("augn");

constexpr std::chrono::nanoseconds kRetryPause{1'000'000'000};
constexpr int64_t kLastRetryingAttempt = 3;

bool isOneOf(std::optional<uint32_t> code, std::initializer_list<uint32_t> codes) {
    return code && std::ranges::find(codes, *code) != codes.end();
}

}  // namespace

std::shared_ptr<AudioUnitHostModel> AudioUnitHostModel::create(MainExecutor& main, EngineFactory makeEngine, std::string type,
                                                               std::string subType, std::string manufacturer,
                                                               NSNotificationCenter& center) {
    std::shared_ptr<AudioUnitHostModel> model(
        new AudioUnitHostModel(main, std::move(makeEngine), std::move(type), std::move(subType), std::move(manufacturer), center));
    model->observeInvalidation();
    return model;
}

AudioUnitHostModel::AudioUnitHostModel(MainExecutor& main, EngineFactory makeEngine, std::string type, std::string subType,
                                       std::string manufacturer, NSNotificationCenter& center)
    : main_(main),
      makeEngine_(std::move(makeEngine)),
      center_(center),
      type_(std::move(type)),
      subType_(std::move(subType)),
      manufacturer_(std::move(manufacturer)),
      auValString_(type_ + " " + subType_ + " " + manufacturer_),
      instanceInvalidationNotifcation_(kAudioComponentInstanceInvalidationNotification) {
    const auto code = fourCharCode(type_);
    wantsAudio_ = isOneOf(code, {kMusicEffect, kEffect});
    wantsMIDI_ = isOneOf(code, {kMIDIProcessor, kMusicDevice, kMusicEffect});
    isFreeRunning_ = isOneOf(code, {kMIDIProcessor, kMusicDevice, kGenerator});
}

AudioUnitHostModel::~AudioUnitHostModel() {
    center_.removeObserver(invalidationToken_);
    stopObservingParameters();
}

AudioUnitHostModel::ObserverToken AudioUnitHostModel::addObserver(std::function<void(Property)> observer) {
    observers_.emplace_back(nextObserver_, std::move(observer));
    return nextObserver_++;
}

void AudioUnitHostModel::removeObserver(ObserverToken token) {
    std::erase_if(observers_, [token](const auto& entry) { return entry.first == token; });
}

void AudioUnitHostModel::notify(Property property) {
    const auto observers = observers_;  // an observer may add or remove observers
    for (const auto& [token, observer] : observers) observer(property);
}

template <class T>
void AudioUnitHostModel::store(T& field, T value, Property property) {
    if (field == value) return;
    field = std::move(value);
    notify(property);
}

void AudioUnitHostModel::setViewModel(AudioUnitViewModel model) {
    viewModel_ = std::move(model);
    notify(Property::viewModel);
}

// The handlers hold the model weakly: the engine may report after the model is gone.
PlayEngine& AudioUnitHostModel::playEngine() {
    if (!playEngineStorage_) {
        auto engine = makeEngine_();
        const std::weak_ptr<AudioUnitHostModel> weak = weak_from_this();
        engine->liveInputMeterLevelHandler = [weak](float level) {
            if (auto self = weak.lock()) self->store(self->liveInputMeterLevel_, level, Property::liveInputMeterLevel);
        };
        engine->hardwareInputMeterLevelHandler = [weak](float level) {
            if (auto self = weak.lock()) self->store(self->hardwareInputMeterLevel_, level, Property::hardwareInputMeterLevel);
        };
        engine->liveInputDiagnosticsHandler = [weak](bool running, const std::string& input, const std::string& output) {
            auto self = weak.lock();
            if (!self) return;
            self->store(self->liveInputEngineRunning_, running, Property::liveInputEngineRunning);
            self->store(self->liveInputInputFormatSummary_, input, Property::liveInputInputFormatSummary);
            self->store(self->liveInputOutputFormatSummary_, output, Property::liveInputOutputFormatSummary);
        };
        playEngineStorage_ = std::move(engine);
    }
    return *playEngineStorage_;
}

void AudioUnitHostModel::setHasLoadedAudioUnit(bool loaded) { store(hasLoadedAudioUnit_, loaded, Property::hasLoadedAudioUnit); }

// Load with retry. One chain of attempts at a time: an outcome is judged by whether the engine
// holds a unit, so two overlapping chains could report each other's results.
void AudioUnitHostModel::loadAudioUnit() {
    if (loading_) return;
    loading_ = true;
    startAttempt();
}

void AudioUnitHostModel::startAttempt() {
    store(loadAttempt_, loadAttempt_ + 1, Property::loadAttempt);
    const int64_t attempt = loadAttempt_;
    main_.post([weak = weak_from_this(), attempt] {
        auto self = weak.lock();
        if (!self) return;
        self->playEngine().loadAudioUnit(self->type_, self->subType_, self->manufacturer_,
                                         [weak, attempt](std::shared_ptr<AUViewController> controller) {
                                             if (auto model = weak.lock()) model->finishAttempt(attempt, std::move(controller));
                                         });
    });
}

void AudioUnitHostModel::finishAttempt(int64_t attempt, std::shared_ptr<AUViewController> controller) {
    PlayEngine& engine = playEngine();
    if (engine.avAudioUnit()) {
        loading_ = false;
        setViewModel({wantsAudio_, wantsMIDI_, auValString_, "Successfully loaded (" + auValString_ + ")", std::move(controller)});
        syncFromAudioUnit();
        observeMirroredParameters();
        if (isFreeRunning_ && !engine.isPlaying()) engine.startPlaying();
        return;
    }
    std::string message = engine.lastLoadErrorMessage().value_or("Failed to load (" + auValString_ + ")");
    const bool retry = attempt <= kLastRetryingAttempt;
    if (retry) message += "\nRetrying...";
    setViewModel({wantsAudio_, wantsMIDI_, auValString_, std::move(message), nullptr});
    if (retry) {
        retryAfterPause();
    } else {
        loading_ = false;
    }
}

void AudioUnitHostModel::retryAfterPause() {
    main_.postAfter(kRetryPause, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        if (self->playEngine().avAudioUnit()) {
            self->loading_ = false;
            return;
        }
        self->startAttempt();
    });
}

std::shared_ptr<AUParameterTree> AudioUnitHostModel::loadedParameterTree() {
    const auto& unit = playEngine().avAudioUnit();
    if (!unit || !unit->auAudioUnit()) return nullptr;
    return unit->auAudioUnit()->parameterTree();
}

void AudioUnitHostModel::writeThrough(AUParameterAddress address, AUValue value) {
    const auto tree = loadedParameterTree();
    if (!tree) return;
    if (const auto parameter = tree->parameterWithAddress(address)) parameter->setValue(value);
}

void AudioUnitHostModel::setMonoSumOn(bool on) {
    store(monoSumOn_, on, Property::monoSumOn);
    writeThrough(kMonoSumOnAddress, on ? 1.0f : 0.0f);
}

void AudioUnitHostModel::setHissOn(bool on) {
    store(hissOn_, on, Property::hissOn);
    writeThrough(kHissOnAddress, on ? 1.0f : 0.0f);
}

void AudioUnitHostModel::setHissLevel(float level) {
    store(hissLevel_, level, Property::hissLevel);
    writeThrough(kHissLevelAddress, level);
}

void AudioUnitHostModel::syncFromAudioUnit() {
    const auto tree = loadedParameterTree();
    const auto valueAt = [&tree](AUParameterAddress address) -> std::optional<AUValue> {
        const auto parameter = tree ? tree->parameterWithAddress(address) : nullptr;
        return parameter ? std::optional(parameter->value()) : std::nullopt;
    };
    setMonoSumOn(valueAt(kMonoSumOnAddress).value_or(0.0f) >= 0.5f);
    setHissOn(valueAt(kHissOnAddress).value_or(0.0f) >= 0.5f);
    setHissLevel(valueAt(kHissLevelAddress).value_or(40.0f));
}

// Changes made to the three parameters elsewhere (the effect's own panel, a preset) reach the
// mirrors, so the settings sheet shows them. They are stored without writing back: the value
// came from the effect.
void AudioUnitHostModel::observeMirroredParameters() {
    const auto tree = loadedParameterTree();
    if (!tree || tree == observedTree_) return;
    stopObservingParameters();
    observedTree_ = tree;
    parameterToken_ = tree->tokenByAddingParameterObserver([weak = weak_from_this(), &main = main_](AUParameterAddress address, AUValue value) {
        if (address != kMonoSumOnAddress && address != kHissOnAddress && address != kHissLevelAddress) return;
        main.post([weak, address, value] {
            if (auto self = weak.lock()) self->mirrorFromUnit(address, value);
        });
    });
}

void AudioUnitHostModel::stopObservingParameters() {
    if (observedTree_) observedTree_->removeParameterObserver(parameterToken_);
    observedTree_.reset();
    parameterToken_ = 0;
}

void AudioUnitHostModel::mirrorFromUnit(AUParameterAddress address, AUValue value) {
    switch (address) {
        case kMonoSumOnAddress: store(monoSumOn_, value >= 0.5f, Property::monoSumOn); break;
        case kHissOnAddress: store(hissOn_, value >= 0.5f, Property::hissOn); break;
        case kHissLevelAddress: store(hissLevel_, value, Property::hissLevel); break;
        default: break;
    }
}

// The handler runs on the posting thread and only hands the work to the main loop. Any
// audio-unit instance counts: the application hosts one.
void AudioUnitHostModel::observeInvalidation() {
    invalidationToken_ = center_.addObserverForName(instanceInvalidationNotifcation_,
                                                    [weak = weak_from_this(), &main = main_](const NSNotification& notification) {
                                                        if (weak.expired()) return;
                                                        if (!std::any_cast<std::shared_ptr<AUAudioUnit>>(&notification.object)) return;
                                                        main.post([weak] {
                                                            if (auto self = weak.lock()) self->markCrashed();
                                                        });
                                                    });
}

void AudioUnitHostModel::markCrashed() {
    store(audioUnitCrashed_, true, Property::audioUnitCrashed);
    PlayEngine& engine = playEngine();
    if (engine.isPlaying()) engine.stopPlaying();
}

}  // namespace tolvane::studio
