#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include <poll.h>

namespace {

using namespace std::chrono_literals;

TEST(MainLoopTest, WorkFromOtherThreadsRunsOnTheLoopInOrderUntilQuit) {
    MainLoop loop;
    std::vector<int> order;
    std::atomic<int> offLoop{0};
    const auto loopThread = std::this_thread::get_id();
    std::thread poster([&] {
        for (int i = 0; i < 200; ++i) {
            loop.post([&, i] {
                order.push_back(i);
                if (std::this_thread::get_id() != loopThread) ++offLoop;
            });
            if (i % 50 == 0) std::this_thread::sleep_for(1ms);  // let the loop fall asleep in between
        }
        loop.quit();
    });
    loop.run();
    poster.join();
    loop.runPending();  // what was posted just before quit
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
    EXPECT_EQ(offLoop.load(), 0);
}

TEST(MainLoopTest, DelayedWorkRunsByDueTimeAndNeverEarly) {
    MainLoop loop;
    std::vector<char> order;
    const auto start = MainLoop::Clock::now();
    MainLoop::Clock::time_point lateRan;
    loop.postAfter(40ms, [&] {
        order.push_back('a');
        lateRan = MainLoop::Clock::now();
    });
    loop.postAfter(10ms, [&] { order.push_back('b'); });
    loop.post([&] { order.push_back('c'); });
    EXPECT_TRUE(loop.nextDueIn().has_value());
    ASSERT_TRUE(loop.runUntil([&] { return order.size() == 3; }, 10s));
    EXPECT_EQ(order, (std::vector<char>{'c', 'b', 'a'}));
    EXPECT_GE(lateRan - start, 40ms);
    EXPECT_FALSE(loop.nextDueIn().has_value());
}

TEST(MainLoopTest, TheMainQueueWakesAndIsDrainedByTheLoop) {
    std::atomic<bool> ran{false};
    {
        MainLoop loop;
        std::thread poster([&] {
            std::this_thread::sleep_for(20ms);
            MainQueue::async([&] { ran = MainQueue::isMainThread(); });
        });
        EXPECT_TRUE(loop.runUntil([&] { return ran.load(); }, 10s));
        poster.join();
    }
    MainQueue::async([] {});  // no loop any more: the item waits for a drain, nothing is woken
    EXPECT_EQ(MainQueue::drain(), 1u);
}

TEST(MainLoopTest, SelfRepostingWorkWaitsForTheNextRoundAndThrowingWorkIsReported) {
    MainLoop loop;
    int runs = 0;
    std::function<void()> again = [&] {
        ++runs;
        loop.post(again);
    };
    loop.post(again);
    loop.post([] { throw std::runtime_error("item failed"); });
    bool after = false;
    loop.post([&] { after = true; });
    EXPECT_EQ(loop.runPending(), 3u);
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(after);
    EXPECT_EQ(loop.runPending(), 1u);
    EXPECT_EQ(runs, 2);
}

// A toolkit's loop sleeps in its own waiter: it is handed the loop's descriptor and the time to
// the next delayed work, a post from another thread makes the descriptor readable, and the signal
// is cleared once the wait is over.
TEST(MainLoopTest, AToolkitsWaiterSleepsOnTheWakeDescriptorUntilWorkArrives) {
    MainLoop loop;
    loop.postAfter(1h, [] {});
    loop.waitForWork([](int, std::optional<std::chrono::nanoseconds>) {});  // clears the post's signal
    int handedFd = -1;
    std::optional<std::chrono::nanoseconds> handedTimeout;
    bool woken = false;
    std::thread poster([&] {
        std::this_thread::sleep_for(20ms);
        loop.post([] {});
    });
    loop.waitForWork([&](int fd, std::optional<std::chrono::nanoseconds> timeout) {
        handedFd = fd;
        handedTimeout = timeout;
        pollfd entry{fd, POLLIN, 0};
        woken = poll(&entry, 1, 10'000) == 1;
    });
    poster.join();
    EXPECT_EQ(handedFd, loop.fileDescriptor());
    ASSERT_TRUE(handedTimeout.has_value());
    EXPECT_GT(*handedTimeout, 59min);
    EXPECT_LE(*handedTimeout, 1h);
    EXPECT_TRUE(woken);
    pollfd entry{loop.fileDescriptor(), POLLIN, 0};
    EXPECT_EQ(poll(&entry, 1, 0), 0) << "the signal is cleared";
    EXPECT_EQ(loop.runPending(), 1u);
}

}  // namespace
