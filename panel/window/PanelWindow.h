#pragma once

#include "panel/AudioUnitViewController.h"

#include <cstdint>
#include <memory>

namespace DGL {
class Application;
}

namespace tolvane::panel {

// The panel in a window of its own, embedded in a parent X11 window that another program owns
// (the standalone host's window), over a unit that program's process already has:
//
//     DGL::Application app(true);                       // the process's event loop
//     auto controller = tolvane::panel::requestViewController(unit);
//     tolvane::panel::PanelWindow panel(app, parentWindowId, 1.0, controller);
//     while (running) { app.idle(); panel.idle(); }     // or app.exec() with an idle callback
//
// The calling thread becomes the main thread of the panel's main queue.
class PanelWindow {
public:
    PanelWindow(DGL::Application& app, uintptr_t parentWindowId, double scaleFactor,
                std::shared_ptr<AudioUnitViewController> controller);
    ~PanelWindow();
    PanelWindow(const PanelWindow&) = delete;
    PanelWindow& operator=(const PanelWindow&) = delete;

    // Host changes reach the panel, and a changed panel is drawn again.
    void idle();
    // The window-system connection the panel draws through (see windowConnectionOf), once it
    // has drawn; null before.
    void* connection() const;
    // The panel's own X11 window.
    uintptr_t nativeWindowHandle() const;
    // Follows the parent's size (the panel keeps its aspect inside it).
    void setSize(unsigned width, unsigned height);

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

// The unit's own view controller (its requestViewControllerWithCompletionHandler), waited for on the main queue
// from the calling thread.
std::shared_ptr<AudioUnitViewController> requestViewController(const std::shared_ptr<AUAudioUnit>& unit);

}  // namespace tolvane::panel
