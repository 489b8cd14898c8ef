#include "platform/audiotoolbox/remote/RemoteRenderSession.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace remote {

using Clock = std::chrono::steady_clock;

std::chrono::nanoseconds defaultRenderDeadline(AUAudioFrameCount frames, double sampleRate) {
    const double seconds = sampleRate > 0 ? 0.5 * frames / sampleRate : 0.0;
    const auto share = std::chrono::nanoseconds(static_cast<int64_t>(seconds * 1e9));
    return std::max<std::chrono::nanoseconds>(share, std::chrono::milliseconds(1));
}

RemoteRenderSession::RemoteRenderSession(std::unique_ptr<RenderChannel> channel, std::shared_ptr<RenderShared> shared,
                                         double sampleRate)
    : channel_(std::move(channel)), shared_(std::move(shared)), sampleRate_(sampleRate),
      silence_(channel_->maxFrames(), 0.0f),
      received_(static_cast<std::size_t>(channel_->maxFrames()) * channel_->outputChannels(), 0.0f) {}

AUAudioUnitStatus RemoteRenderSession::pullInput(AudioUnitRenderActionFlags* actionFlags,
                                                 const AudioTimeStamp* timestamp, AUAudioFrameCount frames,
                                                 const AURenderPullInputBlock* pull) noexcept {
    const uint32_t channels = channel_->inputChannels();
    if (channels == 0) return noErr;
    if (pull == nullptr || !*pull) {
        for (uint32_t c = 0; c < channels; ++c) std::fill_n(channel_->input(c), frames, 0.0f);
        return noErr;
    }
    AudioBufferList input;
    input.mNumberBuffers = channels;
    for (uint32_t c = 0; c < channels; ++c) input.mBuffers[c] = {1, frames * 4u, channel_->input(c)};
    const AUAudioUnitStatus status = (*pull)(actionFlags, timestamp, frames, 0, &input);
    if (status != noErr) return status;
    // A provider may answer with its own memory instead of filling ours.
    for (uint32_t c = 0; c < channels; ++c) {
        const auto* data = static_cast<const float*>(input.mBuffers[c].mData);
        if (data == nullptr) std::fill_n(channel_->input(c), frames, 0.0f);
        else if (data != channel_->input(c)) std::memcpy(channel_->input(c), data, frames * sizeof(float));
    }
    return noErr;
}

void RemoteRenderSession::writeRequest(AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp,
                                       AUAudioFrameCount frames, NSInteger busNumber,
                                       const AURenderEvent* events) noexcept {
    RenderChannelHeader& header = channel_->header();
    header.frameCount = frames;
    header.actionFlags = actionFlags ? *actionFlags : 0;
    header.sampleTime = timestamp ? timestamp->mSampleTime : 0;
    header.hostTime = timestamp ? timestamp->mHostTime : 0;
    header.timestampFlags = timestamp ? timestamp->mFlags : 0;
    header.busNumber = busNumber;
    uint32_t count = 0;
    for (const AURenderEvent* event = events; event != nullptr && count < kMaxRenderEvents; event = event->head.next) {
        const auto type = event->head.eventType;
        if (type != AURenderEventType::parameter && type != AURenderEventType::parameterRamp) continue;
        header.events[count++] = {event->parameter.parameterAddress, event->parameter.eventSampleTime,
                                  event->parameter.value, event->parameter.rampDurationSampleFrames,
                                  static_cast<uint8_t>(type)};
    }
    header.eventCount = count;
}

// Asleep on the reply word until the extension answers or the deadline passes: the render
// thread gives its core back while the extension works, instead of spinning on it.
bool RemoteRenderSession::awaitReply(std::chrono::nanoseconds deadline) noexcept {
    RenderChannelHeader& header = channel_->header();
    const auto until = Clock::now() + deadline;
    for (;;) {
        const uint32_t seen = header.reply.load(std::memory_order_acquire);
        if (seen == sequence_) return true;
        if (!shared_->alive.load(std::memory_order_relaxed)) return false;
        const auto left = until - Clock::now();
        if (left <= std::chrono::nanoseconds::zero()) return false;
        futexWait(header.reply, seen, left);
    }
}

// Every sample of the output is finite and within kLargestRemoteSample. One pass without early
// exit, so it vectorises; NaN fails the comparison.
bool RemoteRenderSession::outputIsSane(const AudioBufferList* output, AUAudioFrameCount frames) noexcept {
    bool sane = true;
    for (uint32_t b = 0; b < output->mNumberBuffers; ++b) {
        const auto* samples = static_cast<const float*>(output->mBuffers[b].mData);
        for (AUAudioFrameCount i = 0; i < frames; ++i) sane &= std::fabs(samples[i]) <= kLargestRemoteSample;
    }
    return sane;
}

void RemoteRenderSession::copyOutput(AudioBufferList* output, AUAudioFrameCount frames) noexcept {
    const uint32_t channels = channel_->outputChannels();
    for (uint32_t b = 0; b < output->mNumberBuffers; ++b) {
        const uint32_t plane = std::min(b, channels - 1);
        const float* source = channel_->output(plane);
        AudioBuffer& buffer = output->mBuffers[b];
        if (buffer.mData == nullptr || buffer.mData == source)
            buffer.mData = received_.data() + static_cast<std::size_t>(plane) * channel_->maxFrames();
        std::memcpy(buffer.mData, source, frames * sizeof(float));
        buffer.mDataByteSize = frames * 4u;
    }
}

AUAudioUnitStatus RemoteRenderSession::silence(AudioBufferList* output, AUAudioFrameCount frames) noexcept {
    for (uint32_t b = 0; b < output->mNumberBuffers; ++b) {
        AudioBuffer& buffer = output->mBuffers[b];
        // Never the channel's own planes: a late reply may still be writing them.
        if (buffer.mData == nullptr) buffer.mData = silence_.data();
        else std::fill_n(static_cast<float*>(buffer.mData), frames, 0.0f);
        buffer.mDataByteSize = frames * 4u;
    }
    return noErr;
}

AUAudioUnitStatus RemoteRenderSession::render(AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp,
                                              AUAudioFrameCount frames, NSInteger busNumber, AudioBufferList* output,
                                              const AURenderEvent* events,
                                              const AURenderPullInputBlock* pull) noexcept {
    if (output == nullptr) return kAudio_ParamError;
    if (frames > channel_->maxFrames()) return kAudioUnitErr_TooManyFramesToProcess;
    if (!shared_->alive.load(std::memory_order_relaxed)) return silence(output, frames);

    RenderChannelHeader& header = channel_->header();
    // The last request is still unanswered: the extension is late, so this block is silent and
    // the channel is left alone until it catches up.
    if (header.reply.load(std::memory_order_acquire) != sequence_) {
        shared_->missedDeadlines.fetch_add(1, std::memory_order_relaxed);
        return silence(output, frames);
    }
    if (const AUAudioUnitStatus pulled = pullInput(actionFlags, timestamp, frames, pull); pulled != noErr)
        return pulled;
    writeRequest(actionFlags, timestamp, frames, busNumber, events);
    header.request.store(++sequence_, std::memory_order_release);
    futexWake(header.request);

    const int64_t fixed = shared_->fixedDeadlineNanoseconds.load(std::memory_order_relaxed);
    const auto deadline = fixed > 0 ? std::chrono::nanoseconds(fixed) : defaultRenderDeadline(frames, sampleRate_);
    if (!awaitReply(deadline)) {
        shared_->missedDeadlines.fetch_add(1, std::memory_order_relaxed);
        return silence(output, frames);
    }
    // Whatever another process wrote: a non-finite or absurd sample silences the block, as a
    // late reply does, instead of reaching the output. Checked after the copy, as the extension
    // may still be writing the shared planes.
    copyOutput(output, frames);
    if (!outputIsSane(output, frames)) {
        shared_->refusedBlocks.fetch_add(1, std::memory_order_relaxed);
        return silence(output, frames);
    }
    if (actionFlags) *actionFlags = header.replyActionFlags;
    return header.status;
}

}  // namespace remote
