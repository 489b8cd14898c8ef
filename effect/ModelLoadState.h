#pragma once

#include <atomic>
#include <cstdint>
#include <set>

// Which resource identifiers (effect modes 0, 1, 2, 5 and 100 for the crackle beds) are loaded
// and which are loading. Lives inside the unit's model-load lock; every call needs the lock held,
// except isReadyLockFree.
//
// `generation` counts resets: a load that began before a reset must not mark its identifier
// ready afterwards, since the reset emptied the slots it filled.
//
// The render thread must never read "not ready" for a loaded identifier just because a loader
// holds the lock, so every change is mirrored into an atomic bit set it reads without the lock.
// An identifier's bit is set only after its load has finished and cleared before its resources
// are released (the release that unloads them comes after the reset or forget that clears it).
struct ModelLoadState {
    std::set<int64_t> ready;
    std::set<int64_t> loading;
    uint64_t generation = 0;

    bool isReady(int64_t id) const { return ready.count(id) != 0; }

    // Any thread, without the lock: ready as of the last change a loader published.
    bool isReadyLockFree(int64_t id) const noexcept {
        const uint64_t bit = readyBit(id);
        return bit != 0 && (readyMask_.load(std::memory_order_acquire) & bit) != 0;
    }

    bool beginLoading(int64_t id) {
        if (ready.count(id) || loading.count(id)) return false;
        loading.insert(id);
        return true;
    }

    // The load of `id` that began in generation `begunIn` has run to its end.
    void finish(int64_t id, uint64_t begunIn) {
        loading.erase(id);
        if (begunIn == generation) ready.insert(id);
        publish();
    }

    void reset() {
        ready.clear();
        loading.clear();
        ++generation;
        publish();
    }

    void forget(int64_t id) {
        ready.erase(id);
        loading.erase(id);
        publish();
    }

    // Identifiers 0 to 62 and the crackle beds' 100 have a bit; no other identifier names a resource.
    static constexpr uint64_t readyBit(int64_t id) noexcept {
        if (id == 100) return uint64_t{1} << 63;
        return id >= 0 && id < 63 ? uint64_t{1} << id : 0;
    }

private:
    void publish() noexcept {
        uint64_t mask = 0;
        for (const int64_t id : ready) mask |= readyBit(id);
        readyMask_.store(mask, std::memory_order_release);
    }

    std::atomic<uint64_t> readyMask_{0};
};
