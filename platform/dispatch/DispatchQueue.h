#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

enum class DispatchQoS { userInteractive, userInitiated, defaultQoS, utility, background };

// A serial queue: work items run one at a time, in the order they were queued, on the queue's
// own thread.
//
// async() is safe to call from a real-time thread: it takes no lock, allocates nothing and only
// wakes the worker. Each item's captured state lives in fixed storage inside a pre-allocated
// ring, so a callable must fit kInlineStorage bytes (checked at compile time).
//
// The worker's priority follows the quality of service: user-initiated and lower classes run
// on the batch policy with a positive nice value, below any audio thread (see niceIncrementFor).
//
// Destroying the queue discards items that have not started and waits for the running one,
// unless the destructor runs on the queue's own thread (an item dropped the last owner of the
// queue's owner): then the worker finishes that item and exits on its own.
class DispatchQueue {
public:
    static constexpr std::size_t kCapacity = 256;
    static constexpr std::size_t kInlineStorage = 48;

    explicit DispatchQueue(std::string label, DispatchQoS qos = DispatchQoS::defaultQoS);
    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    const std::string& label() const;
    DispatchQoS qos() const;

    // Queues fn. Returns false, dropping fn, when kCapacity items are already pending.
    template <class F>
    bool async(F&& fn) {
        using Fn = std::decay_t<F>;
        static_assert(sizeof(Fn) <= kInlineStorage, "work item captures too much for the inline storage");
        static_assert(alignof(Fn) <= alignof(std::max_align_t), "work item is over-aligned");
        static_assert(std::is_nothrow_move_constructible_v<Fn>, "work items must be nothrow-movable");
        Task task;
        new (task.storage) Fn(std::forward<F>(fn));
        task.invoke = [](void* p) { (*static_cast<Fn*>(p))(); };
        task.destroy = [](void* p) { static_cast<Fn*>(p)->~Fn(); };
        task.relocate = [](void* from, void* to) noexcept {
            new (to) Fn(std::move(*static_cast<Fn*>(from)));
            static_cast<Fn*>(from)->~Fn();
        };
        return push(task);
    }

    // Runs fn on the queue and returns once it has run (after everything queued before it).
    // Not for real-time threads. Runs fn directly when called on the queue's own thread.
    void sync(const std::function<void()>& fn);

    // True when called from this queue's worker thread.
    bool isCurrent() const;

    // A type-erased work item with inline storage (used by the implementation).
    struct Task {
        alignas(std::max_align_t) unsigned char storage[kInlineStorage];
        void (*invoke)(void*) = nullptr;
        void (*destroy)(void*) = nullptr;
        void (*relocate)(void* from, void* to) noexcept = nullptr;
    };

private:
    // Moves the task into the ring (relocating its storage). On failure destroys it.
    bool push(Task& task) noexcept;

    struct Shared;
    std::shared_ptr<Shared> shared_;
};

// The main queue: work queued from any thread (not real-time) and run by whoever drives the UI
// loop, or by hand in tests through drain().
class MainQueue {
public:
    static void async(std::function<void()> fn);
    // Runs every item queued so far, and the items those queue, on the calling thread, which
    // becomes the main thread. Returns how many ran.
    static std::size_t drain();
    static bool isMainThread();
    // Called (on the posting thread) after each async, so that a main loop can wake up and
    // drain; none by default.
    static void setWakeHandler(std::function<void()> wake);
    // Runs one main-thread item, reporting instead of propagating what it throws, as drain does.
    static void runReporting(const std::function<void()>& item);
};
