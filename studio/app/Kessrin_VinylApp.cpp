#include "studio/app/Kessrin_VinylApp.h"

#include "panel/model/MainViewModel.h"
#include "panel/window/DisplayConnection.h"
#include "platform/appkit/NSWorkspace.h"
#include "platform/coreaudio/AudioHardware.h"
#include "platform/dispatch/QuitSignals.h"
#include "studio/AudioUnitHostModel.h"
#include "studio/Console.h"
#include "studio/SimplePlayEngine.h"
#include "studio/content/ContentView.h"
#include "studio/window/StudioWindow.h"

#include "Application.hpp"

namespace tolvane::studio {

namespace {

// DGL's events, the main loop's work and the window's update in turn, asleep in between until the
// window system or the main loop has something: an open window where nothing changes costs no
// time. Everything the window shows changes on the main loop or through an event. SIGTERM and
// SIGINT quit as the menu's Quit does (`quit`).
void runEventLoop(DGL::Application& app, MainLoop& loop, StudioWindow& window, QuitSignals& signals,
                  const std::function<void()>& quit) {
    const MainLoop::Waiter waitForWindow = [&window](int wakeFd, std::optional<std::chrono::nanoseconds> timeout) {
        window.waitForEvents(wakeFd, timeout);
    };
    while (!app.isQuitting()) {
        if (signals.takeRequest()) quit();
        app.idle();
        loop.runPending();
        window.idle();
        if (app.isQuitting()) break;
        loop.waitForWork(waitForWindow);
    }
}

}  // namespace

// Shows the updater's findings as alerts in the window (on the main loop, as the updater calls it).
class Kessrin_VinylApp::WindowUserDriver final : public UpdateUserDriver {
public:
    StudioWindow* window = nullptr;

    void showUpdateCheckResult(const UpdateCheckResult& result, std::function<void(bool)> reply) override {
        if (!window) {
            printLine("Tolvane: " + result.title + " " + result.message);
            if (reply) reply(false);
            return;
        }
        Alert alert{result.title, result.message, {}};
        if (result.kind == UpdateCheckResult::Kind::updateAvailable) {
            alert.buttons.push_back({"Later", [reply] { if (reply) reply(false); }});
            alert.buttons.push_back({"Download\u2026", [reply] { if (reply) reply(true); }});
        } else {
            alert.buttons.push_back({"OK", {}});
        }
        window->showAlert(std::move(alert));
    }
};

Kessrin_VinylApp::Environment Kessrin_VinylApp::defaultEnvironment() {
    // The executable's folder is the studio's bundle.
    static const int anchor = 0;
    return Environment{Bundle::containingAddress(&anchor), std::make_shared<PlatformComponentSystem>()};
}

Kessrin_VinylApp::Kessrin_VinylApp(Environment environment)
    : environment_(std::move(environment)),
      hostModel_(AudioUnitHostModel::create(
          mainLoop_,
          [this] {
              return std::make_shared<SimplePlayEngine>(mainLoop_, environment_.components, environment_.mainBundle);
          },
          "aufx", "vnyl", "MrLw")),
      userDriver_(std::make_shared<WindowUserDriver>()) {}

Kessrin_VinylApp::~Kessrin_VinylApp() = default;

AppUpdater& Kessrin_VinylApp::appUpdater() {
    if (!appUpdater_) {
        UpdaterServices services;
        services.postToMain = [this](std::function<void()> work) { mainLoop_.post(std::move(work)); };
        services.userDriver = userDriver_;
        appUpdater_ = std::make_unique<AppUpdater>(environment_.mainBundle, std::move(services));
    }
    return *appUpdater_;
}

std::vector<MenuItem> Kessrin_VinylApp::applicationMenu() {
    const CheckForUpdatesCommand command{appUpdater()};
    std::vector<MenuItem> items;
    items.push_back({"About Tolvane", "", true, false, [this] { showAbout(); }});
    items.push_back({std::string(command.title()), "", !command.isDisabled(), false, [command] { command.action(); }});
    items.push_back({"Quit", "Ctrl+Q", true, true, [this] {
                         if (quit_) quit_();
                     }});
    return items;
}

void Kessrin_VinylApp::showAbout() {
    if (!window_) return;
    const Bundle& bundle = environment_.mainBundle;
    // The same version text as the effect's panel shows.
    const std::string version = versionLabelFor(bundle.objectForInfoDictionaryKey("CFBundleShortVersionString"),
                                                bundle.objectForInfoDictionaryKey("CFBundleVersion"));
    window_->showAlert(Alert{"Tolvane " + version,
                             "A vinyl-record and lo-fi character effect, played here through the installed "
                                    "plug-in running in a process of its own.",
                             {{"OK", {}}}});
}

int Kessrin_VinylApp::run() {
    // From the start: a signal that comes while the window opens quits on the loop's first turn.
    QuitSignals signals(mainLoop_.fileDescriptor());
    std::string problem;
    // Held until the window is gone (declared before it): the server never resets under it.
    const auto display = panel::DisplayConnection::open(&problem);
    if (!display) {
        panel::reportCannotOpenWindow(problem);
        return 1;
    }
    DGL::Application app(true);
    BackendAudioHardware hardware;
    const Bundle& bundle = environment_.mainBundle;
    StudioResources resources(bundle);
    ContentView content(hostModel_, kContentMargin, SettingsView::Services{hardware, NSWorkspace::sharedWorkspace(), bundle});
    StudioWindow window(app, resources, content, [this] { return applicationMenu(); }, kContentMargin);
    window_ = &window;
    userDriver_->window = &window;
    quit_ = [&app] { app.quit(); };
    window.setCloseHandler(quit_);
    // The menu's command exists from the start; building it makes the updater.
    appUpdater();

    runEventLoop(app, mainLoop_, window, signals, quit_);

    quit_ = nullptr;
    userDriver_->window = nullptr;
    window_ = nullptr;
    return 0;
}

int Kessrin_VinylApp::main(int, char**) {
    Kessrin_VinylApp app;
    return app.run();
}

}  // namespace tolvane::studio
