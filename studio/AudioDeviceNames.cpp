#include "studio/AudioDeviceNames.h"

std::optional<std::string> readDefaultDeviceName(AudioHardware& hardware, DefaultDeviceSelector selector) {
    const std::optional<AudioObjectID> device = hardware.defaultDevice(selector);
    if (!device || *device == kAudioObjectUnknown) return std::nullopt;
    return hardware.deviceName(*device);
}

void AudioDeviceNames::refreshDeviceNames(AudioHardware& hardware) {
    currentInputDeviceName = readDefaultDeviceName(hardware, DefaultDeviceSelector::defaultInputDevice)
                                 .value_or(std::string(kUnavailable));
    currentOutputDeviceName = readDefaultDeviceName(hardware, DefaultDeviceSelector::defaultOutputDevice)
                                  .value_or(std::string(kUnavailable));
}
