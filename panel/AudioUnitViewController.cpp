#include "panel/AudioUnitViewController.h"

#include "effect/Kessrin_VinylExtensionAudioUnit.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/os/Log.h"

#include <exception>
#include <future>

namespace {

const OSLog& controllerLog() {
    static const OSLog log("com.marlowen.Kessrin-VinylExtension", "AudioUnitViewController");
    return log;
}

}  // namespace

AudioUnitViewController::AudioUnitViewController(std::optional<std::string> nibName, std::optional<Bundle> bundle)
    : AUViewController(std::move(nibName), std::move(bundle)) {}

AudioUnitViewController::~AudioUnitViewController() { removeObservation(); }

void AudioUnitViewController::removeObservation() {
    if (!observation_) return;
    if (auto unit = observation_->unit.lock()) unit->removeAllParameterValuesObserver(observation_->token);
    observation_.reset();
}

std::shared_ptr<AUAudioUnit> AudioUnitViewController::createAudioUnit(const AudioComponentDescription& description) {
    if (MainQueue::isMainThread()) return createAudioUnitOnMainThread(description);
    // Any other thread waits for the creation on the main queue.
    auto done = std::make_shared<std::promise<std::shared_ptr<AUAudioUnit>>>();
    auto result = done->get_future();
    auto self = shared_from_this();
    MainQueue::async([self, done, description] {
        try {
            done->set_value(self->createAudioUnitOnMainThread(description));
        } catch (...) {
            done->set_exception(std::current_exception());
        }
    });
    return result.get();
}

std::shared_ptr<AUAudioUnit> AudioUnitViewController::createAudioUnit(const AudioComponentDescription& description,
                                                                      Error* error) {
    try {
        return createAudioUnit(description);
    } catch (const ThrownError& thrown) {
        if (error) *error = thrown.error;
    }
    return nullptr;
}

std::shared_ptr<AUAudioUnit> AudioUnitViewController::createAudioUnitOnMainThread(
    const AudioComponentDescription& description) {
    Error error;
    std::shared_ptr<AUAudioUnit> unit = makeAudioUnit(description, 0, &error);
    if (!unit) throw ThrownError(std::move(error));
    audioUnit = unit;

    // Each notification means every value may have changed. The handler holds the unit weakly:
    // an observation must not keep alive the unit it observes.
    removeObservation();
    std::weak_ptr<AUAudioUnit> weakUnit = unit;
    const auto token = unit->observeAllParameterValues([weakUnit] {
        if (auto observed = weakUnit.lock()) refreshAllParameters(observed);
    });
    observation_ = Observation{unit, token};

    if (!unit->parameterTree()) controllerLog().error("Unable to access AU ParameterTree");

    // The build runs after the unit is back with the host; one for a controller that is gone by
    // then has nothing to show and does nothing.
    std::weak_ptr<AudioUnitViewController> weakSelf = weak_from_this();
    MainQueue::async([weakSelf, unit] {
        if (auto self = weakSelf.lock()) self->configurePanelView(unit);
    });
    return unit;
}

void AudioUnitViewController::refreshAllParameters(const std::shared_ptr<AUAudioUnit>& unit) {
    const auto tree = unit ? unit->parameterTree() : nullptr;
    if (!tree) return;
    for (const auto& parameter : tree->allParameters()) parameter->setValue(parameter->value());
}

void AudioUnitViewController::viewDidLoad() {
    AUViewController::viewDidLoad();
    setPreferredContentSize(kPanelSize);
    setViewSize(kPanelSize);
    if (audioUnit) configurePanelView(audioUnit);
}

void AudioUnitViewController::configurePanelView(const std::shared_ptr<AUAudioUnit>& unit) {
    if (hostingController) hostingController->inHierarchy_ = false;
    const auto tree = unit ? unit->parameterTree() : nullptr;
    if (!tree) return;
    Kessrin_VinylExtensionMainView::Arguments arguments;
    arguments.parameterTree = std::make_shared<ObservableAUParameterGroup>(*tree);
    arguments.showSettingsButton = true;
    arguments.audioUnit = unit;
    arguments.refWidth = kPanelSize.width;
    arguments.refHeight = kPanelSize.height;
    arguments.bundle = nibBundle().value_or(Bundle::containingAddress(reinterpret_cast<const void*>(&makeAudioUnit)));
    arguments.effects = effectsTable();
    arguments.topRowOrder = topRowOrder();
    arguments.bottomRowOrder = bottomRowOrder();
    // Every build starts from fresh view state: a new root, a new mirror of the tree.
    hostingController = std::make_shared<HostingController>(
        std::make_shared<Kessrin_VinylExtensionMainView>(std::move(arguments)));
    hostingController->inHierarchy_ = true;
    ++panelBuildCount_;
}

std::shared_ptr<Kessrin_VinylExtensionMainView> AudioUnitViewController::currentPanel() const {
    if (!hostingController || !hostingController->isInViewHierarchy()) return nullptr;
    return hostingController->hostingView->rootView();
}
