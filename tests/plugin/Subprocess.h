#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace tolvane::test {

struct ProcessResult {
    int exitCode = -1;  // -1 when the program could not run or did not exit normally
    std::string output;  // standard output and standard error, interleaved
};

// Runs a program (looked up on PATH) with the test's environment and waits for it.
inline ProcessResult runProcess(const std::vector<std::string>& arguments) {
    if (arguments.empty()) throw std::invalid_argument("runProcess needs a program");
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", 0, 0);

    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);

    ProcessResult result;
    char chunk[4096];
    for (ssize_t n; (n = read(pipeEnds[0], chunk, sizeof chunk)) != 0;) {
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        result.output.append(chunk, static_cast<std::size_t>(n));
    }
    close(pipeEnds[0]);
    if (spawned != 0) {
        result.output = "cannot run " + arguments[0];
        return result;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}

// True when the program is on PATH.
inline bool programAvailable(const std::string& name) {
    return runProcess({"sh", "-c", "command -v " + name}).exitCode == 0;
}

}  // namespace tolvane::test
