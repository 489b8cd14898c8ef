#pragma once

#include <atomic>
#include <thread>

// A small lock for very short critical sections. Non-real-time threads lock it; a real-time
// thread only ever calls try_lock(), which never blocks and never enters the kernel.
// Meets the Lockable requirements, so std::lock_guard and std::unique_lock work with it.
class OSUnfairLock {
public:
    OSUnfairLock() = default;
    OSUnfairLock(const OSUnfairLock&) = delete;
    OSUnfairLock& operator=(const OSUnfairLock&) = delete;

    bool try_lock() noexcept {
        return !locked_.load(std::memory_order_relaxed) && !locked_.exchange(true, std::memory_order_acquire);
    }

    void lock() noexcept {
        for (int spins = 0; !try_lock(); ++spins) {
            if (spins < 64) continue;
            std::this_thread::yield();
        }
    }

    void unlock() noexcept { locked_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> locked_{false};
};
