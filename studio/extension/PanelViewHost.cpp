#include "studio/extension/PanelViewHost.h"

#include "panel/window/DisplayConnection.h"
#include "panel/window/PanelWindow.h"
#include "panel/window/WindowEvents.h"

#include "Application.hpp"

#include <X11/Xlib.h>

#include <cstdio>

namespace tolvane::studio {

namespace {

// The host owns the window the panel sits in and may destroy it first; requests about the
// panel's window that fail then must not end the process (Xlib's default handler exits), which
// the host would take for a crash of the effect.
int reportXError(Display*, XErrorEvent* event) {
    std::fprintf(stderr, "tolvane-extension: X error %d on request %d (ignored)\n", static_cast<int>(event->error_code),
                 static_cast<int>(event->request_code));
    return 0;
}

}  // namespace

PanelViewHost::PanelViewHost() = default;

// The window goes before the event loop it belongs to.
PanelViewHost::~PanelViewHost() { remove(); }

bool PanelViewHost::connectDisplay(std::string* reason) {
    if (!display_) display_ = panel::DisplayConnection::open(reason);
    return display_ != nullptr;
}

std::optional<CGSize> PanelViewHost::preferredSize(const std::shared_ptr<AUAudioUnit>&) {
    // Without a display the host shows its generic view: nothing to tell anyone.
    if (!connectDisplay(nullptr)) return std::nullopt;
    return AudioUnitViewController::kPanelSize;
}

std::optional<uint64_t> PanelViewHost::embed(const std::shared_ptr<AUAudioUnit>& unit, uint64_t parent, Error* error) {
    remove();
    std::string problem;
    if (!connectDisplay(&problem)) {
        panel::reportCannotOpenWindow(problem);
        setError(error, "PanelViewHost", -1, "no X display to show the panel on: " + problem);
        return std::nullopt;
    }
    // The unit's own controller, as a host gets it; it builds the panel when its view loads.
    auto controller = panel::requestViewController(unit);
    if (!controller) {
        setError(error, "PanelViewHost", -2, "the unit offers no panel");
        return std::nullopt;
    }
    if (!app_) {
        XSetErrorHandler(reportXError);
        app_ = std::make_unique<DGL::Application>(true);
    }
    window_ = std::make_unique<panel::PanelWindow>(*app_, static_cast<uintptr_t>(parent), 1.0, std::move(controller));
    return window_->nativeWindowHandle();
}

void PanelViewHost::remove() {
    if (!window_) return;
    auto* display = static_cast<Display*>(window_->connection());
    window_.reset();
    // The window system hears of the closed window on the loop's next turn.
    app_->idle();
    // The host destroys its window once it hears that the panel is down: by then the server has
    // handled the teardown, so it never meets a window that is already gone.
    if (display != nullptr) XSync(display, False);
}

void PanelViewHost::waitForEvents(int wakeFd, std::optional<std::chrono::nanoseconds> timeout) {
    panel::waitForWindowEvents(window_ ? window_->connection() : nullptr, wakeFd, timeout);
}

void PanelViewHost::idle() {
    if (!window_) return;
    app_->idle();
    window_->idle();
}

}  // namespace tolvane::studio
