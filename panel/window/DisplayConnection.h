#pragma once

#include <memory>
#include <string>

namespace tolvane::panel {

// A connection to the X server that DISPLAY names, held while this process may open windows. An
// X server whose last client leaves resets, and a window's own connection made meanwhile fails:
// a check that connected and left again would reset a server the process is the only client of,
// right before its window connects.
class DisplayConnection {
public:
    // The connection, once the server has also taken (and let go) a second one, as the window's
    // own will be; none, with the reason in words, when DISPLAY is unset, no server answers there
    // or it takes no second client.
    static std::unique_ptr<DisplayConnection> open(std::string* reason);
    ~DisplayConnection();
    DisplayConnection(const DisplayConnection&) = delete;
    DisplayConnection& operator=(const DisplayConnection&) = delete;

private:
    explicit DisplayConnection(void* display) : display_(display) {}
    void* display_;
};

// Tells the user on standard error that no window can open, and why:
// "Tolvane: cannot open a window on DISPLAY <value>: <reason>".
void reportCannotOpenWindow(const std::string& reason);

}  // namespace tolvane::panel
