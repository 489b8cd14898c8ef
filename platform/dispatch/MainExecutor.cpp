#include "platform/dispatch/MainExecutor.h"

void ManualMainExecutor::post(std::function<void()> work) { postAfter(std::chrono::nanoseconds{0}, std::move(work)); }

void ManualMainExecutor::postAfter(std::chrono::nanoseconds delay, std::function<void()> work) {
    if (!work) return;
    // Notified under the lock: once the main thread has taken the work, a poster on another
    // thread is done with this executor, so the executor may go right after.
    std::lock_guard lock(mutex_);
    const auto due = now_ + std::max(delay, std::chrono::nanoseconds{0});
    work_.emplace(std::pair{due, sequence_++}, std::move(work));
    posted_.notify_all();
}

std::chrono::nanoseconds ManualMainExecutor::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

bool ManualMainExecutor::runOneDue() {
    std::function<void()> work;
    {
        std::lock_guard lock(mutex_);
        const auto first = work_.begin();
        if (first == work_.end() || first->first.first > now_) return false;
        work = std::move(first->second);
        work_.erase(first);
    }
    work();
    return true;
}

bool ManualMainExecutor::hasTimers() const {
    std::lock_guard lock(mutex_);
    return !work_.empty();
}

std::size_t ManualMainExecutor::runPending() {
    std::size_t ran = 0;
    while (runOneDue()) ++ran;
    return ran;
}

void ManualMainExecutor::advance(std::chrono::nanoseconds duration) {
    std::chrono::nanoseconds target;
    {
        std::lock_guard lock(mutex_);
        target = now_ + duration;
    }
    for (;;) {
        runPending();
        std::lock_guard lock(mutex_);
        const auto first = work_.begin();
        if (first == work_.end() || first->first.first > target) {
            now_ = target;
            return;
        }
        now_ = first->first.first;
    }
}

bool ManualMainExecutor::runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        runPending();
        if (done()) return true;
        std::unique_lock lock(mutex_);
        const bool due = !work_.empty() && work_.begin()->first.first <= now_;
        if (!due && posted_.wait_until(lock, deadline) == std::cv_status::timeout) {
            lock.unlock();
            runPending();
            return done();
        }
    }
}

bool ManualMainExecutor::runUntilWithTimers(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    for (;;) {
        if (runUntil(done, std::chrono::milliseconds{0})) return true;
        if (hasTimers()) {
            std::chrono::nanoseconds next;
            {
                std::lock_guard lock(mutex_);
                next = work_.begin()->first.first;
            }
            advance(next - now());
            continue;
        }
        if (!runUntil([this, &done] { return done() || hasTimers(); }, limit)) return false;
    }
}
