// The host model over a fake engine on a virtual clock: the load attempts and their messages,
// the mirrored parameters both ways, the type flags and the crash handling.

#include "studio/AudioUnitHostModel.h"

#include "platform/audiotoolbox/AUAudioUnit.h"
#include "tests/platform/remote/GainTestUnit.h"

#include <gtest/gtest.h>

#include <thread>

namespace tolvane::studio {
namespace {

using namespace std::chrono_literals;

// A unit with the three global parameters the model mirrors.
std::shared_ptr<AUAudioUnit> unitWithGlobals() {
    auto unit = test::GainTestUnit::make();
    auto parameter = [](const char* id, AUParameterAddress address, AUValue max, AudioUnitParameterUnit kind) {
        return AUParameterTree::createParameterWithIdentifier(id, id, address, 0, max, kind, std::nullopt,
                                                              kAudioUnitParameterFlag_IsReadable | kAudioUnitParameterFlag_IsWritable,
                                                              std::nullopt, std::nullopt);
    };
    unit->setParameterTree(AUParameterTree::createTreeWithChildren({
        parameter("hissOn", 4, 1, kAudioUnitParameterUnit_Boolean),
        parameter("monoSumOn", 8, 1, kAudioUnitParameterUnit_Boolean),
        parameter("hissLevel", 9, 100, kAudioUnitParameterUnit_Percent),
    }));
    return unit;
}

// Answers each load as scripted (the last outcome repeats), on the main executor.
class FakeEngine final : public PlayEngine {
public:
    struct Outcome {
        bool loads = false;
        std::optional<std::string> error;
    };

    explicit FakeEngine(ManualMainExecutor& main) : main_(main) {}

    void loadAudioUnit(std::string_view type, std::string_view, std::string_view, ViewControllerCompletion completion) override {
        ++loads;
        EXPECT_EQ(type, expectedType);
        const Outcome outcome = outcomes.at(std::min<std::size_t>(loads - 1, outcomes.size() - 1));
        lastLoadErrorMessage_.reset();
        main_.post([this, outcome, completion] {
            if (outcome.loads) {
                avAudioUnit_ = std::make_shared<AVAudioUnit>(unit);
                completion(controller);
            } else {
                lastLoadErrorMessage_ = outcome.error;
                completion(nullptr);
            }
        });
    }
    const std::shared_ptr<AVAudioUnit>& avAudioUnit() const override { return avAudioUnit_; }
    const std::optional<std::string>& lastLoadErrorMessage() const override { return lastLoadErrorMessage_; }
    bool isPlaying() const override { return playing; }
    void startPlaying() override {
        ++starts;
        playing = true;
    }
    void stopPlaying() override {
        ++stops;
        playing = false;
    }
    bool useLiveInput() const override { return liveInput; }
    void setUseLiveInput(bool use) override { liveInput = use; }
    void appear() { avAudioUnit_ = std::make_shared<AVAudioUnit>(unit); }

    std::vector<Outcome> outcomes{{true, std::nullopt}};
    bool liveInput = false;
    std::string expectedType = "aufx";
    std::shared_ptr<AUAudioUnit> unit = unitWithGlobals();
    std::shared_ptr<AUViewController> controller = std::make_shared<AUViewController>();
    int loads = 0, starts = 0, stops = 0;
    bool playing = false;

private:
    ManualMainExecutor& main_;
    std::shared_ptr<AVAudioUnit> avAudioUnit_;
    std::optional<std::string> lastLoadErrorMessage_;
};

class AudioUnitHostModelTest : public testing::Test {
protected:
    std::shared_ptr<AudioUnitHostModel> makeModel(std::string type = "aufx") {
        engine = std::make_shared<FakeEngine>(main);
        engine->expectedType = type;
        auto made = AudioUnitHostModel::create(main, [this] { return engine; }, type, "vnyl", "MrLw", center);
        made->addObserver([this](AudioUnitHostModel::Property p) { notified.push_back(p); });
        return made;
    }
    int count(AudioUnitHostModel::Property property) const { return static_cast<int>(std::ranges::count(notified, property)); }
    AUValue parameter(AUParameterAddress address) const { return engine->unit->parameterTree()->parameterWithAddress(address)->value(); }
    void setParameter(AUParameterAddress address, AUValue value) const {
        engine->unit->parameterTree()->parameterWithAddress(address)->setValue(value);
    }

    ManualMainExecutor main;
    NSNotificationCenter center;
    std::shared_ptr<FakeEngine> engine;
    std::shared_ptr<AudioUnitHostModel> model = makeModel();
    std::vector<AudioUnitHostModel::Property> notified;
    std::vector<std::string> messages;
};

TEST_F(AudioUnitHostModelTest, StartsUnloadedWithTheInitialValuesAndNoEngine) {
    EXPECT_EQ(model->viewModel().title, "-");
    EXPECT_EQ(model->viewModel().message, "No Audio Unit loaded..");
    EXPECT_FALSE(model->viewModel().showAudioControls);
    EXPECT_EQ(model->auValString(), "aufx vnyl MrLw");
    EXPECT_EQ(model->instanceInvalidationNotifcation(), kAudioComponentInstanceInvalidationNotification);
    EXPECT_FLOAT_EQ(model->hissLevel(), 40.0f);
    EXPECT_EQ(model->liveInputInputFormatSummary(), "Unavailable");
    EXPECT_EQ(model->loadAttempt(), 0);
    EXPECT_FALSE(model->playEngineStorage());
    EXPECT_TRUE(model->wantsAudio());
    EXPECT_FALSE(model->wantsMIDI());
    EXPECT_FALSE(model->isFreeRunning());
}

TEST_F(AudioUnitHostModelTest, FirstAttemptFailsAndTheSecondASecondLaterSucceeds) {
    engine->outcomes = {{false, "Tolvane: Failed to instantiate AU: no process"}, {true, std::nullopt}};
    model->loadAudioUnit();
    main.runPending();
    EXPECT_EQ(model->viewModel().message, "Tolvane: Failed to instantiate AU: no process\nRetrying...");
    EXPECT_EQ(model->viewModel().title, "aufx vnyl MrLw");
    EXPECT_FALSE(model->viewModel().viewController);
    main.advance(999ms);
    EXPECT_EQ(engine->loads, 1);
    main.advance(1ms);
    EXPECT_EQ(engine->loads, 2);
    EXPECT_EQ(model->loadAttempt(), 2);
    EXPECT_EQ(model->viewModel().message, "Successfully loaded (aufx vnyl MrLw)");
    EXPECT_EQ(model->viewModel().viewController, engine->controller);
    EXPECT_TRUE(model->viewModel().showAudioControls);
    EXPECT_EQ(engine->starts, 0);  // an effect waits for Play
}

TEST_F(AudioUnitHostModelTest, FourFailuresGiveFourViewModelsAndNoFifthAttempt) {
    // The engine's own text wins; without one the model names the component.
    engine->outcomes = {{false, "E1"}, {false, std::nullopt}, {false, "E3"}, {false, std::nullopt}};
    model->addObserver([this](AudioUnitHostModel::Property p) {
        if (p == AudioUnitHostModel::Property::viewModel) messages.push_back(model->viewModel().message);
    });
    model->loadAudioUnit();
    main.advance(10s);
    EXPECT_EQ(messages, (std::vector<std::string>{"E1\nRetrying...", "Failed to load (aufx vnyl MrLw)\nRetrying...",
                                                  "E3\nRetrying...", "Failed to load (aufx vnyl MrLw)"}));
    EXPECT_EQ(engine->loads, 4);
    EXPECT_EQ(model->loadAttempt(), 4);
    EXPECT_EQ(count(AudioUnitHostModel::Property::loadAttempt), 4);
}

TEST_F(AudioUnitHostModelTest, OneChainOfAttemptsAtATimeAndNoRetryOnceAUnitIsThere) {
    engine->outcomes = {{false, "E"}};
    model->loadAudioUnit();
    model->loadAudioUnit();  // in flight: ignored
    main.runPending();
    EXPECT_EQ(engine->loads, 1);
    model->loadAudioUnit();  // waiting to retry: still the same chain
    engine->appear();        // a unit arrives during the pause
    main.advance(5s);
    EXPECT_EQ(engine->loads, 1);
    EXPECT_EQ(model->loadAttempt(), 1);
    model->loadAudioUnit();  // the chain has ended: a new one may start
    main.runPending();
    EXPECT_EQ(engine->loads, 2);
}

TEST_F(AudioUnitHostModelTest, MirrorsSyncWriteThroughAndFollowTheUnit) {
    setParameter(8, 0.5f);
    setParameter(4, 0.49f);
    setParameter(9, 33.0f);
    model->loadAudioUnit();
    main.runPending();
    EXPECT_TRUE(model->monoSumOn());  // exactly 0.5 is on
    EXPECT_FALSE(model->hissOn());    // 0.49 is off
    EXPECT_FLOAT_EQ(model->hissLevel(), 33.0f);
    EXPECT_EQ(parameter(8), 1.0f);  // the sync writes the Booleans back as 0 or 1
    EXPECT_EQ(parameter(4), 0.0f);

    setParameter(4, 0.3f);
    notified.clear();
    model->setHissOn(false);  // unchanged: nobody is told, the parameter is written all the same
    EXPECT_EQ(parameter(4), 0.0f);
    EXPECT_EQ(count(AudioUnitHostModel::Property::hissOn), 0);
    model->setHissLevel(62.5f);
    EXPECT_EQ(parameter(9), 62.5f);

    // A change made in the effect's panel reaches the mirror on the main loop, and goes no further.
    int writes = 0;
    const auto token = engine->unit->parameterTree()->tokenByAddingParameterObserver([&](AUParameterAddress, AUValue) { ++writes; });
    std::thread panel([&] { setParameter(9, 71.0f); });
    panel.join();
    main.runPending();
    EXPECT_FLOAT_EQ(model->hissLevel(), 71.0f);
    EXPECT_EQ(writes, 1);
    engine->unit->parameterTree()->removeParameterObserver(token);
}

TEST_F(AudioUnitHostModelTest, WithoutAUnitTheMirrorsSyncToTheirDefaultsAndWriteNothing) {
    model->setMonoSumOn(true);
    model->setHissLevel(12);
    model->syncFromAudioUnit();
    EXPECT_FALSE(model->monoSumOn());
    EXPECT_FALSE(model->hissOn());
    EXPECT_FLOAT_EQ(model->hissLevel(), 40.0f);
    EXPECT_EQ(parameter(9), 0.0f);  // the unit exists but was never loaded: untouched
}

TEST_F(AudioUnitHostModelTest, TypeFlagsAndFreeRunningUnitsStartPlaying) {
    struct Case {
        const char* type;
        bool audio, midi, freeRunning;
    };
    for (const Case c : {Case{"aumu", false, true, true}, Case{"aumf", true, true, false}, Case{"augn", false, false, true},
                         Case{"ab", false, false, false}}) {
        SCOPED_TRACE(c.type);
        model = makeModel(c.type);
        EXPECT_EQ(model->wantsAudio(), c.audio);
        EXPECT_EQ(model->wantsMIDI(), c.midi);
        EXPECT_EQ(model->isFreeRunning(), c.freeRunning);
    }
    model = makeModel("aumu");
    engine->playing = false;
    model->loadAudioUnit();
    main.runPending();
    EXPECT_EQ(engine->starts, 1);
}

TEST_F(AudioUnitHostModelTest, AnInvalidatedAudioUnitMarksTheCrashAndStopsPlaybackOnce) {
    model->loadAudioUnit();
    main.runPending();
    engine->playing = true;
    center.postNotificationName(std::string(kAudioComponentInstanceInvalidationNotification), std::string("not a unit"));
    main.runPending();
    EXPECT_FALSE(model->audioUnitCrashed());

    // Posted from the thread that saw the process die; any unit counts, not only the hosted one.
    std::thread poster([&] {
        center.postNotificationName(std::string(kAudioComponentInstanceInvalidationNotification),
                                    std::shared_ptr<AUAudioUnit>(test::GainTestUnit::make()));
    });
    poster.join();
    EXPECT_FALSE(model->audioUnitCrashed());  // nothing happens off the main loop
    main.runPending();
    EXPECT_TRUE(model->audioUnitCrashed());
    EXPECT_EQ(engine->stops, 1);
    center.postNotificationName(std::string(kAudioComponentInstanceInvalidationNotification),
                                std::shared_ptr<AUAudioUnit>(engine->unit));
    main.runPending();
    EXPECT_EQ(engine->stops, 1);
    EXPECT_EQ(count(AudioUnitHostModel::Property::audioUnitCrashed), 1);

    // Gone, the model no longer listens, and reports from its engine do nothing.
    auto engineLeft = engine;
    model.reset();
    center.postNotificationName(std::string(kAudioComponentInstanceInvalidationNotification),
                                std::shared_ptr<AUAudioUnit>(engineLeft->unit));
    main.runPending();
    engineLeft->liveInputDiagnosticsHandler(true, "a", "b");
}

TEST_F(AudioUnitHostModelTest, TheEnginesReportsReachTheModel) {
    PlayEngine& played = model->playEngine();
    ASSERT_TRUE(model->playEngineStorage());
    played.liveInputDiagnosticsHandler(true, "48000 Hz, 1 ch", "44100 Hz, 2 ch");
    played.hardwareInputMeterLevelHandler(0.25f);
    EXPECT_TRUE(model->liveInputEngineRunning());
    EXPECT_EQ(model->liveInputInputFormatSummary(), "48000 Hz, 1 ch");
    EXPECT_EQ(model->liveInputOutputFormatSummary(), "44100 Hz, 2 ch");
    EXPECT_FLOAT_EQ(model->hardwareInputMeterLevel(), 0.25f);
    played.liveInputMeterLevelHandler(0.0f);  // equal to the stored value: nobody is told
    EXPECT_EQ(count(AudioUnitHostModel::Property::liveInputMeterLevel), 0);
}

}  // namespace
}  // namespace tolvane::studio
