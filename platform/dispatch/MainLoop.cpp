#include "platform/dispatch/MainLoop.h"

#include "platform/dispatch/DispatchQueue.h"
#include "platform/os/Waiting.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <system_error>

#include <sys/eventfd.h>
#include <unistd.h>

struct MainLoop::WakeSignal {
    WakeSignal() : fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd for the main loop");
    }
    ~WakeSignal() { close(fd); }
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    void raise() const noexcept {
        const uint64_t one = 1;
        // A full counter already means "awake"; nothing else can fail here.
        (void)!write(fd, &one, sizeof one);
    }
    void clear() const noexcept {
        uint64_t count = 0;
        (void)!read(fd, &count, sizeof count);
    }

    const int fd;
};

MainLoop::MainLoop() : wake_(std::make_shared<WakeSignal>()) {
    MainQueue::setWakeHandler([wake = wake_] { wake->raise(); });
}

MainLoop::~MainLoop() { MainQueue::setWakeHandler(nullptr); }

int MainLoop::fileDescriptor() const { return wake_->fd; }

void MainLoop::post(std::function<void()> work) { postAfter(std::chrono::nanoseconds{0}, std::move(work)); }

void MainLoop::postAfter(std::chrono::nanoseconds delay, std::function<void()> work) {
    if (!work) return;
    const auto due = Clock::now() + std::max(delay, std::chrono::nanoseconds{0});
    {
        std::lock_guard lock(mutex_);
        work_.emplace(std::pair{due, sequence_++}, std::move(work));
    }
    wake_->raise();
}

void MainLoop::quit() {
    quitRequested_.store(true);
    wake_->raise();
}

bool MainLoop::runOneDue(uint64_t postedBefore) {
    std::function<void()> work;
    {
        std::lock_guard lock(mutex_);
        const auto first = work_.begin();
        if (first == work_.end() || first->first.first > Clock::now() || first->first.second >= postedBefore) return false;
        work = std::move(first->second);
        work_.erase(first);
    }
    MainQueue::runReporting(work);
    return true;
}

// Only work posted before the call runs: work that posts itself again waits for the next round,
// so a toolkit's own events are not starved.
std::size_t MainLoop::runPending() {
    uint64_t postedBefore = 0;
    {
        std::lock_guard lock(mutex_);
        postedBefore = sequence_;
    }
    std::size_t ran = MainQueue::drain();
    while (runOneDue(postedBefore)) ran += 1 + MainQueue::drain();
    return ran;
}

std::optional<std::chrono::nanoseconds> MainLoop::nextDueIn() const {
    std::lock_guard lock(mutex_);
    if (work_.empty()) return std::nullopt;
    return std::max(std::chrono::nanoseconds{0}, work_.begin()->first.first - Clock::now());
}

void MainLoop::waitForWork(const Waiter& waiter) { waitUntil(std::nullopt, waiter); }

// Sleeps until work is posted, the next delayed item is due, or `until`. The counter is cleared
// before the caller looks for work, so a post made after that always ends the next wait.
void MainLoop::waitUntil(std::optional<Clock::time_point> until, const Waiter& waiter) {
    std::optional<std::chrono::nanoseconds> wait = nextDueIn();
    if (until) {
        const auto left = std::max(std::chrono::nanoseconds{0}, *until - Clock::now());
        wait = wait ? std::min(*wait, left) : left;
    }
    if (waiter) {
        waiter(wake_->fd, wait);
    } else {
        (void)pollReadable(wake_->fd, wait);
    }
    wake_->clear();
}

void MainLoop::run() {
    quitRequested_.store(false);
    while (!quitRequested_.load()) {
        runPending();
        if (quitRequested_.load()) break;
        waitUntil(std::nullopt, {});
    }
}

bool MainLoop::runUntil(const std::function<bool()>& done, std::chrono::nanoseconds limit) {
    const auto until = Clock::now() + limit;
    for (;;) {
        runPending();
        if (done()) return true;
        if (Clock::now() >= until) return false;
        waitUntil(until, {});
    }
}
