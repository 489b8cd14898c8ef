#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <utility>

// Where the standalone application's main-thread work runs: work posted from any thread runs
// later on the main thread, in the order it was posted; work posted with a delay runs once the
// executor's clock has moved that far. The application's event loop is one executor; tests
// drive a ManualMainExecutor, whose clock moves only when they say so.
class MainExecutor {
public:
    virtual ~MainExecutor() = default;
    virtual void post(std::function<void()> work) = 0;
    virtual void postAfter(std::chrono::nanoseconds delay, std::function<void()> work) = 0;
};

// A main executor on a virtual clock. Posting is thread-safe; running happens only inside the
// calls below, on the calling thread.
class ManualMainExecutor final : public MainExecutor {
public:
    void post(std::function<void()> work) override;
    void postAfter(std::chrono::nanoseconds delay, std::function<void()> work) override;

    // The virtual time since construction.
    std::chrono::nanoseconds now() const;

    // Runs everything due at the current virtual time, including work that it posts; returns
    // how many items ran.
    std::size_t runPending();

    // Moves the clock forward by `duration`, stopping at each due item on the way to run it.
    void advance(std::chrono::nanoseconds duration);

    // Runs due work, waiting in real time (up to `limit`) for work posted from other threads,
    // until `done` holds. The virtual clock does not move. Returns whether `done` held.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

    // Runs due work and moves the clock to each next timer, until `done` holds or nothing is left
    // and nothing arrives within `limit` of real time. Returns whether `done` held.
    bool runUntilWithTimers(const std::function<bool()>& done, std::chrono::milliseconds limit);

private:
    bool runOneDue();
    bool hasTimers() const;

    mutable std::mutex mutex_;
    std::condition_variable posted_;
    std::chrono::nanoseconds now_{0};
    uint64_t sequence_ = 0;
    // Keyed by (due time, posting order), so equal times run in the order they were posted.
    std::map<std::pair<std::chrono::nanoseconds, uint64_t>, std::function<void()>> work_;
};
