#pragma once

#include "platform/avfaudio/devices/AudioOutputDevice.h"

#include <atomic>
#include <optional>
#include <vector>

// An output device that runs only when its owner steps it: each render() call makes one
// callback on the calling thread and keeps the block. For tests and offline rendering.
class OfflineOutputDevice final : public AudioOutputDevice {
public:
    struct Options {
        double preferredSampleRate = 44100;
        uint32_t channels = 2;
        uint32_t maximumFrames = 4096;
    };

    OfflineOutputDevice();
    explicit OfflineOutputDevice(Options options);

    std::string name() const override { return "offline output"; }
    double sampleRate() const override { return sampleRate_; }
    uint32_t channelCount() const override { return options_.channels; }
    uint32_t maximumFramesPerCallback() const override { return options_.maximumFrames; }

    bool open(double sampleRate, Error* error) override;
    void close() override;
    bool isOpen() const override { return open_; }
    bool start(AudioRenderCallback& callback, Error* error) override;
    void stop() override;
    bool isRunning() const override { return callback_.load(std::memory_order_acquire) != nullptr; }

    // Every later start fails with `error` (a device that refuses to start); nothing undoes it.
    void refuseStart(Error error) { startRefusal_ = std::move(error); }

    // One callback of `frames` frames (at most maximumFrames; larger requests are clipped).
    // While the device is stopped the block is silence and no callback is made. Returns the
    // frames rendered. One thread renders at a time.
    uint32_t render(uint32_t frames);
    // Channel c of the last block.
    const float* channel(uint32_t c) const { return samples_.data() + std::size_t{c} * options_.maximumFrames; }

private:
    Options options_;
    double sampleRate_;
    bool open_ = false;
    std::optional<Error> startRefusal_;
    std::atomic<AudioRenderCallback*> callback_{nullptr};
    std::atomic<bool> rendering_{false};
    std::vector<float> samples_;
    std::vector<float*> channelPointers_;
};
