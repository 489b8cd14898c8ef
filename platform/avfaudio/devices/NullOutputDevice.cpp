#include "platform/avfaudio/devices/NullOutputDevice.h"

#include "platform/os/Log.h"
#include "platform/os/ThreadPriority.h"

#include <algorithm>
#include <cstdio>

#include <cerrno>
#include <cmath>
#include <ctime>

#include <pthread.h>
#include <sched.h>

namespace {

constexpr int64_t kNanosPerSecond = 1'000'000'000;

int64_t monotonicNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * kNanosPerSecond + now.tv_nsec;
}

void sleepUntil(int64_t nanos) {
    const timespec at{static_cast<time_t>(nanos / kNanosPerSecond), static_cast<long>(nanos % kNanosPerSecond)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

}  // namespace

NullOutputDevice::NullOutputDevice() : NullOutputDevice(Options{}) {}

NullOutputDevice::NullOutputDevice(Options options)
    : options_(options), sampleRate_(options.preferredSampleRate) {
    if (options_.channels == 0) options_.channels = 1;
    if (options_.blockFrames == 0) options_.blockFrames = kDefaultBlockFrames;
}

NullOutputDevice::~NullOutputDevice() { stop(); }

bool NullOutputDevice::open(double sampleRate, Error* error) {
    if (!(std::isfinite(sampleRate) && sampleRate > 0)) {
        setError(error, kAudioDeviceErrorDomain, kAudioDeviceErrorOpenFailed, "the null output needs a positive sample rate");
        return false;
    }
    if (isRunning()) stop();
    sampleRate_ = sampleRate;
    samples_.assign(std::size_t{options_.channels} * options_.blockFrames, 0.0f);
    channelPointers_.clear();
    for (uint32_t c = 0; c < options_.channels; ++c) channelPointers_.push_back(samples_.data() + std::size_t{c} * options_.blockFrames);
    open_ = true;
    return true;
}

void NullOutputDevice::close() {
    stop();
    open_ = false;
}

bool NullOutputDevice::start(AudioRenderCallback& callback, Error* error) {
    if (!open_) {
        setError(error, kAudioDeviceErrorDomain, kAudioDeviceErrorNotOpen, "the null output is not open");
        return false;
    }
    if (isRunning()) return true;
    callbacks_.store(0, std::memory_order_relaxed);
    missedDeadlines_.store(0, std::memory_order_relaxed);
    peak_.store(0, std::memory_order_relaxed);
    stopRequested_.store(false, std::memory_order_release);
    running_.store(true, std::memory_order_release);
    thread_ = std::thread([this, &callback] { run(callback); });
    return true;
}

void NullOutputDevice::stop() {
    stopRequested_.store(true, std::memory_order_release);
    if (!thread_.joinable()) return;
    thread_.join();
    running_.store(false, std::memory_order_release);
    reportRun();
}

void NullOutputDevice::reportRun() const {
    const double seconds = static_cast<double>(callbackCount()) * options_.blockFrames / sampleRate_;
    const float level = peak();
    char text[96];
    if (level > 0) {
        std::snprintf(text, sizeof text, "played %.1f s, peak %.1f dBFS", seconds, 20 * std::log10(double(level)));
    } else {
        std::snprintf(text, sizeof text, "played %.1f s of silence", seconds);
    }
    OSLog("com.marlowen.tolvane.audio", "null output").info(text);
}

void NullOutputDevice::notePeak() noexcept {
    float level = peak_.load(std::memory_order_relaxed);
    for (const float sample : samples_) level = std::max(level, std::fabs(sample));
    peak_.store(level, std::memory_order_relaxed);
}

// Block k is asked for at start + k periods and is due when block k + 1 is asked for. A late
// block is counted and the clock starts again from now, as a sound card would drop a period
// rather than ask for a burst of blocks to catch up.
void NullOutputDevice::run(AudioRenderCallback& callback) {
    (void)pthread_setname_np(pthread_self(), "null output");
    requestRealtimePriority();
    const auto period = static_cast<int64_t>(std::llround(options_.blockFrames * double(kNanosPerSecond) / sampleRate_));
    int64_t due = monotonicNanos();
    while (!stopRequested_.load(std::memory_order_acquire)) {
        callback.renderAudio(channelPointers_.data(), options_.channels, options_.blockFrames);
        callbacks_.fetch_add(1, std::memory_order_relaxed);
        notePeak();
        due += period;
        const int64_t now = monotonicNanos();
        if (now > due) {
            missedDeadlines_.fetch_add(1, std::memory_order_relaxed);
            due = now;
        }
        sleepUntil(due);
    }
}
