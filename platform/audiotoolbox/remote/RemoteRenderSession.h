#pragma once

#include "platform/audiotoolbox/AudioTypes.h"
#include "platform/audiotoolbox/remote/RenderChannel.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

namespace remote {

// What a proxy's render blocks share with the proxy: whether the extension still lives, how
// many renders missed their deadline, how many answered with samples no output may carry, and
// a fixed deadline when one is set (0: the default).
struct RenderShared {
    std::atomic<bool> alive{true};
    std::atomic<uint64_t> missedDeadlines{0};
    std::atomic<uint64_t> refusedBlocks{0};
    std::atomic<int64_t> fixedDeadlineNanoseconds{0};
};

// The default deadline of one render: half the block's duration, and never under 1 ms.
std::chrono::nanoseconds defaultRenderDeadline(AUAudioFrameCount frames, double sampleRate);

// The largest sample magnitude taken from an extension: far above full scale, so no sane unit
// comes near it, yet a bound, so one buggy unit cannot blast the output.
inline constexpr float kLargestRemoteSample = 64.0f;

// The host's end of one allocation's render channel. render() runs on the host's real-time
// thread: it never allocates or locks, and waits for the extension at most until the deadline.
class RemoteRenderSession {
public:
    RemoteRenderSession(std::unique_ptr<RenderChannel> channel, std::shared_ptr<RenderShared> shared, double sampleRate);

    AUAudioUnitStatus render(AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp,
                             AUAudioFrameCount frames, NSInteger busNumber, AudioBufferList* output,
                             const AURenderEvent* events, const AURenderPullInputBlock* pullInput) noexcept;

private:
    AUAudioUnitStatus pullInput(AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp,
                                AUAudioFrameCount frames, const AURenderPullInputBlock* pull) noexcept;
    void writeRequest(AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp,
                      AUAudioFrameCount frames, NSInteger busNumber, const AURenderEvent* events) noexcept;
    bool awaitReply(std::chrono::nanoseconds deadline) noexcept;
    void copyOutput(AudioBufferList* output, AUAudioFrameCount frames) noexcept;
    static bool outputIsSane(const AudioBufferList* output, AUAudioFrameCount frames) noexcept;
    AUAudioUnitStatus silence(AudioBufferList* output, AUAudioFrameCount frames) noexcept;

    std::unique_ptr<RenderChannel> channel_;
    std::shared_ptr<RenderShared> shared_;
    double sampleRate_;
    uint32_t sequence_ = 0;
    std::vector<float> silence_;  // one plane of zeros, for outputs that offer no memory
    // The extension's output planes copied out, for outputs that offer no memory: the shared
    // memory itself is never handed out, as the extension may still write it.
    std::vector<float> received_;
};

}  // namespace remote
