#include "platform/avfaudio/devices/OfflineOutputDevice.h"

#include <algorithm>
#include <cmath>
#include <thread>

OfflineOutputDevice::OfflineOutputDevice() : OfflineOutputDevice(Options{}) {}

OfflineOutputDevice::OfflineOutputDevice(Options options)
    : options_(options), sampleRate_(options.preferredSampleRate) {
    options_.channels = std::max(options_.channels, 1u);
    options_.maximumFrames = std::max(options_.maximumFrames, 1u);
    samples_.assign(std::size_t{options_.channels} * options_.maximumFrames, 0.0f);
    for (uint32_t c = 0; c < options_.channels; ++c) {
        channelPointers_.push_back(samples_.data() + std::size_t{c} * options_.maximumFrames);
    }
}

bool OfflineOutputDevice::open(double sampleRate, Error* error) {
    if (!(std::isfinite(sampleRate) && sampleRate > 0)) {
        setError(error, kAudioDeviceErrorDomain, kAudioDeviceErrorOpenFailed, "the offline output needs a positive sample rate");
        return false;
    }
    sampleRate_ = sampleRate;
    open_ = true;
    return true;
}

void OfflineOutputDevice::close() {
    stop();
    open_ = false;
}

bool OfflineOutputDevice::start(AudioRenderCallback& callback, Error* error) {
    if (startRefusal_) {
        if (error) *error = *startRefusal_;
        return false;
    }
    if (!open_) {
        setError(error, kAudioDeviceErrorDomain, kAudioDeviceErrorNotOpen, "the offline output is not open");
        return false;
    }
    callback_.store(&callback, std::memory_order_release);
    return true;
}

// A render on another thread may have taken the callback just before: wait for it to return.
void OfflineOutputDevice::stop() {
    callback_.store(nullptr);
    while (rendering_.load()) std::this_thread::yield();
}

uint32_t OfflineOutputDevice::render(uint32_t frames) {
    frames = std::min(frames, options_.maximumFrames);
    rendering_.store(true);
    if (AudioRenderCallback* callback = callback_.load()) {
        callback->renderAudio(channelPointers_.data(), options_.channels, frames);
    } else {
        std::fill(samples_.begin(), samples_.end(), 0.0f);
    }
    rendering_.store(false);
    return frames;
}
