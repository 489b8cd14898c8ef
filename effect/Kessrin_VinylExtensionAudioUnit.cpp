#include "effect/Kessrin_VinylExtensionAudioUnit.h"

#include "effect/ParameterSpecs.h"
#include "effect/RenderBlock.h"
#include "effect/SampleRateRange.h"
#include "panel/AudioUnitViewController.h"

#include <cmath>
#include <cstdio>
#include <mutex>
#include <sstream>

namespace {

const void* addressInThisLibrary() { return reinterpret_cast<const void*>(&makeAudioUnit); }

// Every resource identifier: the modes with resources and the crackle beds.
constexpr std::array<int64_t, 5> kAllResourceIds{0, 1, 2, 5, kCrackleResourceId};

bool refuseUnsupportedRate(double rate, Error* error) {
    if (isSupportedSampleRate(rate)) return false;
    std::ostringstream message;
    message << "Tolvane runs at " << kLowestSampleRate << " to " << kHighestSampleRate << " Hz, not at " << rate << " Hz";
    setError(error, std::string(kOSStatusErrorDomain), kAudioUnitErr_FormatNotSupported, message.str());
    return true;
}

std::string percentString(const AUValue* value) {
    if (value == nullptr) return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%.0f%%", static_cast<double>(*value));
    return text;
}

}  // namespace

Kessrin_VinylExtensionAudioUnit::Kessrin_VinylExtensionAudioUnit()
    : resourceBundle_(Bundle::containingAddress(addressInThisLibrary())) {}

Kessrin_VinylExtensionAudioUnit::~Kessrin_VinylExtensionAudioUnit() { paramValues->markUnitGone(); }

std::shared_ptr<Kessrin_VinylExtensionAudioUnit> makeAudioUnit(const AudioComponentDescription& description,
                                                               AudioComponentInstantiationOptions options,
                                                               Error* error) {
    auto unit = std::make_shared<Kessrin_VinylExtensionAudioUnit>();
    if (!unit->initWithComponentDescription(description, options, error)) return nullptr;
    return unit;
}

bool Kessrin_VinylExtensionAudioUnit::initWithComponentDescription(const AudioComponentDescription& description,
                                                                   AudioComponentInstantiationOptions options,
                                                                   Error* error) {
    if (!AUAudioUnit::initWithComponentDescription(description, options, error)) return false;

    const AVAudioFormat format = AVAudioFormat::standardFormat(44100, 2).value();
    inputBus = AUAudioUnitBus::initWithFormat(format, error);
    if (!inputBus) return false;
    inputBus->setSupportedChannelCounts({1, 2});
    outputBus = AUAudioUnitBus::initWithFormat(format, error);
    if (!outputBus) return false;
    outputBus->setSupportedChannelCounts({1, 2});
    inputBusArray_.emplace(*this, AUAudioUnitBusType::input, std::vector{inputBus});
    outputBusArray_.emplace(*this, AUAudioUnitBusType::output, std::vector{outputBus});

    setupParameterTree(AUParameterTree::createTreeWithChildren(buildParameterTree(makeParameterSpecs().children)));
    return true;
}

AUAudioUnitBusArray* Kessrin_VinylExtensionAudioUnit::inputBusses() {
    return inputBusArray_ ? &*inputBusArray_ : nullptr;
}

AUAudioUnitBusArray* Kessrin_VinylExtensionAudioUnit::outputBusses() {
    return outputBusArray_ ? &*outputBusArray_ : nullptr;
}

double Kessrin_VinylExtensionAudioUnit::latency() const {
    const double rate = outputBus ? outputBus->format().sampleRate() : 44100.0;
    return static_cast<double>(effectLatencyFrames(static_cast<float>(rate))) / rate;
}

bool Kessrin_VinylExtensionAudioUnit::shouldChangeToFormat(const AVAudioFormat& format, AUAudioUnitBus&) {
    const bool usableRate = std::isfinite(format.sampleRate()) && format.sampleRate() > 0;
    return usableRate && (format.channelCount() == 1 || format.channelCount() == 2);
}

void Kessrin_VinylExtensionAudioUnit::setupParameterTree(std::shared_ptr<AUParameterTree> tree) {
    setParameterTree(tree);
    if (tree) {
        compressorParam = tree->parameterWithAddress(ParameterAddress::compressor);
        wowFlutterParam = tree->parameterWithAddress(ParameterAddress::wowFlutter);
        crackleParam = tree->parameterWithAddress(ParameterAddress::crackle);
        effectModeParam = tree->parameterWithAddress(ParameterAddress::effectMode);
        hissOnParam = tree->parameterWithAddress(ParameterAddress::hissOn);
        outputLevelParam = tree->parameterWithAddress(ParameterAddress::outputLevel);
        amFmModeParam = tree->parameterWithAddress(ParameterAddress::amFmMode);
        monoSumOnParam = tree->parameterWithAddress(ParameterAddress::monoSumOn);
        hissLevelParam = tree->parameterWithAddress(ParameterAddress::hissLevel);
        // No provider is installed yet, so these are the parameters' starting values.
        for (const auto& parameter : tree->allParameters()) paramValues->set(parameter->address(), parameter->value());
    }
    installParameterCallbacks();
}

void Kessrin_VinylExtensionAudioUnit::installParameterCallbacks() {
    // The callbacks hold the value store, not the unit: once the unit is gone, reads answer 0 and
    // writes do nothing.
    parameterValueObserver = [store = paramValues](AUParameter& parameter, AUValue value) {
        store->set(parameter.address(), value);
    };
    parameterValueProvider = [store = paramValues](AUParameter& parameter) {
        return store->unitAlive() ? store->get(parameter.address()) : 0.0f;
    };
    parameterStringFromValue = [](AUParameter&, const AUValue* value) { return percentString(value); };
    if (auto tree = parameterTree()) {
        tree->setImplementorValueObserver(parameterValueObserver);
        tree->setImplementorValueProvider(parameterValueProvider);
        tree->setImplementorStringFromValueCallback(parameterStringFromValue);
    }
}

void Kessrin_VinylExtensionAudioUnit::handleRenderEvents(const AURenderEvent* head) noexcept {
    for (const AURenderEvent* event = head; event != nullptr; event = event->head.next) {
        const auto type = event->head.eventType;
        if (type == AURenderEventType::parameter || type == AURenderEventType::parameterRamp)
            paramValues->set(event->parameter.parameterAddress, event->parameter.value);
    }
}

bool Kessrin_VinylExtensionAudioUnit::allocateRenderResources(Error* error) {
    if (refuseUnsupportedRate(outputBus->format().sampleRate(), error)) return false;
    if (!AUAudioUnit::allocateRenderResources(error)) return false;

    // On the model-load queue, so that no queued load runs while the fields it reads change.
    modelLoadQueue.sync([this] {
        takeRenderSettingsAndResetBuffers();
        loadResourcesForAllocation();
    });
    return true;
}

void Kessrin_VinylExtensionAudioUnit::takeRenderSettingsAndResetBuffers() {
    renderSampleRate = static_cast<float>(outputBus->format().sampleRate());
    maxFrames = maximumFramesToRender();

    const auto channels = static_cast<int64_t>(inputBus->format().channelCount());
    for (RenderState* s : {renderState.get(), vinylRightState.get(), loFiRightState.get(), filterRightState.get(),
                           pitchRightState.get(), radioRightState.get()})
        s->inputChannelCount = channels;

    for (RenderState* s : {renderState.get(), vinylRightState.get()}) {
        s->delayLine.clear();
        s->currentDelay = 512;
        s->lfoTime = 0;
    }

    for (std::vector<float>* buffer : blockBuffers()) buffer->assign(maxFrames, 0.0f);

    resetPitchBuffers(*renderState);
    resetPitchBuffers(*pitchRightState);
    latencyAlignment.clear();
}

std::array<std::vector<float>*, 8> Kessrin_VinylExtensionAudioUnit::blockBuffers() {
    return {&renderState->namBlockA,     &renderState->namBlockB,      &renderState->vinylBlockBuf,
            &renderState->driveBlockBuf, &vinylRightState->vinylBlockBuf, &loFiRightState->namBlockA,
            &loFiRightState->namBlockB,  &filterRightState->driveBlockBuf};
}

void Kessrin_VinylExtensionAudioUnit::resetPitchBuffers(RenderState& s) {
    s.pitchBuf.assign(RenderState::kPitchBufLength, 0.0f);
    s.pitchDelayBuf.assign(RenderState::kPitchDelayBufLength, 0.0f);
    s.pitchWritePos = 0;
    s.pitchReadPos = static_cast<double>(RenderState::kPitchBufLength / 2);
    s.pitchDelayWritePos = 0;
    s.pitchLPF_z1 = 0;
    s.pitchLPF_z2 = 0;
}

void Kessrin_VinylExtensionAudioUnit::loadResourcesForAllocation() {
    loadHissBed();
    {
        std::lock_guard lock(modelLoadLock);
        modelLoadState.reset();
    }
    crackleLoadDispatched.store(false);
    const int64_t mode = effectModeParam ? effectModeFromValue(effectModeParam->value()) : 0;
    currentEffectMode.store(mode);
    loadModelsIfNeeded(mode);
    // Every other mode's resources too, kept until deallocation: a host that picks the mode only
    // in its first render call, or automates it while rendering faster than real time, would
    // otherwise get silence for as long as the loads take behind the render.
    for (const int64_t id : kAllResourceIds) loadModelsIfNeeded(id);
    crackleLoadDispatched.store(true);
}

void Kessrin_VinylExtensionAudioUnit::deallocateRenderResources() {
    AUAudioUnit::deallocateRenderResources();
    modelLoadQueue.sync([this] { releaseResourcesForDeallocation(); });
    resourcePublisher.collectAll();
}

void Kessrin_VinylExtensionAudioUnit::releaseResourcesForDeallocation() {
    for (std::vector<float>* buffer : blockBuffers()) std::vector<float>().swap(*buffer);
    {
        std::lock_guard lock(modelLoadLock);
        modelLoadState.reset();
    }
    auto clear = [this](auto& slots) {
        for (auto& slot : slots) resourcePublisher.publish(slot, {});
    };
    clear(renderState->vinylPlayers);
    clear(vinylRightState->vinylPlayers);
    clear(renderState->lofiBitPlayers);
    clear(loFiRightState->lofiBitPlayers);
    clear(renderState->drivePlayers);
    clear(filterRightState->drivePlayers);
    for (RenderState* s : {renderState.get(), radioRightState.get()}) {
        clear(s->radioBuffers);
        clear(s->staticBuffers);
        clear(s->radioAMIRs);
        resourcePublisher.publish(s->radioAMIRHistory, {});
    }
    clear(renderState->crackleBuffers);
    crackleLoadDispatched.store(false);
}

AUInternalRenderBlock Kessrin_VinylExtensionAudioUnit::internalRenderBlock() { return buildRenderBlock(); }

AUInternalRenderBlock Kessrin_VinylExtensionAudioUnit::buildRenderBlock() {
    auto self = std::static_pointer_cast<Kessrin_VinylExtensionAudioUnit>(shared_from_this());
    auto context = std::make_shared<RenderContext>();
    context->unit = self;
    context->weakUnit = self;
    context->renderState = renderState;
    context->vinylRightState = vinylRightState;
    context->loFiRightState = loFiRightState;
    context->filterRightState = filterRightState;
    context->isolatorRightState = isolatorRightState;
    context->pitchRightState = pitchRightState;
    context->radioRightState = radioRightState;
    context->effectModeParam = effectModeParam;
    context->compressorParam = compressorParam;
    context->crackleParam = crackleParam;
    context->wowFlutterParam = wowFlutterParam;
    context->monoSumOnParam = monoSumOnParam;
    context->amFmModeParam = amFmModeParam;
    context->hissOnParam = hissOnParam;
    context->hissLevelParam = hissLevelParam;
    context->outputLevelParam = outputLevelParam;
    context->sampleRate = renderSampleRate;
    context->nominalDelay = nominalDelay;
    context->latencyFrames = effectLatencyFrames(renderSampleRate);
    context->vinylProfileKnobValues = vinylProfileKnobValues;
    context->driveProfileKnobValues = driveProfileKnobValues;
    return [context](AudioUnitRenderActionFlags* flags, const AudioTimeStamp* timestamp, AUAudioFrameCount frames,
                     NSInteger, AudioBufferList* output, const AURenderEvent* events,
                     const AURenderPullInputBlock* pull) {
        return context->render(flags, timestamp, frames, output, events, pull);
    };
}

void Kessrin_VinylExtensionAudioUnit::requestViewControllerWithCompletionHandler(
    std::function<void(std::shared_ptr<AUViewController>)> completion) {
    auto self = std::static_pointer_cast<AUAudioUnit>(shared_from_this());
    MainQueue::async([self, completion = std::move(completion)] {
        auto controller = std::make_shared<AudioUnitViewController>(
            std::nullopt, Bundle::containingAddress(addressInThisLibrary()));
        controller->audioUnit = self;
        if (completion) completion(controller);
    });
}

bool Kessrin_VinylExtensionAudioUnit::isModelReady(int64_t id) noexcept {
    return modelLoadState.isReadyLockFree(id);
}

void Kessrin_VinylExtensionAudioUnit::loadModelsIfNeeded(int64_t id) {
    uint64_t generation = 0;
    {
        std::lock_guard lock(modelLoadLock);
        if (!modelLoadState.beginLoading(id)) return;
        generation = modelLoadState.generation;
    }
    loadModels(id);
    {
        std::lock_guard lock(modelLoadLock);
        modelLoadState.finish(id, generation);
    }
    resourcePublisher.collect();
}

void Kessrin_VinylExtensionAudioUnit::loadModels(int64_t id) {
    const double sampleRate = renderSampleRate;
    switch (id) {
        case 0:
            loadVinylModels(*renderState);
            loadVinylModels(*vinylRightState);
            break;
        case 1:
            loadBitModels(*renderState, sampleRate);
            loadBitModels(*loFiRightState, sampleRate);
            break;
        case 2:
            loadDriveModels(*renderState, sampleRate);
            loadDriveModels(*filterRightState, sampleRate);
            break;
        case 5:
            loadRadioBeds();
            loadStaticBeds();
            loadRadioImpulseResponses();
            break;
        case kCrackleResourceId: loadCrackleBeds(); break;
        default: break;
    }
}
