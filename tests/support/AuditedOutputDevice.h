#pragma once

#include "platform/avfaudio/devices/AudioOutputDevice.h"
#include "tests/support/RenderThreadAudit.h"

#include <atomic>
#include <memory>

namespace tolvane::test {

// Wraps a device and audits every callback it makes: what the callback allocates, frees and
// blocks on, on the device's own thread.
class AuditedOutputDevice final : public AudioOutputDevice, private AudioRenderCallback {
public:
    explicit AuditedOutputDevice(std::shared_ptr<AudioOutputDevice> device) : device_(std::move(device)) {}

    std::string name() const override { return device_->name(); }
    double sampleRate() const override { return device_->sampleRate(); }
    uint32_t channelCount() const override { return device_->channelCount(); }
    uint32_t maximumFramesPerCallback() const override { return device_->maximumFramesPerCallback(); }
    bool open(double sampleRate, Error* error) override { return device_->open(sampleRate, error); }
    void close() override { device_->close(); }
    bool isOpen() const override { return device_->isOpen(); }
    bool start(AudioRenderCallback& callback, Error* error) override {
        inner_.store(&callback);
        return device_->start(*this, error);
    }
    void stop() override { device_->stop(); }
    bool isRunning() const override { return device_->isRunning(); }

    uint64_t callbacks() const { return callbacks_.load(); }
    uint64_t allocations() const { return allocations_.load(); }
    uint64_t frees() const { return frees_.load(); }
    uint64_t blockingLocks() const { return locks_.load(); }
    // The largest absolute sample value of any callback so far.
    float peak() const { return peak_.load(); }

private:
    void renderAudio(float* const* channels, uint32_t channelCount, uint32_t frames) noexcept override {
        float peak = 0;
        {
            RenderThreadAudit audit;
            inner_.load()->renderAudio(channels, channelCount, frames);
            allocations_.fetch_add(audit.allocations());
            frees_.fetch_add(audit.frees());
            locks_.fetch_add(audit.blockingLocks());
        }
        for (uint32_t c = 0; c < channelCount; ++c) {
            for (uint32_t i = 0; i < frames; ++i) peak = std::max(peak, channels[c][i] < 0 ? -channels[c][i] : channels[c][i]);
        }
        if (peak > peak_.load()) peak_.store(peak);
        callbacks_.fetch_add(1);
    }

    std::shared_ptr<AudioOutputDevice> device_;
    std::atomic<AudioRenderCallback*> inner_{nullptr};
    std::atomic<uint64_t> callbacks_{0}, allocations_{0}, frees_{0}, locks_{0};
    std::atomic<float> peak_{0};
};

}  // namespace tolvane::test
