#pragma once

#include "platform/coreaudiokit/AUViewController.h"
#include "studio/content/ContentLayout.h"
#include "studio/settings/SettingsView.h"
#include "studio/ui/Alert.h"
#include "studio/ui/Menu.h"
#include "studio/ui/StudioRenderer.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace DGL {
class Application;
}

namespace tolvane::studio {

// What the window shows and whom it tells about the user's actions: the content view.
class WindowContent {
public:
    virtual ~WindowContent() = default;
    // The window came on screen, or went.
    virtual void appear() = 0;
    virtual void disappear() = 0;
    virtual ContentSnapshot snapshot() const = 0;
    // The effect's view controller while the effect area shows it.
    virtual std::shared_ptr<AUViewController> effectViewController() const = 0;
    virtual void pressPlay() = 0;
    // The settings sheet while it is presented, else null.
    virtual SettingsView* settingsSheet() = 0;
};

// The application's window (DGL with Cairo): the menu bar with the application menu, the content
// view with a margin, the effect's own view embedded in its area, and, above everything, the
// open menu, the settings sheet and alerts. Lives on the main thread; idle() brings it up to date
// with its models and runs what the user's actions left for it.
class StudioWindow {
public:
    StudioWindow(DGL::Application& app, const StudioResources& resources, WindowContent& content,
                 std::function<std::vector<MenuItem>()> applicationMenu, double margin);
    ~StudioWindow();
    StudioWindow(const StudioWindow&) = delete;
    StudioWindow& operator=(const StudioWindow&) = delete;

    void idle();
    // Sleeps until the window system has events for the window, `wakeFd` is readable, or
    // `timeout` has passed (none: no limit).
    void waitForEvents(int wakeFd, std::optional<std::chrono::nanoseconds> timeout);
    // A modal alert over the content; a second one waits for the first to close.
    void showAlert(Alert alert);
    // The user closed the window.
    void setCloseHandler(std::function<void()> handler);

    struct Parts;

private:
    std::unique_ptr<Parts> parts_;
};

}  // namespace tolvane::studio
