// The host's end of a render channel, with this test's thread as the extension writing the
// shared memory.

#include "platform/audiotoolbox/remote/RemoteRenderSession.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include <unistd.h>

namespace tolvane::test {
namespace {

using namespace std::chrono_literals;

// The extension answers a block with sane samples and goes on writing its planes after the
// reply (a late or hostile one). The output the host hands on was the shared memory itself,
// checked before it was read: the NaN written after the check reached the output.
TEST(RemoteRenderSessionTest, OutputIsTheCheckedCopyNotTheSharedMemory) {
    constexpr uint32_t kFrames = 64;
    int fd = -1;
    Error error;
    auto channel = remote::RenderChannel::create(kFrames, 0, 1, &fd, &error);
    ASSERT_TRUE(channel) << error.description();
    close(fd);
    remote::RenderChannel& shared = *channel;
    auto state = std::make_shared<remote::RenderShared>();
    state->fixedDeadlineNanoseconds.store(std::chrono::nanoseconds(60s).count());
    remote::RemoteRenderSession session(std::move(channel), state, 48000);

    std::thread extension([&] {
        remote::RenderChannelHeader& header = shared.header();
        while (header.request.load(std::memory_order_acquire) != 1) remote::futexWait(header.request, 0, 100ms);
        std::fill_n(shared.output(0), kFrames, 0.5f);
        header.status = 0;
        header.reply.store(1, std::memory_order_release);
        remote::futexWake(header.reply);
    });
    AudioBufferList output;
    output.mNumberBuffers = 1;  // no memory of its own: the session provides it
    AudioUnitRenderActionFlags flags = 0;
    const AudioTimeStamp timestamp{};
    ASSERT_EQ(session.render(&flags, &timestamp, kFrames, 0, &output, nullptr, nullptr), noErr);
    extension.join();
    // The extension writes on after its reply.
    shared.output(0)[7] = std::numeric_limits<float>::quiet_NaN();

    ASSERT_NE(output.mBuffers[0].mData, nullptr);
    const auto* samples = static_cast<const float*>(output.mBuffers[0].mData);
    for (uint32_t i = 0; i < kFrames; ++i) ASSERT_EQ(samples[i], 0.5f) << i;
}

}  // namespace
}  // namespace tolvane::test
