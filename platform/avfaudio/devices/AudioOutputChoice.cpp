#include "platform/avfaudio/devices/AudioOutputChoice.h"

#include "platform/avfaudio/devices/NullOutputDevice.h"
#include "platform/avfaudio/devices/RtAudioOutputDevice.h"
#include "platform/os/Log.h"

#include <cstdlib>

std::optional<AudioOutputChoice> parseAudioOutputChoice(const std::string& text) {
    if (text.empty() || text == "default") return AudioOutputChoice::automatic;
    if (text == "pulse") return AudioOutputChoice::pulse;
    if (text == "alsa") return AudioOutputChoice::alsa;
    if (text == "jack") return AudioOutputChoice::jack;
    if (text == "null") return AudioOutputChoice::null;
    return std::nullopt;
}

AudioOutputChoice audioOutputChoiceFromEnvironment() {
    const char* value = std::getenv("TOLVANE_AUDIO_OUTPUT");
    if (value == nullptr) return AudioOutputChoice::automatic;
    if (const auto choice = parseAudioOutputChoice(value)) return *choice;
    OSLog("com.marlowen.tolvane.audio", "output")
        .error(std::string("TOLVANE_AUDIO_OUTPUT=") + value + " is not one of default, pulse, alsa, jack, null; using default");
    return AudioOutputChoice::automatic;
}

std::shared_ptr<AudioOutputDevice> makeAudioOutputDevice(AudioOutputChoice choice) {
    using Backend = RtAudioOutputDevice::Backend;
    switch (choice) {
        case AudioOutputChoice::automatic:
            return std::make_shared<RtAudioOutputDevice>(std::vector{Backend::pulse, Backend::alsa});
        case AudioOutputChoice::pulse: return std::make_shared<RtAudioOutputDevice>(std::vector{Backend::pulse});
        case AudioOutputChoice::alsa: return std::make_shared<RtAudioOutputDevice>(std::vector{Backend::alsa});
        case AudioOutputChoice::jack: return std::make_shared<RtAudioOutputDevice>(std::vector{Backend::jack});
        case AudioOutputChoice::null: return std::make_shared<NullOutputDevice>();
    }
    return std::make_shared<NullOutputDevice>();
}
