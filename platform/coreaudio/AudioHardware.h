#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

using AudioObjectID = uint32_t;
// No device.
constexpr AudioObjectID kAudioObjectUnknown = 0;

// The two default-device questions, by their four-character selectors.
enum class DefaultDeviceSelector : uint32_t {
    defaultInputDevice = 0x64496E20,   // 'dIn '
    defaultOutputDevice = 0x644F7574,  // 'dOut'
};

// The system's audio devices, as far as the studio asks about them: which device is the default
// for input or output, and what it is called. Each answer is asked afresh.
class AudioHardware {
public:
    virtual ~AudioHardware() = default;
    // The default device; nothing when the query fails, kAudioObjectUnknown when there is none.
    virtual std::optional<AudioObjectID> defaultDevice(DefaultDeviceSelector selector) = 0;
    // The device's name (possibly empty); nothing when the query fails.
    virtual std::optional<std::string> deviceName(AudioObjectID device) = 0;
};

// The devices of the audio backend that plays the studio's sound (RtAudio, which takes the first
// of JACK, ALSA and PulseAudio that has devices). A default input device is only reported when
// it can record.
class BackendAudioHardware final : public AudioHardware {
public:
    BackendAudioHardware();
    ~BackendAudioHardware() override;

    std::optional<AudioObjectID> defaultDevice(DefaultDeviceSelector selector) override;
    std::optional<std::string> deviceName(AudioObjectID device) override;

private:
    struct Backend;
    std::unique_ptr<Backend> backend_;
};
