#include "panel/AudioUnitViewController.h"

void AudioUnitViewController::viewDidLoad() {
    AUViewController::viewDidLoad();
    setPreferredContentSize(kPanelSize);
    setViewSize(kPanelSize);
    if (audioUnit) configurePanelView(audioUnit);
}

void AudioUnitViewController::configurePanelView(const std::shared_ptr<AUAudioUnit>& unit) { panelUnit_ = unit; }
