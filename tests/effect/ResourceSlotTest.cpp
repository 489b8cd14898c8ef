#include "effect/ResourceSlot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

struct Tracked {
    explicit Tracked(std::atomic<int>& alive) : alive(alive) { ++alive; }
    ~Tracked() { --alive; }
    std::atomic<int>& alive;
};

TEST(ResourceSlotTest, ReplacedObjectIsFreedAtOnceWhenNoRenderRuns) {
    std::atomic<int> alive{0};
    ResourcePublisher publisher;
    ResourceSlot<Tracked> slot;
    EXPECT_TRUE(slot.empty());
    publisher.publish(slot, std::make_shared<Tracked>(alive));
    Tracked* first = slot.get();
    publisher.publish(slot, std::make_shared<Tracked>(alive));
    EXPECT_NE(slot.get(), first);
    EXPECT_EQ(alive.load(), 1);
    publisher.publish(slot, {});
    EXPECT_EQ(alive.load(), 0);
    EXPECT_TRUE(slot.empty());
}

TEST(ResourceSlotTest, ObjectReplacedDuringARenderLivesUntilThatRenderEnds) {
    std::atomic<int> alive{0};
    ResourcePublisher publisher;
    ResourceSlot<Tracked> slot;
    publisher.publish(slot, std::make_shared<Tracked>(alive));

    publisher.beginRender();
    Tracked* held = slot.get();  // the render's snapshot for this block
    publisher.publish(slot, {});
    publisher.collect();
    EXPECT_EQ(alive.load(), 1);
    EXPECT_EQ(&held->alive, &alive);  // still readable
    EXPECT_EQ(publisher.retiredCount(), 1u);
    publisher.endRender();
    publisher.collect();
    EXPECT_EQ(alive.load(), 0);
}

TEST(ResourceSlotTest, SharedObjectStaysWhileAnotherSlotHoldsIt) {
    std::atomic<int> alive{0};
    ResourcePublisher publisher;
    ResourceSlot<Tracked> a, b;
    auto bed = std::make_shared<Tracked>(alive);
    publisher.publish(a, bed);
    publisher.publish(b, bed);
    bed.reset();
    publisher.publish(a, {});
    EXPECT_EQ(alive.load(), 1);
    publisher.publish(b, {});
    EXPECT_EQ(alive.load(), 0);
}

TEST(ResourceSlotTest, CollectAllWaitsForTheRunningRender) {
    std::atomic<int> alive{0};
    ResourcePublisher publisher;
    ResourceSlot<Tracked> slot;
    publisher.publish(slot, std::make_shared<Tracked>(alive));
    publisher.beginRender();
    publisher.publish(slot, {});
    std::atomic<bool> collected{false};
    std::thread loader([&] {
        publisher.collectAll();
        collected = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(collected.load());
    EXPECT_EQ(alive.load(), 1);
    publisher.endRender();
    loader.join();
    EXPECT_EQ(alive.load(), 0);
}

}  // namespace
