#pragma once

#include "platform/avfaudio/AVAudioUnit.h"
#include "platform/coreaudiokit/AUViewController.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane::studio {

// What the host model uses of the playback engine: SimplePlayEngine in the application, a fake
// in the host model's tests. Everything runs on the main loop.
class PlayEngine {
public:
    using ViewControllerCompletion = std::function<void(std::shared_ptr<AUViewController>)>;

    virtual ~PlayEngine() = default;

    // Loads the component; completes on the main loop with its view controller, or with none
    // after a failure, which leaves lastLoadErrorMessage set (or not, for an engine that has none).
    virtual void loadAudioUnit(std::string_view componentType, std::string_view componentSubType,
                               std::string_view manufacturer, ViewControllerCompletion completion) = 0;
    virtual const std::shared_ptr<AVAudioUnit>& avAudioUnit() const = 0;
    virtual const std::optional<std::string>& lastLoadErrorMessage() const = 0;
    virtual bool isPlaying() const = 0;
    virtual void startPlaying() = 0;
    virtual void stopPlaying() = 0;
    // The input the settings sheet chooses; the looped test file is the only source, so it
    // changes nothing audible.
    virtual bool useLiveInput() const = 0;
    virtual void setUseLiveInput(bool use) = 0;

    // Reports, each called on the main loop once installed.
    std::function<void(float)> liveInputMeterLevelHandler;
    std::function<void(float)> hardwareInputMeterLevelHandler;
    std::function<void(bool running, const std::string& input, const std::string& output)> liveInputDiagnosticsHandler;
};

}  // namespace tolvane::studio
