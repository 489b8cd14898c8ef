#pragma once

#include "panel/AudioUnitViewController.h"
#include "platform/dispatch/DispatchQueue.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace tolvane::test {

inline AudioComponentDescription effectDescription() {
    return {fourCharCode("aufx"), fourCharCode("vnyl"), fourCharCode("MrLw"), 0, 0};
}

// One event the mirror's tree passed on toward the host.
struct SentEvent {
    AUParameterAddress address;
    AUValue value;
    AUParameterAutomationEventType type;
    bool operator==(const SentEvent&) const = default;
};

// A view controller over a fresh mirror unit, with the panel built (main queue drained by hand),
// and a recorder of every event the panel sends to the unit's tree. The user's presets live in a
// configuration folder of the fixture's own.
struct PanelFixture {
    TempFolder configuration;
    ScopedEnvironment configurationHome;
    std::shared_ptr<AudioUnitViewController> controller =
        std::make_shared<AudioUnitViewController>(std::nullopt, std::nullopt);
    std::shared_ptr<AUAudioUnit> unit;
    std::vector<SentEvent> sent;
    AUParameterObserverToken recorder = 0;

    // A second panel may share another fixture's configuration folder, as two plug-in instances
    // share the user's presets.
    explicit PanelFixture(const PanelFixture* sharing = nullptr)
        : configurationHome("XDG_CONFIG_HOME", (sharing ? sharing->configuration : configuration).path().c_str()) {
        MainQueue::drain();
        unit = controller->createAudioUnit(effectDescription());
        MainQueue::drain();
        recorder = unit->parameterTree()->tokenByAddingParameterAutomationObserver(
            [this](AUParameterAddress address, AUValue value, AUParameterAutomationEventType type) {
                sent.push_back({address, value, type});
            });
    }
    ~PanelFixture() { unit->parameterTree()->removeParameterObserver(recorder); }

    Kessrin_VinylExtensionMainView& panel() const { return *controller->currentPanel(); }
    ObservableAUParameter& observable(const std::string& id) const {
        auto p = panel().parameterTree->parameter(id);
        if (!p) p = panel().parameterTree->globalParameter(id);
        return *p;
    }
    AUParameter& unitParameter(AUParameterAddress address) const {
        return *unit->parameterTree()->parameterWithAddress(address);
    }
};

}  // namespace tolvane::test
