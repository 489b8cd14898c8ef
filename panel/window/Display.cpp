#include "panel/window/PanelWindow.h"

#include <X11/Xlib.h>

#include <cstdlib>

// Apart from the window's code, whose toolkit names clash with Xlib's.
namespace tolvane::panel {

bool displayAvailable() {
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') return false;
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return false;
    XCloseDisplay(display);
    return true;
}

}  // namespace tolvane::panel
