#pragma once

#include "platform/avfaudio/devices/AudioOutputDevice.h"

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

// The desktop's output through RtAudio: the sound server (PulseAudio, which PipeWire desktops
// also serve), ALSA's default device, or a JACK server. Open tries the backends in the order
// given and keeps the first that opens at the rate asked for.
class RtAudioOutputDevice final : public AudioOutputDevice {
public:
    enum class Backend { pulse, alsa, jack };

    explicit RtAudioOutputDevice(std::vector<Backend> backends, uint32_t blockFrames = 512);
    ~RtAudioOutputDevice() override;

    std::string name() const override;
    double sampleRate() const override;
    uint32_t channelCount() const override;
    uint32_t maximumFramesPerCallback() const override;

    bool open(double sampleRate, Error* error) override;
    void close() override;
    bool isOpen() const override;
    bool start(AudioRenderCallback& callback, Error* error) override;
    void stop() override;
    bool isRunning() const override;

    // Blocks the sound server asked for and did not get in time, since the last start.
    uint64_t underflowCount() const;

    struct Stream;

private:
    std::vector<Backend> backends_;
    uint32_t blockFrames_;
    std::unique_ptr<Stream> stream_;
};
