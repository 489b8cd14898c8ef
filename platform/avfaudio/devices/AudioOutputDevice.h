#pragma once

#include "platform/avfaudio/AVAudioFormat.h"
#include "platform/foundation/Error.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// What a running device calls for each block of output, on its own real-time thread. The
// channels are non-interleaved, each `frames` samples long; the callee fills every one of them.
class AudioRenderCallback {
public:
    virtual void renderAudio(float* const* channels, uint32_t channelCount, uint32_t frames) noexcept = 0;

protected:
    ~AudioRenderCallback() = default;
};

// An output device as the engine drives it: opened at the rate the engine asks for (devices do
// not resample), started with a callback, stopped. Open, start, stop and close are called from
// one thread at a time (the engine's), never from the callback.
class AudioOutputDevice {
public:
    virtual ~AudioOutputDevice() = default;

    // A name for messages, such as "PulseAudio" or "null output".
    virtual std::string name() const = 0;
    // The rate the device runs at while open; before that, the rate it prefers.
    virtual double sampleRate() const = 0;
    virtual uint32_t channelCount() const = 0;
    // The most frames one callback asks for; known once open.
    virtual uint32_t maximumFramesPerCallback() const = 0;
    // The format of the default capture device, when the device layer knows one. The engine
    // never opens a capture stream; this is only reported.
    virtual std::optional<AVAudioFormat> inputFormat() const { return std::nullopt; }

    // Opens the device at exactly `sampleRate`, or fails with an error saying why.
    virtual bool open(double sampleRate, Error* error) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    // Starts calling `callback`, which must outlive the run. Fails when the device is not open.
    virtual bool start(AudioRenderCallback& callback, Error* error) = 0;
    // Returns once the last callback has returned.
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;
};

// Error domain and codes of the devices.
inline constexpr const char* kAudioDeviceErrorDomain = "AudioOutputDevice";
inline constexpr int64_t kAudioDeviceErrorNotOpen = -1;
inline constexpr int64_t kAudioDeviceErrorOpenFailed = -2;
inline constexpr int64_t kAudioDeviceErrorStartFailed = -3;
