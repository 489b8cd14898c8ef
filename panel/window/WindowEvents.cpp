#include "panel/window/WindowEvents.h"

#include "platform/os/Waiting.h"

#include <cairo-xlib.h>

#include <algorithm>

// Apart from the window's code, whose toolkit names clash with Xlib's.
namespace tolvane::panel {

void* windowConnectionOf(cairo_t* context) {
    if (context == nullptr) return nullptr;
    cairo_surface_t* target = cairo_get_target(context);
    if (target == nullptr || cairo_surface_get_type(target) != CAIRO_SURFACE_TYPE_XLIB) return nullptr;
    return cairo_xlib_surface_get_display(target);
}

void waitForWindowEvents(void* connection, int wakeFd, std::optional<std::chrono::nanoseconds> timeout) {
    auto* display = static_cast<Display*>(connection);
    pollfd entries[2] = {{wakeFd, POLLIN, 0}, {-1, POLLIN, 0}};
    nfds_t count = 1;
    if (display != nullptr) {
        // Flushes, then reads what has arrived without blocking: a reply read earlier may have
        // brought events along, and they would not make the socket readable again.
        if (XEventsQueued(display, QueuedAfterFlush) > 0) return;
        entries[1].fd = ConnectionNumber(display);
        count = 2;
    } else {
        timeout = std::min<std::chrono::nanoseconds>(timeout.value_or(kUnknownConnectionWait), kUnknownConnectionWait);
    }
    (void)pollFor(entries, count, timeout);
}

}  // namespace tolvane::panel
