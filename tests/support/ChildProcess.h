#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/ProcessStat.h"

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace tolvane::test {

// A program running beside the test, talked to line by line: the test writes to its standard
// input and reads its standard output. Destroying it closes its input, then kills it if it has
// not ended within a few seconds, and reaps it.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& arguments) {
        if (arguments.empty()) throw std::invalid_argument("ChildProcess needs a program");
        int toChild[2];
        int fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
        std::vector<char*> argv;
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(toChild[0]);
        close(fromChild[1]);
        input_ = toChild[1];
        output_ = fromChild[0];
        if (spawned != 0) {
            pid_ = -1;
            throw std::runtime_error("cannot run " + arguments[0]);
        }
    }

    ~ChildProcess() {
        closeInput();
        if (pid_ > 0 && !waitForExit(std::chrono::seconds(5))) {
            kill(pid_, SIGKILL);
            waitForExit(std::chrono::seconds(5));
        }
        close(output_);
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    void writeLine(const std::string& line) {
        const std::string text = line + "\n";
        if (write(input_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            throw std::runtime_error("cannot write to the child");
        }
    }

    void closeInput() {
        if (input_ >= 0) close(input_);
        input_ = -1;
    }

    // The next line the child prints, without its line feed; nothing when it ends or stays
    // silent for `limit`.
    std::optional<std::string> readLine(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (const std::size_t end = buffered_.find('\n'); end != std::string::npos) {
                std::string line = buffered_.substr(0, end);
                buffered_.erase(0, end + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd ready{output_, POLLIN, 0};
            if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[4096];
            const ssize_t n = read(output_, chunk, sizeof chunk);
            if (n == 0) return std::nullopt;
            if (n < 0) {
                if (errno == EINTR) continue;
                return std::nullopt;
            }
            buffered_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // Kills the child at once (as a crash would) and reaps it.
    void killNow() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitForExit(std::chrono::seconds(5));
    }

    // Waits for the child to end; its exit status, or nothing when it did not end in time or
    // was killed by a signal.
    std::optional<int> wait(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        waitForExit(limit);
        return exitCode_;
    }

private:
    bool waitForExit(std::chrono::milliseconds limit) {
        if (pid_ <= 0) return true;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            int status = 0;
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                if (WIFEXITED(status)) exitCode_ = WEXITSTATUS(status);
                pid_ = -1;
                return true;
            }
            if (done < 0 && errno != EINTR) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            usleep(2000);
        }
    }

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string buffered_;
    std::optional<int> exitCode_;
};

// Stops `pid` with SIGSTOP and, since that lands on each thread in its own time, waits (up to
// 10 s) until every thread of the process shows as stopped: one still running could read.
inline bool stopProcess(pid_t pid) {
    if (kill(pid, SIGSTOP) != 0) return false;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    const auto allStopped = [&] {
        std::error_code ec;
        bool any = false;
        for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
            const auto stat = readProcessStat(task.path() / "stat");
            if (!stat || stat->state != 'T') return false;
            any = true;
        }
        return any && !ec;
    };
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!allStopped()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace tolvane::test
