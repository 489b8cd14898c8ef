#include "platform/dispatch/MainExecutor.h"
#include "platform/foundation/NSNotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using namespace std::chrono_literals;

TEST(NSNotificationCenterTest, DeliversByNameOnThePostingThreadUntilRemoved) {
    NSNotificationCenter center;
    std::vector<int> seen;
    std::thread::id deliveredOn;
    const auto token = center.addObserverForName("a", [&](const NSNotification& n) {
        seen.push_back(std::any_cast<int>(n.object));
        deliveredOn = std::this_thread::get_id();
    });
    center.postNotificationName("b", 1);
    std::thread([&] { center.postNotificationName("a", 2); }).join();
    EXPECT_NE(deliveredOn, std::this_thread::get_id());
    center.removeObserver(token);
    center.postNotificationName("a", 3);
    EXPECT_EQ(seen, std::vector<int>{2});
}

// Once removeObserver returns, the observer never runs again: a call in flight on another
// thread is waited for, so what the observer uses may be freed right after.
TEST(NSNotificationCenterTest, RemovalWaitsForADeliveryInFlight) {
    NSNotificationCenter center;
    std::atomic<bool> inside{false}, finished{false};
    const auto token = center.addObserverForName("slow", [&](const NSNotification&) {
        inside = true;
        std::this_thread::sleep_for(50ms);
        finished = true;
    });
    std::thread poster([&] { center.postNotificationName("slow", {}); });
    while (!inside) std::this_thread::yield();
    center.removeObserver(token);
    EXPECT_TRUE(finished);
    poster.join();

    // An observer may remove itself from inside its own call.
    NSNotificationCenter::ObserverToken self = 0;
    int calls = 0;
    self = center.addObserverForName("once", [&](const NSNotification&) {
        ++calls;
        center.removeObserver(self);
    });
    center.postNotificationName("once", {});
    center.postNotificationName("once", {});
    EXPECT_EQ(calls, 1);
}

TEST(ManualMainExecutorTest, RunsInOrderAndOnlyWhenTheVirtualClockSaysSo) {
    ManualMainExecutor main;
    std::vector<std::string> ran;
    main.postAfter(500ms, [&] { ran.push_back("late"); });
    main.post([&] {
        ran.push_back("first");
        main.post([&] { ran.push_back("posted by first"); });
        main.postAfter(500ms, [&] { ran.push_back("late too"); });
    });
    main.post([&] { ran.push_back("second"); });
    EXPECT_EQ(main.runPending(), 3u);
    EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "posted by first"}));
    main.advance(499ms);
    EXPECT_EQ(ran.size(), 3u);
    main.advance(1ms);
    EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "posted by first", "late", "late too"}));
    EXPECT_EQ(main.now(), 500ms);

    // Work posted from another thread is waited for in real time.
    std::thread poster([&] { main.post([&] { ran.push_back("from a thread"); }); });
    EXPECT_TRUE(main.runUntil([&] { return ran.size() == 6; }, 10'000ms));
    poster.join();
    bool never = false;
    EXPECT_FALSE(main.runUntil([&] { return never; }, 1ms));
}

}  // namespace
