#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

// Hands immutable objects from a writer to one real-time reader without locks: the writer
// publishes a new object, the reader takes whichever is current for the length of one block.
// An object the writer replaced is retired and freed on the writer's thread once the reader
// no longer holds it, so the reader never waits, allocates or frees.
//
// The reader announces the object it holds (a hazard pointer) and checks that it is still the
// current one; the writer frees only retired objects that the reader does not announce.
// Writer calls must not overlap (one writer thread, or the caller serialises them).
template <class T>
class RealtimeHandoff {
public:
    RealtimeHandoff() = default;
    explicit RealtimeHandoff(std::unique_ptr<T> initial) : current_(initial.release()) {}
    // The reader must be gone.
    ~RealtimeHandoff() {
        delete current_.load();
        for (T* object : retired_) delete object;
    }
    RealtimeHandoff(const RealtimeHandoff&) = delete;
    RealtimeHandoff& operator=(const RealtimeHandoff&) = delete;

    // Reader: the current object, held until release(). Null when nothing was published.
    T* acquire() noexcept {
        T* object = current_.load();
        for (;;) {
            held_.store(object);
            T* again = current_.load();
            if (again == object) return object;
            object = again;
        }
    }
    void release() noexcept { held_.store(nullptr); }

    // Writer: makes `next` current and retires the previous object.
    void publish(std::unique_ptr<T> next) {
        retired_.reserve(retired_.size() + 1);
        if (T* previous = current_.exchange(next.release())) retired_.push_back(previous);
        collect();
    }

    // Writer: frees the retired objects that the reader does not hold.
    void collect() {
        T* held = held_.load();
        std::erase_if(retired_, [held](T* object) {
            if (object == held) return false;
            delete object;
            return true;
        });
    }

    // Writer: waits (up to `limit`) until the reader holds no retired object, then frees them
    // all. False when the reader still held one at the limit; the object stays retired.
    bool collectAll(std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) {
        const auto until = std::chrono::steady_clock::now() + limit;
        for (;;) {
            collect();
            if (retired_.empty()) return true;
            if (std::chrono::steady_clock::now() >= until) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }

    // Writer: the current object (the writer's own view; the reader may still hold an older one).
    T* current() const { return current_.load(); }
    std::size_t retiredCount() const { return retired_.size(); }

private:
    std::atomic<T*> current_{nullptr};
    std::atomic<T*> held_{nullptr};
    std::vector<T*> retired_;
};
