#pragma once

#include "platform/avfaudio/devices/AudioOutputDevice.h"

#include <memory>
#include <optional>
#include <string>

// Which output the process plays to: the desktop's default output through its sound server or
// ALSA, a JACK server, or the null device (real-time paced, no sound card needed).
enum class AudioOutputChoice { automatic, pulse, alsa, jack, null };

// "default" (or empty), "pulse", "alsa", "jack" or "null"; nothing for any other text.
std::optional<AudioOutputChoice> parseAudioOutputChoice(const std::string& text);

// The choice named by the environment variable TOLVANE_AUDIO_OUTPUT, automatic when it is unset.
// An unknown value is reported on standard error and counts as automatic.
AudioOutputChoice audioOutputChoiceFromEnvironment();

// A device for the choice. Every choice but `null` may fail to open (no server, no card); the
// engine then falls back to the null device at the same rate.
std::shared_ptr<AudioOutputDevice> makeAudioOutputDevice(AudioOutputChoice choice);
