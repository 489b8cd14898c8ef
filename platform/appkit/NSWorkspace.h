#pragma once

#include "platform/foundation/Error.h"

#include <string>
#include <string_view>

// Opens web pages in the user's browser through the desktop's URL opener (xdg-open). The opener
// is started directly with posix_spawn and gets the address as its only argument: no shell ever
// sees it, so nothing in a link can run a command.
class NSWorkspace {
public:
    // The workspace over "xdg-open" from PATH.
    static NSWorkspace& sharedWorkspace();

    // A workspace over another opener program (looked up on PATH when it has no slash).
    explicit NSWorkspace(std::string opener);

    // Starts the opener for `url` and returns without waiting for it (a thread of its own reaps
    // it). Only http and https URLs are opened; false, with `error` filled when given, for any
    // other text or when the opener cannot be started.
    bool openURL(std::string_view url, Error* error = nullptr) const;

private:
    std::string opener_;
};
