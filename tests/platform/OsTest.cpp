#include "platform/os/Log.h"
#include "platform/os/UnfairLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

TEST(OSUnfairLockTest, TryLockFailsWhileAnotherThreadHoldsIt) {
    OSUnfairLock lock;
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread holder([&] {
        lock.lock();
        held = true;
        while (!release) std::this_thread::yield();
        lock.unlock();
    });
    while (!held) std::this_thread::yield();
    EXPECT_FALSE(lock.try_lock());
    EXPECT_FALSE(lock.try_lock());  // a failed attempt leaves the holder's lock untouched
    release = true;
    holder.join();
    ASSERT_TRUE(lock.try_lock());
    EXPECT_FALSE(lock.try_lock());  // not recursive
    lock.unlock();
}

TEST(OSUnfairLockTest, ExcludesConcurrentWritersThroughLockGuard) {
    OSUnfairLock lock;
    long counter = 0;  // deliberately plain: only the lock keeps the increments whole
    constexpr int kThreads = 4;
    constexpr int kIncrements = 50000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kIncrements; ++i) {
                std::lock_guard guard(lock);
                ++counter;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, static_cast<long>(kThreads) * kIncrements);
}

std::string logged(const OSLog& log, bool isError, std::string_view message) {
    testing::internal::CaptureStderr();
    if (isError) {
        log.error(message);
    } else {
        log.info(message);
    }
    return testing::internal::GetCapturedStderr();
}

TEST(OSLogTest, WritesOneLinePerMessageInTheFixedFormat) {
    const OSLog log("com.marlowen.tolvane", "modelload");
    EXPECT_EQ(logged(log, false, "loaded 9 models"), "[com.marlowen.tolvane:modelload] info: loaded 9 models\n");
    EXPECT_EQ(logged(log, true, "missing file"), "[com.marlowen.tolvane:modelload] error: missing file\n");
    EXPECT_EQ(logged(log, false, "two\nlines\r"), "[com.marlowen.tolvane:modelload] info: two lines \n");
    EXPECT_EQ(logged(log, false, ""), "[com.marlowen.tolvane:modelload] info: \n");
}

}  // namespace
