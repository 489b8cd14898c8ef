// The playback half of SimplePlayEngine: wiring the loaded effect into the engine's graph,
// starting and stopping playback, looping the test file, and the reports to the host model.

#include "studio/SimplePlayEngine.h"

#include "platform/audiotoolbox/AUAudioUnit.h"
#include "platform/audiotoolbox/remote/RemoteAudioUnit.h"
#include "studio/Console.h"

#include <cmath>
#include <string>

namespace tolvane::studio {

namespace {

constexpr uint32_t kEffectType = ::fourCharCode("aufx");
constexpr uint32_t kMusicEffectType = ::fourCharCode("aumf");

}  // namespace

bool SimplePlayEngine::unitIsEffect() const {
    if (!avAudioUnit_ || !avAudioUnit_->auAudioUnit()) return false;
    const uint32_t type = avAudioUnit_->auAudioUnit()->componentDescription().componentType;
    return type == kEffectType || type == kMusicEffectType;
}

std::string SimplePlayEngine::formatSummary(const std::optional<AVAudioFormat>& format) {
    return format ? formatSummary(format->sampleRate(), format->channelCount()) : "Unavailable";
}

// A rate that is not a positive number has no honest summary (and would not convert to an
// integer): it reads as no format.
std::string SimplePlayEngine::formatSummary(double sampleRate, uint32_t channelCount) {
    if (!std::isfinite(sampleRate) || sampleRate <= 0 || sampleRate >= 9.2e18) return "Unavailable";
    return std::to_string(static_cast<int64_t>(sampleRate)) + " Hz, " + std::to_string(channelCount) + " ch";
}

// Reports go through the main loop and hold the engine weakly: nothing is sent once it is gone.
void SimplePlayEngine::reportMeterReset(std::function<void(float)> PlayEngine::*handler) {
    main_.post([weak = weak_from_this(), handler] {
        auto self = weak.lock();
        if (self && self.get()->*handler) (self.get()->*handler)(0.0f);
    });
}

void SimplePlayEngine::resetMeters() {
    inputMixer_->removeTapOnBus(0);
    reportMeterReset(&PlayEngine::liveInputMeterLevelHandler);
    engine_->inputNode()->removeTapOnBus(0);
    reportMeterReset(&PlayEngine::hardwareInputMeterLevelHandler);
}

void SimplePlayEngine::updateLiveInputDiagnostics() {
    const std::string input = formatSummary(engine_->inputNode()->outputFormatForBus(0));
    const std::string output = formatSummary(engine_->outputNode()->outputFormatForBus(0));
    main_.post([weak = weak_from_this(), input, output] {
        auto self = weak.lock();
        if (self && self->liveInputDiagnosticsHandler) self->liveInputDiagnosticsHandler(self->engine_->isRunning(), input, output);
    });
}

void SimplePlayEngine::connectPlayerDirect() {
    if (!avAudioUnit_ || !unitIsEffect()) return;
    if (!file_) fatalError("No AVAudioFile defined (processing format unavailable).");
    engine_->connect(player_, engine_->mainMixerNode(), file_->processingFormat());
}

void SimplePlayEngine::connectAudioUnit() {
    if (!avAudioUnit_) return;
    const auto& mixer = engine_->mainMixerNode();
    engine_->disconnectNodeInput(mixer);
    engine_->disconnectNodeInput(inputMixer_);
    engine_->disconnectNodeOutput(inputMixer_);
    resetMeters();
    connectPlayerDirect();
    engine_->detachNode(avAudioUnit_);
    engine_->connect(mixer, engine_->outputNode(), engine_->outputNode()->outputFormatForBus(0));
    if (isPlaying_) player_->pause();
    AUAudioUnit& unit = *avAudioUnit_->auAudioUnit();
    if (!unit.MIDIOutputNames().empty()) {
        unit.setMIDIOutputEventBlock([block = midiOutBlock_](AUEventSampleTime sampleTime, uint8_t cable, NSInteger length,
                                                             const uint8_t* bytes) {
            return block(sampleTime, cable, static_cast<std::size_t>(length), bytes);
        });
    }
    engine_->attachNode(avAudioUnit_);
    if (unitIsEffect()) {
        engine_->disconnectNodeInput(mixer);
        resetMeters();
        if (file_) {
            engine_->connect(player_, avAudioUnit_, file_->processingFormat());
            engine_->connect(avAudioUnit_, mixer, file_->processingFormat());
        }
    }
    updateLiveInputDiagnostics();
    storeMIDIEventListBlock();
}

void SimplePlayEngine::storeMIDIEventListBlock() {
    scheduleMIDIEventListBlock_ = avAudioUnit_->auAudioUnit()->scheduleMIDIEventListBlock();
    if (isPlaying_) player_->play();
}

void SimplePlayEngine::startPlaying() {
    if (!avAudioUnit_) return;
    connectAudioUnit();
    // A new chain of loop passes; a pass of an earlier chain that completes later ends there.
    ++loopGeneration_;
    if (unitIsEffect()) scheduleEffectLoop();
    engine_->connect(engine_->mainMixerNode(), engine_->outputNode(), engine_->outputNode()->outputFormatForBus(0));
    engine_->prepare();
    Error error;
    if (!engine_->startAndReturnError(&error)) {
        isPlaying_ = false;
        if (error.code == kAudioComponentErr_InstanceTimedOut) {
            awaitAllocation();
            return;
        }
        printLine("Tolvane: Could not start engine. error: " + error.description() + ".");
        return;
    }
    if (unitIsEffect()) player_->play();
    isPlaying_ = true;
}

void SimplePlayEngine::stopPlaying() {
    if (!avAudioUnit_) return;
    ++loopGeneration_;
    if (unitIsEffect()) player_->stop();
    engine_->stop();
    engine_->inputNode()->removeTapOnBus(0);
    reportMeterReset(&PlayEngine::hardwareInputMeterLevelHandler);
    isPlaying_ = false;
    updateLiveInputDiagnostics();
}

// The window stays responsive while an out-of-process effect allocates: its allocation does not
// wait, and its answer comes back through the main loop.
void SimplePlayEngine::listenForAllocations() {
    const auto remoteUnit = std::dynamic_pointer_cast<remote::RemoteAudioUnit>(avAudioUnit_->auAudioUnit());
    if (!remoteUnit) return;
    remoteUnit->setAllocationAnsweredHandler(
        [weak = weak_from_this(), &main = main_, unit = std::weak_ptr<AUAudioUnit>(remoteUnit)] {
            main.post([weak, unit] {
                auto self = weak.lock();
                auto answered = unit.lock();
                if (self && answered) self->allocationAnswered(answered);
            });
        });
}

void SimplePlayEngine::awaitAllocation() {
    if (unitIsEffect()) player_->stop();  // the pass scheduled for this start
    startAwaitingAllocation_ = loopGeneration_;
}

void SimplePlayEngine::allocationAnswered(const std::shared_ptr<AUAudioUnit>& unit) {
    if (!avAudioUnit_ || avAudioUnit_->auAudioUnit() != unit || unit->renderResourcesAllocated()) return;
    const bool startWaits = startAwaitingAllocation_ == loopGeneration_ && !isPlaying_;
    startAwaitingAllocation_.reset();
    if (startWaits) {
        startPlaying();  // takes the answer, or reports why there is none
        return;
    }
    // The start that asked for it is over (Stop came first): nothing renders through what the
    // extension allocated, so it lets go of it too.
    unit->deallocateRenderResources();
}

// One pass of the file at a time; the next is queued when the player has consumed this one (or
// dropped it on stop), back on the main loop, while the same chain is still playing.
void SimplePlayEngine::scheduleEffectLoop() {
    if (!file_) fatalError("`file` must not be nil in scheduleEffectLoop().");
    const uint64_t generation = loopGeneration_;
    Error error;
    const bool scheduled = player_->scheduleFile(*file_, [weak = weak_from_this(), &main = main_, generation] {
        main.post([weak, generation] {
            auto self = weak.lock();
            if (self && self->isPlaying_ && self->loopGeneration_ == generation) self->scheduleEffectLoop();
        });
    }, &error);
    if (!scheduled) printLine("Tolvane: Could not schedule the test file: " + error.description());
}

// The looped file is the only input source: there is no live input to switch to.
void SimplePlayEngine::setUseLiveInput(bool use) {
    if (use == useLiveInput_) return;
}

}  // namespace tolvane::studio
