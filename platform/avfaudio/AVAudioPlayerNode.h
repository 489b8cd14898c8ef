#pragma once

#include "platform/avfaudio/AVAudioFile.h"
#include "platform/avfaudio/AVAudioNode.h"
#include "platform/avfaudio/AVAudioPCMBuffer.h"
#include "platform/avfaudio/RealtimeHandoff.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Plays scheduled audio into its one output bus, one scheduled segment after another.
//
// The samples are decoded on the thread that schedules them (the file decoded last is not read
// again while it is unchanged), so the audio thread only copies from memory. Like a player that
// reads its files ahead of playback, it counts a segment as consumed once the play head is
// within the read-ahead of the segment's end, so that whoever waits for the completion to
// schedule more does so while the end still plays, and playback runs on without a gap.
//
// Each segment's completion runs exactly once: when the segment is consumed (on the engine's
// completion thread), or when stop() drops it unconsumed (on the thread that called stop()).
class AVAudioPlayerNode final : public AVAudioNode {
public:
    using CompletionHandler = std::function<void()>;

    // About a third of a second at the usual rates.
    static constexpr uint32_t kDefaultReadAheadFrames = 16384;

    explicit AVAudioPlayerNode(uint32_t readAheadFrames = kDefaultReadAheadFrames) : readAheadFrames_(readAheadFrames) {}
    ~AVAudioPlayerNode() override;

    uint32_t numberOfInputs() const override { return 0; }
    uint32_t numberOfOutputs() const override { return 1; }

    // Queues the whole file after what is already queued, to play as soon as possible (no start
    // time). False, with the error and without the completion, when the file cannot be read.
    bool scheduleFile(const AVAudioFile& file, CompletionHandler completion, Error* error = nullptr);

    // Plays the queue from where it stands.
    void play();
    // Holds playback where it stands; the queue stays.
    void pause();
    // Ends playback and drops the queue, running the completions of what was dropped.
    void stop();
    bool isPlaying() const { return playing_.load(std::memory_order_acquire); }

    // The engine's render plan, on the audio thread: fills `channels` (`channelCount` of them,
    // `frames` samples) with the next frames of the queue, or silence while not playing.
    // Returns true when a segment became consumed in this call.
    bool render(float* const* channels, uint32_t channelCount, uint32_t frames) noexcept;

    // The engine's completion thread: runs the completions of the consumed segments.
    void deliverConsumedCompletions();

    // Scheduled segments whose completion has not run yet.
    std::size_t pendingCompletionCount();
    // Whether consumed segments still wait for their completions to run.
    bool hasConsumedCompletionsToRun();

protected:
    std::optional<AVAudioFormat> unconnectedOutputFormat(AVAudioNodeBus bus) const override;

private:
    struct Segment {
        uint64_t id;
        std::shared_ptr<const AVAudioPCMBuffer> samples;
    };
    // What the audio thread plays: the queued segments in order (ids rise).
    struct Schedule {
        std::vector<Segment> segments;
    };
    struct Pending {
        uint64_t id;
        CompletionHandler completion;
    };

    std::shared_ptr<const AVAudioPCMBuffer> decode(const AVAudioFile& file, Error* error);
    void publishLocked();

    // Shared by the scheduling thread and the completion thread.
    std::mutex mutex_;
    uint64_t nextId_ = 1;
    std::vector<Segment> queued_;
    std::vector<Pending> pending_;
    int delivering_ = 0;  // completions taken from pending_ and not yet run
    RealtimeHandoff<Schedule> schedule_;

    // The scheduling thread's cache of the last file decoded.
    std::string decodedPath_;
    std::filesystem::file_time_type decodedModified_{};
    std::shared_ptr<const AVAudioPCMBuffer> decoded_;

    void markConsumed(const Schedule& schedule, uint64_t& consumed, uint64_t finished) const noexcept;

    const uint32_t readAheadFrames_;
    std::atomic<bool> playing_{false};
    // Written by the audio thread only: the last segment consumed and the last played to its end.
    std::atomic<uint64_t> consumedThrough_{0};
    std::atomic<uint64_t> finishedThrough_{0};
    uint64_t playingId_ = 0;
    uint32_t position_ = 0;
};
