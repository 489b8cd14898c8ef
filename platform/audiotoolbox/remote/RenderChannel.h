#pragma once

#include "platform/audiotoolbox/AudioTypes.h"
#include "platform/foundation/Error.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

// The shared memory over which a host renders through a unit in another process.
//
// Layout (one memfd, mapped by both processes):
//   RenderChannelHeader                 64-byte aligned, the sequence words on their own lines
//   input  [inputChannels][maxFrames]   float, one plane per channel
//   output [outputChannels][maxFrames]  float
//
// One render: the host writes the input planes and the request fields, then raises `request`
// by one and wakes the extension; the extension renders, writes the output planes and the
// reply fields, sets `reply` to the request's number and wakes the host. The host waits for the
// reply only up to its deadline; while a request is unanswered it never writes the channel
// again, so a late reply never meets half-written input.
namespace remote {

inline constexpr uint32_t kRenderChannelMagic = 0x544C5652;  // "TLVR"
inline constexpr uint32_t kRenderChannelVersion = 1;
inline constexpr uint32_t kMaxRenderEvents = 128;
inline constexpr uint32_t kMaxRenderChannels = AudioBufferList::kMaxBuffers;

struct RenderEventRecord {
    uint64_t address = 0;
    int64_t sampleTime = 0;
    float value = 0;
    uint32_t rampFrames = 0;
    uint8_t type = 0;  // AURenderEventType
};

struct alignas(64) RenderChannelHeader {
    uint32_t magic = kRenderChannelMagic;
    uint32_t version = kRenderChannelVersion;
    uint32_t maxFrames = 0;
    uint32_t inputChannels = 0;
    uint32_t outputChannels = 0;

    alignas(64) std::atomic<uint32_t> request{0};
    alignas(64) std::atomic<uint32_t> reply{0};

    // Written by the host before it raises `request`.
    alignas(64) uint32_t frameCount = 0;
    uint32_t eventCount = 0;
    uint32_t actionFlags = 0;
    uint32_t timestampFlags = 0;
    double sampleTime = 0;
    uint64_t hostTime = 0;
    int64_t busNumber = 0;
    RenderEventRecord events[kMaxRenderEvents];

    // Written by the extension before it sets `reply`.
    int32_t status = 0;
    uint32_t replyActionFlags = 0;
};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "the sequence words must work across processes");

// One mapping of a render channel; unmapped when destroyed.
class RenderChannel {
public:
    // A new channel in a new memfd; `fd` receives the descriptor to hand to the extension (the
    // caller closes it). Nothing, with the reason, when the memory cannot be had.
    static std::unique_ptr<RenderChannel> create(uint32_t maxFrames, uint32_t inputChannels, uint32_t outputChannels,
                                                 int* fd, Error* error);
    // Maps a channel another process created, checking that it is what was announced.
    static std::unique_ptr<RenderChannel> map(int fd, uint32_t maxFrames, uint32_t inputChannels,
                                              uint32_t outputChannels, Error* error);

    ~RenderChannel();
    RenderChannel(const RenderChannel&) = delete;
    RenderChannel& operator=(const RenderChannel&) = delete;

    static std::size_t byteSize(uint32_t maxFrames, uint32_t inputChannels, uint32_t outputChannels);

    RenderChannelHeader& header() const { return *header_; }
    float* input(uint32_t channel) const { return planes_ + static_cast<std::size_t>(channel) * maxFrames_; }
    float* output(uint32_t channel) const { return input(inputChannels_ + channel); }
    uint32_t maxFrames() const { return maxFrames_; }
    uint32_t inputChannels() const { return inputChannels_; }
    uint32_t outputChannels() const { return outputChannels_; }

private:
    RenderChannel(void* memory, std::size_t size, uint32_t maxFrames, uint32_t inputChannels, uint32_t outputChannels);

    void* memory_;
    std::size_t size_;
    RenderChannelHeader* header_;
    float* planes_;
    uint32_t maxFrames_, inputChannels_, outputChannels_;
};

// Waits while `word` holds `expected`, at most `timeout` (forever when none). Returns when the
// word changes, on a wake, on timeout or on a signal: callers re-check the word. Works across
// processes on shared memory.
void futexWait(std::atomic<uint32_t>& word, uint32_t expected, std::optional<std::chrono::nanoseconds> timeout) noexcept;
void futexWake(std::atomic<uint32_t>& word) noexcept;

}  // namespace remote
