#pragma once

#include "platform/dispatch/MainExecutor.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

// The main thread's loop: work posted from any thread runs on the thread that runs the loop, in
// the order it was posted; work posted with a delay runs once the monotonic clock has moved that
// far. While a loop exists, the main queue (MainQueue::async) wakes it and is drained by it, so
// there is one main thread for both.
//
// run() serves until quit(). A toolkit with an event loop of its own instead runs runPending()
// and its own events in turn, and sleeps in waitForWork() with a waiter that also watches the
// toolkit's connection.
class MainLoop final : public MainExecutor {
public:
    using Clock = std::chrono::steady_clock;

    MainLoop();
    ~MainLoop();
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;

    // Any thread.
    void post(std::function<void()> work) override;
    void postAfter(std::chrono::nanoseconds delay, std::function<void()> work) override;
    void quit();

    // Runs until quit() is called; the calling thread is the main thread meanwhile.
    void run();
    // Runs until `done` holds after an item, or until `limit` has passed. Returns whether `done` held.
    bool runUntil(const std::function<bool()>& done, std::chrono::nanoseconds limit);

    // Runs the work that is due (posted before the call) and the main queue's items; returns how
    // many ran.
    std::size_t runPending();
    // How long until the next delayed work is due (zero when some is due); nothing when none waits.
    std::optional<std::chrono::nanoseconds> nextDueIn() const;
    int fileDescriptor() const;

    // Sleeps until `wakeFd` is readable (work was posted) or `timeout` has passed (none: no
    // limit), and returns earlier when the toolkit's own connection has events.
    using Waiter = std::function<void(int wakeFd, std::optional<std::chrono::nanoseconds> timeout)>;
    // Sleeps until work is posted or the next delayed work is due (or `waiter` returns earlier),
    // then clears the wake signal. Call it after runPending(): a post made after that call always
    // ends the sleep.
    void waitForWork(const Waiter& waiter);

private:
    bool runOneDue(uint64_t postedBefore);
    void waitUntil(std::optional<Clock::time_point> until, const Waiter& waiter);

    // The loop's wake-up counter; shared with the main queue's wake handler, which a posting
    // thread may still hold for a moment after the loop is gone.
    struct WakeSignal;
    std::shared_ptr<WakeSignal> wake_;
    std::atomic<bool> quitRequested_{false};
    mutable std::mutex mutex_;
    uint64_t sequence_ = 0;
    // Keyed by (due time, posting order): equal times run in the order they were posted.
    std::map<std::pair<Clock::time_point, uint64_t>, std::function<void()>> work_;
};
