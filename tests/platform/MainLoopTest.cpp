#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

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

}  // namespace
