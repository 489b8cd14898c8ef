#pragma once

#include "panel/model/MainViewModel.h"
#include "platform/audiotoolbox/AUAudioUnit.h"
#include "platform/coreaudiokit/AUViewController.h"
#include "platform/foundation/Error.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// The view that carries the panel's root into a window. It never takes keyboard focus by itself.
class PassiveHostingView {
public:
    explicit PassiveHostingView(std::shared_ptr<Kessrin_VinylExtensionMainView> rootView)
        : rootView_(std::move(rootView)) {}
    bool acceptsFirstResponder() const { return false; }
    const std::shared_ptr<Kessrin_VinylExtensionMainView>& rootView() const { return rootView_; }

private:
    std::shared_ptr<Kessrin_VinylExtensionMainView> rootView_;
};

// The child controller that shows one panel build.
class HostingController {
public:
    explicit HostingController(std::shared_ptr<Kessrin_VinylExtensionMainView> rootView)
        : hostingView(std::make_shared<PassiveHostingView>(std::move(rootView))) {}

    const std::shared_ptr<PassiveHostingView> hostingView;
    // In the controller's view hierarchy: the one panel a window shows.
    bool isInViewHierarchy() const { return inHierarchy_; }

private:
    friend class AudioUnitViewController;
    bool inHierarchy_ = false;
};

// The plug-in's entry object on the interface side: its factory creates the effect's unit (never
// allocating render resources), and its view shows the front panel for that unit. Create it with
// std::make_shared; main thread only, except createAudioUnit, which may be called from any thread
// and then waits for the main queue.
class AudioUnitViewController : public AUViewController,
                                public std::enable_shared_from_this<AudioUnitViewController> {
public:
    static constexpr CGSize kPanelSize{672, 418};
    // The runtime class name hosts know the factory by.
    static constexpr const char* kRuntimeClassName = "TolvaneMacAUFactory";

    AudioUnitViewController(std::optional<std::string> nibName, std::optional<Bundle> bundle);
    ~AudioUnitViewController() override;

    std::shared_ptr<AUAudioUnit> audioUnit;
    std::shared_ptr<HostingController> hostingController;

    // Creates the effect unit for the host's description, observes its "all parameter values"
    // and queues a panel build. Throws the unit's creation error; on failure nothing changes.
    std::shared_ptr<AUAudioUnit> createAudioUnit(const AudioComponentDescription& description);
    // The message form: the unit, or null with the error stored when `error` is not null.
    std::shared_ptr<AUAudioUnit> createAudioUnit(const AudioComponentDescription& description, Error* error);

    // Builds (or rebuilds) the hosted panel over the unit's tree, with fresh view state.
    void configurePanelView(const std::shared_ptr<AUAudioUnit>& unit);
    // Re-sends every parameter's current value to its observers.
    static void refreshAllParameters(const std::shared_ptr<AUAudioUnit>& unit);

    // The panel shown now, or null (no unit, or a unit without a parameter tree).
    std::shared_ptr<Kessrin_VinylExtensionMainView> currentPanel() const;
    // Counts panel builds, so a window can tell that a new panel replaced the one it drew.
    uint64_t panelBuildCount() const { return panelBuildCount_; }

protected:
    void viewDidLoad() override;

private:
    std::shared_ptr<AUAudioUnit> createAudioUnitOnMainThread(const AudioComponentDescription& description);
    void removeObservation();

    struct Observation {
        std::weak_ptr<AUAudioUnit> unit;
        AUAudioUnit::ObserverToken token = 0;
    };
    std::optional<Observation> observation_;
    uint64_t panelBuildCount_ = 0;
};
