#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

// Hand-off of loaded resources (model players, sample beds, impulse responses) from the loading
// threads to the render thread.
//
// A ResourceSlot holds at most one object. Loaders publish a new object through a
// ResourcePublisher; the render thread only reads the raw pointer (get()), once per block, and
// never owns anything, so it can neither free an object nor drop its last reference. An object
// that a publish replaces is retired and freed later on a loading thread, once no render call that
// may have read it is still running.
template <class T>
class ResourceSlot {
public:
    ResourceSlot() = default;
    ResourceSlot(const ResourceSlot&) = delete;
    ResourceSlot& operator=(const ResourceSlot&) = delete;

    // The object in the slot, or null. Safe on the render thread.
    T* get() const noexcept { return live_.load(std::memory_order_seq_cst); }
    bool empty() const noexcept { return get() == nullptr; }

    // The owning reference, for loaders that share one object between slots. Loader side only.
    const std::shared_ptr<T>& owner() const { return owner_; }

private:
    friend class ResourcePublisher;

    std::atomic<T*> live_{nullptr};
    std::shared_ptr<T> owner_;
};

// Tracks render calls and frees retired objects only when no render call that began before
// their replacement can still be using them. One render thread at a time per publisher.
class ResourcePublisher {
public:
    ResourcePublisher() = default;
    ~ResourcePublisher();
    ResourcePublisher(const ResourcePublisher&) = delete;
    ResourcePublisher& operator=(const ResourcePublisher&) = delete;

    // Render thread: bracket every render call that reads slots. Lock- and allocation-free.
    void beginRender() noexcept { epoch_.fetch_add(1, std::memory_order_seq_cst); }
    void endRender() noexcept { epoch_.fetch_add(1, std::memory_order_seq_cst); }

    // Loader side: puts `value` (possibly null) into the slot and retires what it held.
    template <class T>
    void publish(ResourceSlot<T>& slot, std::type_identity_t<std::shared_ptr<T>> value) {
        T* raw = value.get();
        std::shared_ptr<T> old = std::exchange(slot.owner_, std::move(value));
        slot.live_.exchange(raw, std::memory_order_seq_cst);
        retire(std::move(old));
    }

    // Loader side: frees what no render call can still hold. Never blocks.
    void collect();
    // Frees everything, waiting for a render call in progress to end first. Not for the render thread.
    void collectAll();

    // For tests: objects waiting to be freed.
    std::size_t retiredCount() const;

private:
    struct Retired {
        std::shared_ptr<const void> object;
        uint64_t epoch;  // odd: a render call was running when it was replaced
    };

    void retire(std::shared_ptr<const void> object);
    // Moves the objects that are safe to free at epoch `now` out of the list (caller holds the mutex).
    std::vector<Retired> takeSafe(uint64_t now);

    std::atomic<uint64_t> epoch_{0};
    mutable std::mutex mutex_;
    std::vector<Retired> retired_;
};

// RAII bracket for one render call.
class RenderCallScope {
public:
    explicit RenderCallScope(ResourcePublisher& publisher) noexcept : publisher_(publisher) { publisher_.beginRender(); }
    ~RenderCallScope() { publisher_.endRender(); }
    RenderCallScope(const RenderCallScope&) = delete;
    RenderCallScope& operator=(const RenderCallScope&) = delete;

private:
    ResourcePublisher& publisher_;
};
