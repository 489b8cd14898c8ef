#include "panel/window/DisplayConnection.h"

#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>

// Apart from the window's code, whose toolkit names clash with Xlib's.
namespace tolvane::panel {

namespace {

const char* displayVariable() {
    const char* name = std::getenv("DISPLAY");
    return name != nullptr && *name != '\0' ? name : nullptr;
}

}  // namespace

std::unique_ptr<DisplayConnection> DisplayConnection::open(std::string* reason) {
    const auto fail = [reason](const char* why) {
        if (reason != nullptr) *reason = why;
        return nullptr;
    };
    if (displayVariable() == nullptr) return fail("DISPLAY is not set");
    Display* kept = XOpenDisplay(nullptr);
    if (kept == nullptr) return fail("no X server answers there");
    // The window connects on its own; a server at its client limit would refuse it, and the
    // toolkit does not survive that.
    Display* probe = XOpenDisplay(nullptr);
    if (probe == nullptr) {
        XCloseDisplay(kept);
        return fail("the X server takes no further client");
    }
    XCloseDisplay(probe);
    return std::unique_ptr<DisplayConnection>(new DisplayConnection(kept));
}

DisplayConnection::~DisplayConnection() { XCloseDisplay(static_cast<Display*>(display_)); }

void reportCannotOpenWindow(const std::string& reason) {
    const char* name = displayVariable();
    std::fprintf(stderr, "Tolvane: cannot open a window on DISPLAY %s: %s\n", name != nullptr ? name : "(unset)",
                 reason.c_str());
    std::fflush(stderr);
}

}  // namespace tolvane::panel
