#pragma once

#include "platform/audiotoolbox/AUAudioUnit.h"
#include "platform/coreaudiokit/AUViewController.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace remote {

// What an extension can show of its unit inside a host's window. The service calls it on the
// extension's main thread only.
class ExtensionViewHost {
public:
    virtual ~ExtensionViewHost() = default;
    // The view's preferred size, or none when there is no view here (no display, say).
    virtual std::optional<CGSize> preferredSize(const std::shared_ptr<AUAudioUnit>& unit) = 0;
    // Shows the view as a child window of the host's X11 window `parent`; the child window's
    // id, or none with the reason.
    virtual std::optional<uint64_t> embed(const std::shared_ptr<AUAudioUnit>& unit, uint64_t parent, Error* error) = 0;
    virtual void remove() = 0;
    // Called on each turn of the main loop while a view is shown (event handling, redraws).
    virtual void idle() = 0;
    // While a view is shown, the main loop sleeps here between turns: until the view's window
    // system has events, `wakeFd` is readable (work arrived), or `timeout` has passed (none: no
    // limit). The default sleeps on `wakeFd` alone.
    virtual void waitForEvents(int wakeFd, std::optional<std::chrono::nanoseconds> timeout);
};

// What the extension executable was started with.
struct ExtensionArguments {
    int socketFd = -1;
    // The channel count of the unit's buses at start (the component's variant), or 0 to keep the unit's own.
    uint32_t channels = 0;
};

// Parses "--serve-fd N" and "--channels N"; none for anything else.
std::optional<ExtensionArguments> parseExtensionArguments(int argc, char** argv);

// Serves `unit` over the control socket until the host closes it: describes the unit, applies
// the host's parameter values, contextName, formats and allocations, renders from the shared
// channel on a thread of its own, and reports the unit's own changes back. Runs the calling
// thread as the extension's main thread (the platform's main queue is drained there). Returns
// the process's exit status.
int serveAudioUnit(const ExtensionArguments& arguments, std::shared_ptr<AUAudioUnit> unit, ExtensionViewHost* views);

// The extension executable's whole main: parses the arguments, makes the unit with `makeUnit`,
// sets the buses' channel count, and serves it. `makeViews` may be empty (no view).
int extensionMain(int argc, char** argv, const std::function<std::shared_ptr<AUAudioUnit>(Error*)>& makeUnit,
                  const std::function<std::unique_ptr<ExtensionViewHost>()>& makeViews);

}  // namespace remote
