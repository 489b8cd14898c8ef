#include "studio/SimplePlayEngine.h"

#include "platform/avfaudio/devices/AudioOutputChoice.h"
#include "platform/coreaudiokit/AUGenericViewController.h"
#include "studio/Console.h"

namespace tolvane::studio {

namespace {
constexpr std::string_view kTestFileMissing = "\"Synth.aif\" could not be opened.";
constexpr std::string_view kStandaloneContext = "standalone";
constexpr AudioComponentInstantiationOptions kDefaultOptions = 0;
}  // namespace

std::optional<uint32_t> fourCharCode(std::string_view text) { return checkedFourCharCode(text); }

// One call of instantiateAudioUnit, carried from pass to pass.
struct SimplePlayEngine::Instantiation {
    AudioComponentDescription description;
    UnitCompletion completion;
    Error currentError;

    // Completes with the unit when the attempt made one; otherwise keeps its error as the current one.
    bool finishWith(const std::shared_ptr<AVAudioUnit>& unit, const std::optional<Error>& error) {
        if (unit) {
            completion(unit, std::nullopt);
            return true;
        }
        currentError = error.value_or(Error{});
        return false;
    }
};

SimplePlayEngine::SimplePlayEngine(MainExecutor& mainExecutor, std::shared_ptr<ComponentSystem> components,
                                   const Bundle& mainBundle, std::shared_ptr<AudioOutputDevice> output)
    : main_(mainExecutor),
      components_(std::move(components)),
      engine_(output ? std::make_unique<AVAudioEngine>(std::move(output))
                     : std::make_unique<AVAudioEngine>(makeAudioOutputDevice(audioOutputChoiceFromEnvironment()), true)) {
    engine_->attachNode(player_);
    engine_->attachNode(inputMixer_);
    const auto url = mainBundle.URLForResource("Synth", "aif");
    if (!url) fatalError(kTestFileMissing);
    if (!loadTestFile(*url)) fatalError(kTestFileMissing);
}

bool SimplePlayEngine::loadTestFile(const std::filesystem::path& url) {
    Error error;
    std::shared_ptr<AVAudioFile> opened = openAudioFileForReading(url.string(), &error);
    if (!opened) {
        printLine("Tolvane: Could not open test file at " + url.string() + ": " + error.description());
        return false;
    }
    file_ = std::move(opened);
    return true;
}

void SimplePlayEngine::loadAudioUnit(std::string_view componentType, std::string_view componentSubType,
                                     std::string_view manufacturer, ViewControllerCompletion completion) {
    connectAudioUnit();
    lastLoadErrorMessage_.reset();
    const auto type = fourCharCode(componentType);
    const auto subType = fourCharCode(componentSubType);
    const auto maker = fourCharCode(manufacturer);
    if (!type || !subType || !maker) fatalError("a component code is not four one-byte characters");
    const AudioComponentDescription description{*type, *subType, *maker, 0, 0};

    std::weak_ptr<SimplePlayEngine> weak = weak_from_this();
    instantiateAudioUnit(description, [weak, completion = std::move(completion)](std::shared_ptr<AVAudioUnit> unit,
                                                                               std::optional<Error> error) {
        if (auto engine = weak.lock()) engine->finishLoad(std::move(unit), std::move(error), completion);
    });
}

void SimplePlayEngine::finishLoad(std::shared_ptr<AVAudioUnit> unit, std::optional<Error> error,
                                  ViewControllerCompletion completion) {
    if (!unit) {
        const std::string text = "Tolvane: Failed to instantiate AU: " + (error ? error->description() : std::string{});
        printLine(text);
        lastLoadErrorMessage_ = text;
        if (completion) completion(nullptr);
        return;
    }
    avAudioUnit_ = std::move(unit);
    listenForAllocations();
    // The panel reads it to route its settings button to the application.
    avAudioUnit_->auAudioUnit()->setContextName(std::string(kStandaloneContext));
    loadAudioUnitViewController(avAudioUnit_, std::move(completion));
}

void SimplePlayEngine::attempt(const AudioComponentDescription& description, AudioComponentInstantiationOptions options,
                               UnitCompletion onMain) {
    MainExecutor* main = &main_;
    std::weak_ptr<SimplePlayEngine> weak = weak_from_this();
    components_->instantiate(description, options,
                             [main, weak, onMain = std::move(onMain)](std::shared_ptr<AVAudioUnit> unit,
                                                                      std::optional<Error> error) mutable {
                                 if (weak.expired()) return;
                                 main->post([weak, onMain = std::move(onMain), unit, error] {
                                     if (!weak.expired()) onMain(unit, error);
                                 });
                             });
}

void SimplePlayEngine::instantiateAudioUnit(const AudioComponentDescription& description, UnitCompletion completion) {
    auto state = std::make_shared<Instantiation>();
    state->description = description;
    state->completion = std::move(completion);
    runPass(std::move(state), 0);
}

// The continuations below run only while the engine lives (attempt() checks before each), so
// they may use it directly.
void SimplePlayEngine::runPass(std::shared_ptr<Instantiation> state, int pass) {
    attempt(state->description, kLoadOutOfProcess,
            [this, state, pass](std::shared_ptr<AVAudioUnit> unit, std::optional<Error> error) {
                if (state->finishWith(unit, error)) return;
                const auto registered = components_->componentsMatchingDescription(state->description);
                if (registered.empty()) {
                    afterRegistryAttempt(state, pass);
                    return;
                }
                attempt(registered.front(), kLoadOutOfProcess,
                        [this, state, pass](std::shared_ptr<AVAudioUnit> found, std::optional<Error> why) {
                            if (!state->finishWith(found, why)) afterRegistryAttempt(state, pass);
                        });
            });
}

void SimplePlayEngine::afterRegistryAttempt(std::shared_ptr<Instantiation> state, int pass) {
    if (pass < kLastPass) {
        std::weak_ptr<SimplePlayEngine> weak = weak_from_this();
        main_.postAfter(kPassPause, [weak, state, pass] {
            if (auto engine = weak.lock()) engine->runPass(state, pass + 1);
        });
        return;
    }
    // The last pass: one more attempt on the registry's description, with default options.
    const auto registered = components_->componentsMatchingDescription(state->description);
    if (registered.empty()) {
        state->completion(nullptr, state->currentError);
        return;
    }
    attempt(registered.front(), kDefaultOptions, [state](std::shared_ptr<AVAudioUnit> unit, std::optional<Error> error) {
        if (!state->finishWith(unit, error)) state->completion(nullptr, state->currentError);
    });
}

void SimplePlayEngine::loadAudioUnitViewController(const std::shared_ptr<AVAudioUnit>& unit,
                                                   ViewControllerCompletion completion) {
    MainExecutor* main = &main_;
    std::weak_ptr<SimplePlayEngine> weak = weak_from_this();
    unit->auAudioUnit()->requestViewControllerWithCompletionHandler(
        [main, weak, unit, completion = std::move(completion)](std::shared_ptr<AUViewController> controller) {
            main->post([weak, unit, completion, controller] {
                if (weak.expired() || !completion) return;
                if (controller) {
                    completion(controller);
                    return;
                }
                auto generic = std::make_shared<AUGenericViewController>();
                generic->setAuAudioUnit(unit->auAudioUnit());
                completion(generic);
            });
        });
}

}  // namespace tolvane::studio
