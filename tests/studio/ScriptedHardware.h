#pragma once

#include "platform/coreaudio/AudioHardware.h"

#include <map>
#include <string>
#include <vector>

namespace tolvane::test {

// Hardware that answers from tables and logs every question, in order.
class ScriptedHardware final : public AudioHardware {
public:
    std::optional<AudioObjectID> defaultDevice(DefaultDeviceSelector selector) override {
        const bool input = selector == DefaultDeviceSelector::defaultInputDevice;
        log.push_back(input ? "default input" : "default output");
        return input ? inputDevice : outputDevice;
    }
    std::optional<std::string> deviceName(AudioObjectID device) override {
        log.push_back("name of " + std::to_string(device));
        const auto found = names.find(device);
        if (found == names.end()) return std::nullopt;
        return found->second;
    }

    std::optional<AudioObjectID> inputDevice = 71;
    std::optional<AudioObjectID> outputDevice = 72;
    std::map<AudioObjectID, std::string> names{{71, "USB Microphone"}, {72, "Built-in Speakers"}};
    std::vector<std::string> log;
};

}  // namespace tolvane::test
