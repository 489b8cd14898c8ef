#pragma once

#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Bundle.h"
#include "studio/AppUpdater.h"
#include "studio/ComponentSystem.h"
#include "studio/ui/Menu.h"

#include <memory>
#include <vector>

namespace tolvane::studio {

class AudioUnitHostModel;
class StudioWindow;

// The standalone application: it owns the host model and the updater for the life of the
// process, shows its one window, whose content is the content view with a margin of 4, and puts
// "Check for Updates…" into the application menu right after "About Tolvane".
class Kessrin_VinylApp {
public:
    static constexpr double kContentMargin = 4.0;

    // Where the application finds its parts: its main bundle (the folder it is installed in,
    // with the test file and the information file) and the component system.
    struct Environment {
        Bundle mainBundle;
        std::shared_ptr<ComponentSystem> components;
    };
    static Environment defaultEnvironment();

    // Creates the host model for the effect ("aufx", "vnyl", "MrLw"); loads nothing yet.
    explicit Kessrin_VinylApp(Environment environment = defaultEnvironment());
    ~Kessrin_VinylApp();
    Kessrin_VinylApp(const Kessrin_VinylApp&) = delete;
    Kessrin_VinylApp& operator=(const Kessrin_VinylApp&) = delete;

    const std::shared_ptr<AudioUnitHostModel>& hostModel() const { return hostModel_; }
    // Made on first use and kept until the process ends.
    AppUpdater& appUpdater();
    bool hasAppUpdater() const { return appUpdater_ != nullptr; }
    MainLoop& mainLoop() { return mainLoop_; }

    // The application menu as it stands now: "About Tolvane", "Check for Updates…" (enabled
    // while a check can start), "Quit".
    std::vector<MenuItem> applicationMenu();

    // Opens the window and runs until the user quits; the exit status.
    int run();
    // The program's entry.
    static int main(int argc, char** argv);

private:
    class WindowUserDriver;

    void showAbout();

    MainLoop mainLoop_;
    Environment environment_;
    std::shared_ptr<AudioUnitHostModel> hostModel_;
    std::shared_ptr<WindowUserDriver> userDriver_;
    std::unique_ptr<AppUpdater> appUpdater_;
    StudioWindow* window_ = nullptr;
    std::function<void()> quit_;
};

}  // namespace tolvane::studio
