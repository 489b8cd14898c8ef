#include "platform/appkit/NSWorkspace.h"

#include "platform/foundation/URL.h"

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr const char* kErrorDomain = "NSWorkspace";

void reapInBackground(pid_t pid) {
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

}  // namespace

NSWorkspace& NSWorkspace::sharedWorkspace() {
    static NSWorkspace workspace("xdg-open");
    return workspace;
}

NSWorkspace::NSWorkspace(std::string opener) : opener_(std::move(opener)) {}

bool NSWorkspace::openURL(std::string_view url, Error* error) const {
    const std::optional<URL> parsed = URL::fromString(url);
    if (!parsed || !parsed->isWeb()) {
        setError(error, kErrorDomain, -1, "Only http and https addresses are opened, not \"" + std::string(url) + "\"");
        return false;
    }
    std::string argument = parsed->absoluteString;
    char* argv[] = {const_cast<char*>(opener_.c_str()), argument.data(), nullptr};

    // The opener must not keep the caller's standard input.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, opener_.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        setError(error, kErrorDomain, -2, "Cannot start " + opener_ + ": " + std::strerror(spawned));
        return false;
    }
    reapInBackground(pid);
    return true;
}
