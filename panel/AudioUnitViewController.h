#pragma once

#include "platform/audiotoolbox/AUAudioUnit.h"
#include "platform/coreaudiokit/AUViewController.h"

#include <memory>

// The front panel's view controller: the host shows its view; it builds the panel for its unit
// when the view loads.
class AudioUnitViewController : public AUViewController {
public:
    static constexpr CGSize kPanelSize{672, 418};

    AudioUnitViewController(std::optional<std::string> nibName, std::optional<Bundle> bundle)
        : AUViewController(std::move(nibName), std::move(bundle)) {}

    // The unit whose panel this controller shows; set directly by whoever creates the controller.
    std::shared_ptr<AUAudioUnit> audioUnit;

    // The unit the panel was last built for (none until a panel is built).
    const std::shared_ptr<AUAudioUnit>& panelUnit() const { return panelUnit_; }

protected:
    void viewDidLoad() override;
    virtual void configurePanelView(const std::shared_ptr<AUAudioUnit>& unit);

private:
    std::shared_ptr<AUAudioUnit> panelUnit_;
};
