#pragma once

#include "platform/coreaudio/AudioHardware.h"

#include <optional>
#include <string>
#include <string_view>

// The name of the default device for `selector`; nothing when either query fails or there is no
// such device. An empty name stays empty.
std::optional<std::string> readDefaultDeviceName(AudioHardware& hardware, DefaultDeviceSelector selector);

// The two device names the settings sheet shows under "AUDIO DEVICES". A new presentation of the
// sheet starts with a fresh value: "Unknown" until the first refresh.
struct AudioDeviceNames {
    static constexpr std::string_view kUnknown = "Unknown";
    static constexpr std::string_view kUnavailable = "Unavailable";

    std::string currentInputDeviceName{kUnknown};
    std::string currentOutputDeviceName{kUnknown};

    // Reads the input device's name, then the output device's, each independently; a name that
    // cannot be read shows as "Unavailable".
    void refreshDeviceNames(AudioHardware& hardware);
};
