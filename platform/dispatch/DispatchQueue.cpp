#include "platform/dispatch/DispatchQueue.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr std::size_t kCacheLine = 64;
static_assert((DispatchQueue::kCapacity & (DispatchQueue::kCapacity - 1)) == 0, "ring capacity must be a power of two");
constexpr std::size_t kRingMask = DispatchQueue::kCapacity - 1;

void reportThrownItem(const std::string& queueLabel, const char* what) {
    std::fprintf(stderr, "[%s] work item threw: %s\n", queueLabel.c_str(), what);
}

// Runs a work item, reporting instead of propagating what it throws: one failing item must not
// take the worker, and with it every later item, down.
void invokeReporting(const std::string& queueLabel, DispatchQueue::Task& task) {
    try {
        task.invoke(task.storage);
    } catch (const std::exception& e) {
        reportThrownItem(queueLabel, e.what());
    } catch (...) {
        reportThrownItem(queueLabel, "unknown exception");
    }
}

void moveTask(DispatchQueue::Task& from, DispatchQueue::Task& to) noexcept {
    from.relocate(from.storage, to.storage);
    to.invoke = from.invoke;
    to.destroy = from.destroy;
    to.relocate = from.relocate;
    from.invoke = nullptr;
    from.destroy = nullptr;
    from.relocate = nullptr;
}

void destroyTask(DispatchQueue::Task& task) noexcept {
    if (task.destroy) task.destroy(task.storage);
    task.destroy = nullptr;
}

// How far below its creator a class's worker runs, in nice steps. The interactive class keeps
// the creator's priority, and so does the default class, which names none. The classes of
// background work (the model-load queue is user-initiated) run below any audio thread of a host
// that does not schedule its audio in real time: a positive nice value. Raising a priority
// would need privileges a plug-in does not have.
int niceIncrementFor(DispatchQoS qos) {
    switch (qos) {
        case DispatchQoS::userInitiated: return 5;
        case DispatchQoS::utility: return 10;
        case DispatchQoS::background: return 15;
        default: return 0;
    }
}

// For the calling thread only (on Linux the nice value and the policy are per thread). A worker
// also leaves any real-time policy it inherited from a real-time creator: it is never to compete
// with the audio threads. Failures only leave the inherited priority.
void applyQoS(DispatchQoS qos) {
    const int increment = niceIncrementFor(qos);
    if (increment == 0) return;
    const sched_param ordinary{};
    (void)pthread_setschedparam(pthread_self(), SCHED_BATCH, &ordinary);
    const auto tid = static_cast<id_t>(gettid());
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, tid);
    if (errno != 0) return;
    (void)setpriority(PRIO_PROCESS, tid, std::min(current + increment, 19));
}

// Thread names are limited to 15 bytes; the end of a reverse-DNS label is the telling part.
void nameCurrentThread(const std::string& label) {
    constexpr std::size_t kMaxName = 15;
    const std::string name = label.size() > kMaxName ? label.substr(label.size() - kMaxName) : label;
    (void)pthread_setname_np(pthread_self(), name.c_str());
}

}  // namespace

// Everything the worker touches lives here, shared between the queue object and its worker, so
// the worker can finish on its own after the queue object is gone.
struct DispatchQueue::Shared {
    struct alignas(kCacheLine) Cell {
        std::atomic<std::size_t> sequence{0};
        Task task;
    };

    Shared(std::string queueLabel, DispatchQoS queueQoS) : label(std::move(queueLabel)), qos(queueQoS) {
        for (std::size_t i = 0; i < kCapacity; ++i) cells[i].sequence.store(i, std::memory_order_relaxed);
        sem_init(&wake, 0, 0);
    }

    ~Shared() {
        discardPending();
        sem_destroy(&wake);
    }

    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

    // Multi-producer enqueue on per-cell sequence numbers: a cell is free for position p when its
    // sequence equals p, and holds an item for the consumer when it equals p + 1.
    bool tryPush(Task& task) noexcept {
        std::size_t position = enqueuePosition.load(std::memory_order_relaxed);
        for (;;) {
            Cell& cell = cells[position & kRingMask];
            const std::size_t sequence = cell.sequence.load(std::memory_order_acquire);
            const auto difference = static_cast<std::ptrdiff_t>(sequence - position);
            if (difference == 0) {
                if (enqueuePosition.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
                    moveTask(task, cell.task);
                    cell.sequence.store(position + 1, std::memory_order_release);
                    sem_post(&wake);
                    return true;
                }
            } else if (difference < 0) {
                return false;  // the consumer has not freed this cell yet: the ring is full
            } else {
                position = enqueuePosition.load(std::memory_order_relaxed);
            }
        }
    }

    // Single consumer: only the worker (or, once it is gone, the destructor) dequeues.
    bool tryPop(Task& out) noexcept {
        Cell& cell = cells[dequeuePosition & kRingMask];
        if (cell.sequence.load(std::memory_order_acquire) != dequeuePosition + 1) return false;
        moveTask(cell.task, out);
        cell.sequence.store(dequeuePosition + kCapacity, std::memory_order_release);
        ++dequeuePosition;
        return true;
    }

    void discardPending() noexcept {
        Task task;
        while (tryPop(task)) destroyTask(task);
    }

    void waitForWake() noexcept {
        while (sem_wait(&wake) != 0 && errno == EINTR) {
        }
    }

    bool isStopping() const noexcept { return stopping.load(std::memory_order_acquire); }

    void stop() noexcept {
        stopping.store(true, std::memory_order_release);
        sem_post(&wake);
    }

    // Each wake runs everything published so far. A producer that claimed an earlier cell but has
    // not published it yet posts its own wake once it does, so stopping at the gap loses nothing.
    void runUntilStopped() {
        while (!isStopping()) {
            waitForWake();
            Task task;
            while (!isStopping() && tryPop(task)) {
                invokeReporting(label, task);
                destroyTask(task);
            }
        }
    }

    const std::string label;
    const DispatchQoS qos;
    std::array<Cell, kCapacity> cells;
    alignas(kCacheLine) std::atomic<std::size_t> enqueuePosition{0};
    alignas(kCacheLine) std::size_t dequeuePosition = 0;
    std::atomic<bool> stopping{false};
    sem_t wake;
    std::thread worker;
};

namespace {
// The queue whose worker is the calling thread, if any.
thread_local const void* currentQueue = nullptr;
}  // namespace

DispatchQueue::DispatchQueue(std::string label, DispatchQoS qos)
    : shared_(std::make_shared<Shared>(std::move(label), qos)) {
    // The worker keeps its own reference: it may outlive this object when an item destroys it.
    shared_->worker = std::thread([shared = shared_] {
        currentQueue = shared.get();
        nameCurrentThread(shared->label);
        applyQoS(shared->qos);
        shared->runUntilStopped();
        currentQueue = nullptr;
    });
}

DispatchQueue::~DispatchQueue() {
    shared_->stop();
    if (isCurrent()) {
        // Called from inside an item: the worker finishes that item, sees the stop and exits,
        // dropping the last reference to the shared state itself.
        shared_->worker.detach();
    } else {
        shared_->worker.join();
    }
}

const std::string& DispatchQueue::label() const { return shared_->label; }

DispatchQoS DispatchQueue::qos() const { return shared_->qos; }

bool DispatchQueue::isCurrent() const { return currentQueue == shared_.get(); }

bool DispatchQueue::push(Task& task) noexcept {
    if (shared_->tryPush(task)) return true;
    destroyTask(task);
    return false;
}

namespace {
struct SyncCompletion {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::exception_ptr failure;

    void finish(std::exception_ptr thrown) {
        std::lock_guard lock(mutex);
        failure = std::move(thrown);
        finished = true;
        done.notify_one();
    }

    void wait() {
        std::unique_lock lock(mutex);
        done.wait(lock, [this] { return finished; });
    }
};
}  // namespace

void DispatchQueue::sync(const std::function<void()>& fn) {
    if (isCurrent()) {
        fn();
        return;
    }
    SyncCompletion completion;
    auto item = [&fn, &completion]() noexcept {
        std::exception_ptr thrown;
        try {
            fn();
        } catch (...) {
            thrown = std::current_exception();
        }
        completion.finish(thrown);
    };
    // A full ring drains on its own; sync is never called from a real-time thread, so waiting is fine.
    while (!async(item)) std::this_thread::yield();
    completion.wait();
    if (completion.failure) std::rethrow_exception(completion.failure);
}

namespace {
struct MainQueueState {
    std::mutex mutex;
    std::deque<std::function<void()>> items;
    std::shared_ptr<const std::function<void()>> wake;
    std::atomic<std::thread::id> mainThread{};
};

// Until someone drains the main queue, the process's initial thread counts as the main thread.
std::thread::id initialThreadId() {
    static const std::thread::id id = [] {
        return gettid() == getpid() ? std::this_thread::get_id() : std::thread::id{};
    }();
    return id;
}

MainQueueState& mainQueueState() {
    static MainQueueState state;
    return state;
}

bool popMainItem(std::function<void()>& out) {
    MainQueueState& state = mainQueueState();
    std::lock_guard lock(state.mutex);
    if (state.items.empty()) return false;
    out = std::move(state.items.front());
    state.items.pop_front();
    return true;
}

// Records the initial thread while it is still knowable (static initialisation runs there).
const bool initialThreadRecorded = (initialThreadId(), true);
}  // namespace

void MainQueue::async(std::function<void()> fn) {
    if (!fn) return;
    MainQueueState& state = mainQueueState();
    std::shared_ptr<const std::function<void()>> wake;
    {
        std::lock_guard lock(state.mutex);
        state.items.push_back(std::move(fn));
        wake = state.wake;
    }
    if (wake) (*wake)();
}

void MainQueue::setWakeHandler(std::function<void()> wake) {
    MainQueueState& state = mainQueueState();
    auto handler = wake ? std::make_shared<const std::function<void()>>(std::move(wake)) : nullptr;
    std::lock_guard lock(state.mutex);
    state.wake = std::move(handler);
}

std::size_t MainQueue::drain() {
    mainQueueState().mainThread.store(std::this_thread::get_id(), std::memory_order_release);
    std::size_t ran = 0;
    std::function<void()> item;
    while (popMainItem(item)) {
        MainQueue::runReporting(item);
        item = nullptr;
        ++ran;
    }
    return ran;
}

bool MainQueue::isMainThread() {
    (void)initialThreadRecorded;
    const std::thread::id designated = mainQueueState().mainThread.load(std::memory_order_acquire);
    const std::thread::id mainThread = designated == std::thread::id{} ? initialThreadId() : designated;
    return mainThread != std::thread::id{} && mainThread == std::this_thread::get_id();
}

void MainQueue::runReporting(const std::function<void()>& item) {
    try {
        item();
    } catch (const std::exception& e) {
        reportThrownItem("main", e.what());
    } catch (...) {
        reportThrownItem("main", "unknown exception");
    }
}
