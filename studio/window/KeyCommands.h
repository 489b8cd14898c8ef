#pragma once

#include <cstdint>

namespace tolvane::studio {

// Makes Ctrl+`letter` reach `window` (a top-level X11 window, over the Xlib connection
// `connection`) whichever of its descendants has the keyboard: its own children (sheet, alerts)
// and the effect's view, which another process owns and which would take the key otherwise.
// Caps Lock and Num Lock do not matter. False for a letter the keyboard has no key for.
bool grabControlKey(void* connection, uintptr_t window, char letter);

}  // namespace tolvane::studio
