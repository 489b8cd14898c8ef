#pragma once

#include "platform/appkit/NSWorkspace.h"
#include "platform/coreaudio/AudioHardware.h"
#include "platform/foundation/Bundle.h"
#include "studio/AudioDeviceNames.h"
#include "studio/ui/Rgba.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane::studio {

// A value that lives elsewhere, read and written through its owner each time it is used.
template <class T>
struct Binding {
    std::function<T()> get;
    std::function<void(T)> set;
};

// The studio's settings sheet, without drawing: what it shows and what each control does. It
// keeps no setting of its own; every control writes a binding that reaches the effect's
// parameters or the playback engine. Lives on the main thread from presentation to dismissal.
class SettingsView {
public:
    // The places the sheet opens links and asks for device names.
    struct Services {
        AudioHardware& hardware;
        const NSWorkspace& workspace;
        const Bundle& mainBundle;
    };

    // The sheet's label colour: a grey of white level 0.7.
    static constexpr Rgba labelColor = Rgba::grey(0.7);
    static constexpr double kHissLevelMaximum = 100;

    // Information-dictionary keys of the two links: the review page and the maker's site.
    static constexpr std::string_view kReviewPageKey = "TolvaneReviewPageURL";
    static constexpr std::string_view kMakerSiteKey = "TolvaneMakerSiteURL";

    SettingsView(Binding<bool> useLiveInput, Binding<bool> monoSumOn, Binding<bool> hissOn, Binding<float> hissLevel,
                 std::function<void()> dismiss, bool isStandalone, Services services);

    // The sheet came on screen: the device names are read.
    void appear();
    // Called on each update while the sheet is shown: a changed input selection reads the
    // device names again.
    void update();

    bool isStandalone() const { return isStandalone_; }
    bool useLiveInput() const { return useLiveInput_.get(); }
    bool monoSumOn() const { return monoSumOn_.get(); }
    bool hissOn() const { return hissOn_.get(); }
    double hissLevel() const { return hissLevel_.get(); }
    const std::string& currentInputDeviceName() const { return deviceNames_.currentInputDeviceName; }
    const std::string& currentOutputDeviceName() const { return deviceNames_.currentOutputDeviceName; }

    // "v" with the short version and, when it differs, the build in parentheses; empty when the
    // bundle names neither.
    std::string versionString() const;
    // The maker's site's host name (the link's label); nothing when no usable address is set.
    std::optional<std::string> makerSiteHost() const;

    // The controls.
    void selectLoop() { useLiveInput_.set(false); }
    void selectStereo() { monoSumOn_.set(false); }
    void selectMono() { monoSumOn_.set(true); }
    void selectHissOff() { hissOn_.set(false); }
    void selectHissOn() { hissOn_.set(true); }
    // A move of the hiss slider to `value` (clamped to its range).
    void moveHissSlider(double value);
    void done() { dismiss_(); }
    // "RATE TOLVANE": opens the review page when its address parses; the outcome is not looked at.
    void rateTolvane();
    void openMakerSite();

private:
    void refreshDeviceNames();
    std::optional<std::string> infoURL(std::string_view key) const;

    Binding<bool> useLiveInput_;
    Binding<bool> monoSumOn_;
    Binding<bool> hissOn_;
    Binding<float> hissLevel_;
    std::function<void()> dismiss_;
    bool isStandalone_;
    Services services_;
    AudioDeviceNames deviceNames_;
    std::optional<bool> shownUseLiveInput_;
};

}  // namespace tolvane::studio
