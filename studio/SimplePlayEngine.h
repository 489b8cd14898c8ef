#pragma once

#include "platform/avfaudio/AVAudioEngine.h"
#include "platform/avfaudio/AVAudioFile.h"
#include "platform/avfaudio/AVAudioPlayerNode.h"
#include "platform/avfaudio/AVAudioUnit.h"
#include "platform/avfaudio/devices/AudioOutputDevice.h"
#include "platform/coreaudiokit/AUViewController.h"
#include "platform/dispatch/MainExecutor.h"
#include "platform/foundation/Bundle.h"
#include "studio/ComponentSystem.h"
#include "studio/PlayEngine.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane::studio {

// The 32-bit code of a four-character text, first character in the most significant byte;
// none unless the text is exactly four characters of one UTF-8 byte each.
std::optional<uint32_t> fourCharCode(std::string_view text);

// The standalone application's audio host: the loaded effect, found through the component
// registry and run out of process, and the looping test file played through it into the output.
// It lives on the main thread; its waits are posts to the main executor, so tests run them on
// a virtual clock.
class SimplePlayEngine final : public PlayEngine, public std::enable_shared_from_this<SimplePlayEngine> {
public:
    using MIDIOutputBlock = std::function<int32_t(int64_t sampleTime, uint8_t cable, std::size_t length,
                                                  const uint8_t* bytes)>;
    using ViewControllerCompletion = std::function<void(std::shared_ptr<AUViewController>)>;
    using UnitCompletion = std::function<void(std::shared_ptr<AVAudioUnit>, std::optional<Error>)>;

    static constexpr std::chrono::nanoseconds kPassPause{500'000'000};
    static constexpr int kLastPass = 3;
    static constexpr AudioComponentInstantiationOptions kLoadOutOfProcess = kAudioComponentInstantiation_LoadOutOfProcess;

    // Opens the test file "Synth.aif" from `mainBundle`; stops the program when it cannot. The
    // executor must outlive the engine and the loads it starts (it is the application's loop).
    // The engine plays to `output`; without one, to the output that TOLVANE_AUDIO_OUTPUT names
    // (the desktop's default), or the null output when that does not open.
    SimplePlayEngine(MainExecutor& mainExecutor, std::shared_ptr<ComponentSystem> components, const Bundle& mainBundle,
                     std::shared_ptr<AudioOutputDevice> output = nullptr);

    // Loads the component named by the three codes (each four one-byte characters; anything else
    // stops the program). Completes on the main executor with the effect's view controller (or a
    // generic one), or with none after a failed load, which leaves lastLoadErrorMessage set.
    void loadAudioUnit(std::string_view componentType, std::string_view componentSubType,
                       std::string_view manufacturer, ViewControllerCompletion completion) override;

    // Up to four passes half a second apart, each an out-of-process attempt on `description` and,
    // when the registry knows a match, one on the registry's description; the last pass ends with
    // an attempt with default options. Completes on the main executor with the unit, or with the
    // last attempt's error.
    void instantiateAudioUnit(const AudioComponentDescription& description, UnitCompletion completion);

    // Completes on the main executor with the unit's own view controller, or with a generic one
    // bound to the unit when it offers none; never with none.
    void loadAudioUnitViewController(const std::shared_ptr<AVAudioUnit>& unit, ViewControllerCompletion completion);

    // Opens the test file; false (and a console line) when it cannot.
    bool loadTestFile(const std::filesystem::path& url);

    // (Re)wires the loaded unit between the player and the main mixer; nothing without a unit.
    void connectAudioUnit();
    // Wires, schedules the first pass of the looped test file and starts the engine; a start
    // that fails prints "Tolvane: Could not start engine. error: <error>." and leaves playback off.
    // An out-of-process effect still allocating does not hold the main loop: the start is made
    // again from the loop once the extension has answered, unless Stop came first.
    void startPlaying() override;
    void stopPlaying() override;
    // The input source. The looped test file is the only one, so this changes nothing.
    void setUseLiveInput(bool use) override;

    // "<rate> Hz, <channels> ch", the rate truncated to whole hertz; "Unavailable" for no format
    // and for a rate that is not a positive number.
    static std::string formatSummary(const std::optional<AVAudioFormat>& format);
    static std::string formatSummary(double sampleRate, uint32_t channelCount);

    const std::shared_ptr<AVAudioUnit>& avAudioUnit() const override { return avAudioUnit_; }
    const std::optional<std::string>& lastLoadErrorMessage() const override { return lastLoadErrorMessage_; }
    AVAudioEngine& engine() { return *engine_; }
    const std::shared_ptr<AVAudioPlayerNode>& player() const { return player_; }
    const std::shared_ptr<AVAudioMixerNode>& inputMixer() const { return inputMixer_; }
    const std::shared_ptr<AVAudioFile>& file() const { return file_; }
    bool isPlaying() const override { return isPlaying_; }
    const MIDIOutputBlock& midiOutBlock() const { return midiOutBlock_; }
    const AUMIDIEventListBlock& scheduleMIDIEventListBlock() const { return scheduleMIDIEventListBlock_; }
    bool useLiveInput() const override { return useLiveInput_; }

private:
    struct Instantiation;
    void runPass(std::shared_ptr<Instantiation> state, int pass);
    void afterRegistryAttempt(std::shared_ptr<Instantiation> state, int pass);
    void attempt(const AudioComponentDescription& description, AudioComponentInstantiationOptions options,
                 UnitCompletion onMain);
    void finishLoad(std::shared_ptr<AVAudioUnit> unit, std::optional<Error> error,
                    ViewControllerCompletion completion);

    bool unitIsEffect() const;
    void connectPlayerDirect();
    void storeMIDIEventListBlock();
    void scheduleEffectLoop();
    void listenForAllocations();
    void awaitAllocation();
    void allocationAnswered(const std::shared_ptr<AUAudioUnit>& unit);
    void updateLiveInputDiagnostics();
    void resetMeters();
    void reportMeterReset(std::function<void(float)> PlayEngine::*handler);

    MainExecutor& main_;
    std::shared_ptr<ComponentSystem> components_;

    std::shared_ptr<AVAudioUnit> avAudioUnit_;
    std::optional<std::string> lastLoadErrorMessage_;
    std::unique_ptr<AVAudioEngine> engine_;
    const std::shared_ptr<AVAudioPlayerNode> player_ = std::make_shared<AVAudioPlayerNode>();
    std::shared_ptr<AVAudioFile> file_;
    bool isPlaying_ = false;
    const MIDIOutputBlock midiOutBlock_ = [](int64_t, uint8_t, std::size_t, const uint8_t*) { return int32_t{0}; };
    AUMIDIEventListBlock scheduleMIDIEventListBlock_;
    bool useLiveInput_ = false;
    const std::shared_ptr<AVAudioMixerNode> inputMixer_ = std::make_shared<AVAudioMixerNode>();
    // Each start begins a new chain of loop passes; a pass of an older chain ends its chain when
    // it completes, so a chain that outlives a stop or a failed start never schedules again.
    uint64_t loopGeneration_ = 0;
    // The chain of the start waiting for the effect's allocation, if one is.
    std::optional<uint64_t> startAwaitingAllocation_;
};

}  // namespace tolvane::studio
