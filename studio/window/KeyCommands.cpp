#include "studio/window/KeyCommands.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <cctype>
#include <initializer_list>

// Apart from the window's code, whose toolkit names clash with Xlib's.
namespace tolvane::studio {

namespace {

// The modifier that Num Lock sets, if any key is Num Lock.
unsigned numLockMask(Display* display) {
    const KeyCode numLock = XKeysymToKeycode(display, XK_Num_Lock);
    XModifierKeymap* map = XGetModifierMapping(display);
    if (map == nullptr) return 0;
    unsigned mask = 0;
    for (int modifier = 0; numLock != 0 && modifier < 8; ++modifier) {
        for (int k = 0; k < map->max_keypermod; ++k) {
            if (map->modifiermap[modifier * map->max_keypermod + k] == numLock) mask = 1u << static_cast<unsigned>(modifier);
        }
    }
    XFreeModifiermap(map);
    return mask;
}

}  // namespace

// Another client can hold the same grab only on the same window, and this window is the
// caller's own: the server never refuses it.
bool grabControlKey(void* connection, uintptr_t window, char letter) {
    auto* display = static_cast<Display*>(connection);
    const char name[2] = {static_cast<char>(std::tolower(static_cast<unsigned char>(letter))), '\0'};
    const KeyCode code = XKeysymToKeycode(display, XStringToKeysym(name));
    if (code == 0) return false;
    const unsigned numLock = numLockMask(display);
    // Reported to the window itself (not to the child under the pointer), so its own key handling
    // sees the command.
    for (const unsigned locks : {0u, static_cast<unsigned>(LockMask), numLock, LockMask | numLock}) {
        XGrabKey(display, code, ControlMask | locks, static_cast<Window>(window), False, GrabModeAsync, GrabModeAsync);
    }
    XFlush(display);
    return true;
}

}  // namespace tolvane::studio
