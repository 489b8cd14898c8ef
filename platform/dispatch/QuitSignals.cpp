#include "platform/dispatch/QuitSignals.h"

#include <atomic>
#include <cerrno>
#include <cstdint>

#include <unistd.h>

namespace {

// What the handler reaches: lock-free atomics only, as a signal handler may touch nothing else.
std::atomic<int> wakeDescriptor{-1};
std::atomic<bool> quitRequested{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

void noteQuitRequest(int) {
    const int savedErrno = errno;
    quitRequested.store(true);
    const int fd = wakeDescriptor.load();
    const uint64_t one = 1;
    // A full counter already means "awake".
    if (fd >= 0) (void)!write(fd, &one, sizeof one);
    errno = savedErrno;
}

}  // namespace

QuitSignals::QuitSignals(int wakeFd) {
    quitRequested.store(false);
    wakeDescriptor.store(wakeFd);
    struct sigaction action {};
    action.sa_handler = noteQuitRequest;
    sigemptyset(&action.sa_mask);
    // Interrupted system calls resume: only the loop's wait needs to notice, and the write wakes it.
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, &previousTerm_);
    sigaction(SIGINT, &action, &previousInt_);
}

QuitSignals::~QuitSignals() {
    sigaction(SIGTERM, &previousTerm_, nullptr);
    sigaction(SIGINT, &previousInt_, nullptr);
    wakeDescriptor.store(-1);
}

bool QuitSignals::takeRequest() { return quitRequested.exchange(false); }
