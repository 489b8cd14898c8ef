#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>

namespace tolvane::test {

// Runs `body` in a forked copy of this process, which exits with what it returns, and waits for
// it up to `limit`. The exit code, or nothing when the child ended otherwise or had to be killed
// at the deadline: an operation that may hang for ever cannot hang the test with it.
inline std::optional<int> exitCodeOfForkedRun(const std::function<int()>& body,
                                              std::chrono::seconds limit = std::chrono::seconds(60)) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    if (pid < 0) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return std::nullopt;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!WIFEXITED(status)) return std::nullopt;
    return WEXITSTATUS(status);
}

}  // namespace tolvane::test
