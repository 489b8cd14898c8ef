#include "platform/dispatch/DispatchQueue.h"

#include "tests/support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// A one-shot signal; the generous wait only turns a deadlock into a failure instead of a hang.
class Signal {
public:
    void notify() {
        std::lock_guard lock(mutex_);
        set_ = true;
        changed_.notify_all();
    }
    bool waitFor(std::chrono::seconds limit = 30s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return set_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool set_ = false;
};

// Holds the worker inside one item until released, so the test controls what is pending.
class Gate {
public:
    void block(DispatchQueue& queue) {
        ASSERT_TRUE(queue.async([this] {
            entered_.notify();
            while (!open_.load(std::memory_order_acquire)) std::this_thread::yield();
        }));
        ASSERT_TRUE(entered_.waitFor());
    }
    void open() { open_.store(true, std::memory_order_release); }

private:
    Signal entered_;
    std::atomic<bool> open_{false};
};

// Counts live instances, to see that every queued capture is destroyed exactly once.
struct Tracked {
    static inline std::atomic<int> alive{0};
    Tracked() { ++alive; }
    Tracked(Tracked&&) noexcept { ++alive; }
    Tracked(const Tracked&) { ++alive; }
    ~Tracked() { --alive; }
};

TEST(DispatchQueueTest, RunsItemsInOrderOnOneOtherThread) {
    DispatchQueue queue("test.fifo");
    constexpr int kItems = 600;  // more than the ring holds, so cells are reused
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::vector<bool> current;
    for (int i = 0; i < kItems; ++i) {
        while (!queue.async([&, i] {
            order.push_back(i);
            threads.push_back(std::this_thread::get_id());
            current.push_back(queue.isCurrent());
        })) {
            std::this_thread::yield();
        }
    }
    queue.sync([] {});
    ASSERT_EQ(order.size(), static_cast<std::size_t>(kItems));
    for (int i = 0; i < kItems; ++i) EXPECT_EQ(order[i], i);
    for (const auto& id : threads) EXPECT_EQ(id, threads.front());
    EXPECT_NE(threads.front(), std::this_thread::get_id());
    for (bool c : current) EXPECT_TRUE(c);
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_EQ(queue.label(), "test.fifo");
}

TEST(DispatchQueueTest, ConcurrentProducersKeepEachProducersOrderAndLoseNothing) {
    DispatchQueue queue("test.producers", DispatchQoS::utility);
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 5000;
    std::array<std::vector<int>, kProducers> seen;  // written by the worker only
    std::atomic<int> running{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                while (!queue.async([&seen, &running, p, i] {
                    if (running.fetch_add(1) != 0) ADD_FAILURE() << "two items ran at once";
                    seen[p].push_back(i);
                    running.fetch_sub(1);
                })) {
                    std::this_thread::yield();
                }
            }
        });
    }
    for (auto& t : producers) t.join();
    queue.sync([] {});
    for (int p = 0; p < kProducers; ++p) {
        ASSERT_EQ(seen[p].size(), static_cast<std::size_t>(kPerProducer)) << "producer " << p;
        for (int i = 0; i < kPerProducer; ++i) ASSERT_EQ(seen[p][i], i) << "producer " << p;
    }
}

TEST(DispatchQueueTest, AsyncOfACapturingItemNeverAllocates) {
    DispatchQueue queue("test.alloc");
    std::atomic<long> sum{0};
    const std::array<int, 6> payload{1, 2, 3, 4, 5, 6};
    static_assert(sizeof(payload) + sizeof(&sum) <= DispatchQueue::kInlineStorage);
    constexpr int kCalls = 3000;
    std::size_t allocations = 0;
    {
        tolvane::test::AllocationCounter counter;
        for (int i = 0; i < kCalls; ++i) {
            while (!queue.async([&sum, payload] { sum += payload[0] + payload[5]; })) std::this_thread::yield();
        }
        allocations = counter.allocations();
    }
    EXPECT_EQ(allocations, 0u);
    queue.sync([] {});
    EXPECT_EQ(sum.load(), 7L * kCalls);
}

TEST(DispatchQueueTest, FullRingRefusesAndDestroysTheItem) {
    DispatchQueue queue("test.full");
    Gate gate;
    gate.block(queue);
    std::atomic<int> ran{0};
    const int aliveBefore = Tracked::alive;
    for (std::size_t i = 0; i < DispatchQueue::kCapacity; ++i) {
        ASSERT_TRUE(queue.async([&ran, t = Tracked{}] { ++ran; })) << "item " << i;
    }
    EXPECT_FALSE(queue.async([&ran, t = Tracked{}] { ran += 1000; }));
    EXPECT_EQ(Tracked::alive, aliveBefore + static_cast<int>(DispatchQueue::kCapacity));
    gate.open();
    queue.sync([] {});
    EXPECT_EQ(ran.load(), static_cast<int>(DispatchQueue::kCapacity));
    EXPECT_EQ(Tracked::alive, aliveBefore);
    EXPECT_TRUE(queue.async([] {}));  // room again once drained
}

TEST(DispatchQueueTest, SyncWaitsForEarlierItemsAndItsOwn) {
    DispatchQueue queue("test.sync");
    std::vector<int> order;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(queue.async([&order, i] {
            std::this_thread::sleep_for(2ms);  // give an unwaited sync every chance to return early
            order.push_back(i);
        }));
    }
    bool ranOnQueue = false;
    queue.sync([&] {
        ranOnQueue = queue.isCurrent();
        order.push_back(5);
    });
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_TRUE(ranOnQueue);
}

TEST(DispatchQueueTest, SyncFromTheQueueRunsInlineAndRethrowsToTheCaller) {
    DispatchQueue queue("test.sync.nested");
    int inner = 0;
    queue.sync([&] { queue.sync([&] { inner = 1; }); });
    EXPECT_EQ(inner, 1);
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    queue.sync([&] { inner = 2; });  // the worker survived
    EXPECT_EQ(inner, 2);
}

TEST(DispatchQueueTest, ThrowingItemIsReportedAndLaterItemsStillRun) {
    DispatchQueue queue("test.throws");
    testing::internal::CaptureStderr();
    ASSERT_TRUE(queue.async([] { throw std::runtime_error("bad item"); }));
    ASSERT_TRUE(queue.async([] { throw 42; }));
    bool later = false;
    queue.sync([&] { later = true; });
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(later);
    EXPECT_NE(report.find("test.throws"), std::string::npos) << report;
    EXPECT_NE(report.find("bad item"), std::string::npos) << report;
    EXPECT_NE(report.find("unknown exception"), std::string::npos) << report;
}

TEST(DispatchQueueTest, DestructionWaitsForTheRunningItemAndDestroysEveryCapture) {
    const int aliveBefore = Tracked::alive;
    std::atomic<bool> runningFinished{false};
    std::atomic<int> ran{0};
    {
        DispatchQueue queue("test.teardown");
        Signal started;
        ASSERT_TRUE(queue.async([&runningFinished, &started] {
            started.notify();
            std::this_thread::sleep_for(20ms);  // the destructor is waiting by now, most likely
            runningFinished = true;
        }));
        for (int i = 0; i < 50; ++i) ASSERT_TRUE(queue.async([&ran, t = Tracked{}] { ++ran; }));
        ASSERT_TRUE(started.waitFor());
    }
    EXPECT_TRUE(runningFinished);
    EXPECT_LE(ran.load(), 50);
    EXPECT_EQ(Tracked::alive, aliveBefore);  // run or discarded, each capture destroyed once
}

// Something that owns a queue, the way an audio unit owns its load queue.
struct QueueOwner {
    explicit QueueOwner(std::thread::id& where) : thread(where) {}
    ~QueueOwner() { thread = std::this_thread::get_id(); }
    std::thread::id& thread;
    DispatchQueue queue{"test.owner"};
};

// A capture whose destructor reports, so the test sees pending items being thrown away.
struct DiscardProbe {
    Signal* discarded;
    std::atomic<int>* ran;
    DiscardProbe(Signal* s, std::atomic<int>* r) : discarded(s), ran(r) {}
    DiscardProbe(DiscardProbe&& other) noexcept : discarded(std::exchange(other.discarded, nullptr)), ran(other.ran) {}
    ~DiscardProbe() {
        if (discarded) discarded->notify();
    }
};

void destroyOwnerFromItsQueue(bool dropInsideItem) {
    Signal discarded;
    std::thread::id destroyedOn;
    std::atomic<int> laterRan{0};
    auto owner = std::make_shared<QueueOwner>(destroyedOn);
    std::weak_ptr<QueueOwner> watch = owner;
    DispatchQueue& queue = owner->queue;  // stays valid until the owner dies on the worker
    Gate gate;
    gate.block(queue);
    std::thread::id workerThread;
    if (dropInsideItem) {
        ASSERT_TRUE(queue.async([o = std::move(owner), &workerThread]() mutable {
            workerThread = std::this_thread::get_id();
            o.reset();
        }));
    } else {
        // The last reference goes when the finished item's capture is destroyed.
        ASSERT_TRUE(queue.async([o = std::move(owner), &workerThread] { workerThread = std::this_thread::get_id(); }));
    }
    ASSERT_TRUE(queue.async([p = DiscardProbe(&discarded, &laterRan)] { ++*p.ran; }));
    gate.open();
    ASSERT_TRUE(discarded.waitFor());
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(destroyedOn, workerThread);
    EXPECT_EQ(laterRan.load(), 0);
}

TEST(DispatchQueueTest, ItemMayDestroyTheQueuesOwnerFromTheQueuesThread) {
    destroyOwnerFromItsQueue(true);
}

TEST(DispatchQueueTest, FinishedItemMayDropTheLastReferenceToTheOwner) {
    destroyOwnerFromItsQueue(false);
}

// The scheduling a queue's worker runs with, read on the worker itself.
struct WorkerScheduling {
    int policy = -1;
    int nice = 0;
};

WorkerScheduling schedulingOf(DispatchQueue& queue) {
    WorkerScheduling seen;
    queue.sync([&seen] {
        sched_param param{};
        pthread_getschedparam(pthread_self(), &seen.policy, &param);
        seen.nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    });
    return seen;
}

int callersNice() { return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())); }

// Background classes run below the thread that made the queue (an ordinary host thread, or an
// audio thread that is not real-time): batch policy and a higher nice value. The interactive and
// default classes keep the creator's scheduling.
TEST(DispatchQueueTest, WorkersRunAtTheirClassesPriority) {
    const int creator = callersNice();
    ASSERT_LT(creator, 15) << "the test needs room to lower priorities";
    struct Expected {
        DispatchQoS qos;
        int policy;
        int nice;
    };
    const Expected cases[] = {{DispatchQoS::userInteractive, SCHED_OTHER, creator},
                              {DispatchQoS::defaultQoS, SCHED_OTHER, creator},
                              {DispatchQoS::userInitiated, SCHED_BATCH, creator + 5},
                              {DispatchQoS::utility, SCHED_BATCH, creator + 10},
                              {DispatchQoS::background, SCHED_BATCH, std::min(creator + 15, 19)}};
    for (const Expected& c : cases) {
        DispatchQueue queue("test.priority", c.qos);
        const WorkerScheduling seen = schedulingOf(queue);
        EXPECT_EQ(seen.policy, c.policy) << static_cast<int>(c.qos);
        EXPECT_EQ(seen.nice, c.nice) << static_cast<int>(c.qos);
    }
    EXPECT_EQ(callersNice(), creator) << "only the worker's own priority changes";
}

// A worker made on a real-time thread does not inherit its real-time policy.
TEST(DispatchQueueTest, UserInitiatedWorkerLeavesARealTimeCreatorsPolicy) {
    std::optional<WorkerScheduling> seen;
    bool realTime = false;
    std::thread creator([&] {
        sched_param param{};
        param.sched_priority = 10;
        realTime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
        if (!realTime) return;
        DispatchQueue queue("test.rt", DispatchQoS::userInitiated);
        seen = schedulingOf(queue);
    });
    creator.join();
    if (!realTime) GTEST_SKIP() << "no permission for real-time scheduling here";
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->policy, SCHED_BATCH);
    EXPECT_GT(seen->nice, 0);
}

TEST(MainQueueTest, DrainRunsNestedItemsOnTheDrainingThread) {
    MainQueue::drain();
    std::vector<std::string> order;
    std::thread::id ranOn;
    MainQueue::async([&] {
        order.push_back("a");
        MainQueue::async([&] {
            order.push_back("c");
            MainQueue::async([&] { order.push_back("e"); });
        });
    });
    MainQueue::async([&] {
        order.push_back("b");
        ranOn = std::this_thread::get_id();
    });
    MainQueue::async([&] { order.push_back("d"); });

    std::size_t ran = 0;
    bool mainInside = false;
    bool testThreadIsMain = true;
    std::thread drainer([&] {
        MainQueue::async([&] { mainInside = MainQueue::isMainThread(); });
        ran = MainQueue::drain();
    });
    drainer.join();
    testThreadIsMain = MainQueue::isMainThread();
    EXPECT_EQ(ran, 6u);
    EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "d", "c", "e"}));
    EXPECT_TRUE(mainInside);
    EXPECT_FALSE(testThreadIsMain);
    EXPECT_NE(ranOn, std::this_thread::get_id());

    EXPECT_EQ(MainQueue::drain(), 0u);
    EXPECT_TRUE(MainQueue::isMainThread());  // draining here hands the role back
}

TEST(MainQueueTest, ThrowingItemIsReportedAndTheRestRun) {
    MainQueue::drain();
    testing::internal::CaptureStderr();
    bool after = false;
    MainQueue::async([] { throw std::logic_error("main item failed"); });
    MainQueue::async([&] { after = true; });
    EXPECT_EQ(MainQueue::drain(), 2u);
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(after);
    EXPECT_NE(report.find("main item failed"), std::string::npos) << report;
}

}  // namespace
