#pragma once

#include <cairo.h>

#include <chrono>
#include <optional>

namespace tolvane::panel {

// The window-system connection a Cairo context of one of this process's windows draws through
// (an Xlib Display), or null for a context that draws elsewhere. DGL keeps its connection to
// itself, so a window learns it when it draws.
void* windowConnectionOf(cairo_t* context);

// How long a loop that does not know its connection yet sleeps at most: events may be waiting on it.
inline constexpr std::chrono::milliseconds kUnknownConnectionWait{10};

// Sleeps until `connection` has events for this process, `wakeFd` is readable, or `timeout` has
// passed (none: no limit). Sends the requests the connection still buffers first, and returns at
// once when events already wait in its queue; the caller then dispatches them. With no connection
// known, sleeps on `wakeFd` for at most kUnknownConnectionWait.
void waitForWindowEvents(void* connection, int wakeFd, std::optional<std::chrono::nanoseconds> timeout);

}  // namespace tolvane::panel
