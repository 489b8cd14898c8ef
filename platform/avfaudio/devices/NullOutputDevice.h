#pragma once

#include "platform/avfaudio/devices/AudioOutputDevice.h"

#include <atomic>
#include <thread>
#include <vector>

// An output device with no sound card behind it: a thread of its own asks for one block per
// block period, paced by the monotonic clock as a sound card would pace it, and drops the audio.
// Stopping it after a run says on standard error how long it played and how loud the audio was,
// so a machine without a sound card still shows that sound went through.
// Used when no real device opens, on request, and by tests that need real-time pacing.
class NullOutputDevice final : public AudioOutputDevice {
public:
    // Each block costs the render thread a few wake-ups whatever its length (more with an effect
    // in another process), and nobody hears a null output's latency: it asks for long blocks.
    static constexpr uint32_t kDefaultBlockFrames = 1024;

    struct Options {
        double preferredSampleRate = 48000;
        uint32_t channels = 2;
        uint32_t blockFrames = kDefaultBlockFrames;
    };

    NullOutputDevice();
    explicit NullOutputDevice(Options options);
    ~NullOutputDevice() override;

    std::string name() const override { return "null output"; }
    double sampleRate() const override { return sampleRate_; }
    uint32_t channelCount() const override { return options_.channels; }
    uint32_t maximumFramesPerCallback() const override { return options_.blockFrames; }

    bool open(double sampleRate, Error* error) override;
    void close() override;
    bool isOpen() const override { return open_; }
    bool start(AudioRenderCallback& callback, Error* error) override;
    void stop() override;
    bool isRunning() const override { return running_.load(std::memory_order_acquire); }

    // Since the last start: callbacks made, and callbacks that returned after their block's
    // deadline (the moment the next block was due). Readable from any thread.
    uint64_t callbackCount() const { return callbacks_.load(std::memory_order_relaxed); }
    uint64_t missedDeadlineCount() const { return missedDeadlines_.load(std::memory_order_relaxed); }
    // The largest magnitude of any sample dropped since the last start.
    float peak() const { return peak_.load(std::memory_order_relaxed); }

private:
    void run(AudioRenderCallback& callback);
    void notePeak() noexcept;
    void reportRun() const;

    Options options_;
    double sampleRate_;
    bool open_ = false;
    std::vector<float> samples_;
    std::vector<float*> channelPointers_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stopRequested_{false};
    std::atomic<uint64_t> callbacks_{0};
    std::atomic<uint64_t> missedDeadlines_{0};
    std::atomic<float> peak_{0};
    std::thread thread_;
};
