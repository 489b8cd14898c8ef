#include "studio/AudioDeviceNames.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

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

TEST(AudioDeviceNamesTest, ReadsInputThenOutputEachIndependently) {
    AudioDeviceNames names;
    EXPECT_EQ(names.currentInputDeviceName, "Unknown");
    EXPECT_EQ(names.currentOutputDeviceName, "Unknown");

    ScriptedHardware hardware;
    names.refreshDeviceNames(hardware);
    EXPECT_EQ(names.currentInputDeviceName, "USB Microphone");
    EXPECT_EQ(names.currentOutputDeviceName, "Built-in Speakers");
    EXPECT_EQ(hardware.log, (std::vector<std::string>{"default input", "name of 71", "default output", "name of 72"}));

    // No input device at all: its name is never asked for, and the output is still named.
    hardware.log.clear();
    hardware.inputDevice = kAudioObjectUnknown;
    names.refreshDeviceNames(hardware);
    EXPECT_EQ(names.currentInputDeviceName, "Unavailable");
    EXPECT_EQ(names.currentOutputDeviceName, "Built-in Speakers");
    EXPECT_EQ(hardware.log, (std::vector<std::string>{"default input", "default output", "name of 72"}));
}

TEST(AudioDeviceNamesTest, FailedQueriesReadUnavailableButAnEmptyNameStaysEmpty) {
    ScriptedHardware hardware;
    AudioDeviceNames names;
    hardware.inputDevice = std::nullopt;  // the default-device query fails
    hardware.names.erase(72);             // the output's name query fails
    names.refreshDeviceNames(hardware);
    EXPECT_EQ(names.currentInputDeviceName, "Unavailable");
    EXPECT_EQ(names.currentOutputDeviceName, "Unavailable");

    hardware.inputDevice = 71;
    hardware.names[71] = "";
    hardware.names[72] = "Line Out";
    names.refreshDeviceNames(hardware);
    EXPECT_EQ(names.currentInputDeviceName, "");
    EXPECT_EQ(names.currentOutputDeviceName, "Line Out");
    EXPECT_EQ(readDefaultDeviceName(hardware, DefaultDeviceSelector::defaultInputDevice), "");
}

// The real backend answers on any machine, with or without a sound card or sound server.
TEST(AudioDeviceNamesTest, TheBackendAnswersWithNamesOrUnavailable) {
    BackendAudioHardware hardware;
    AudioDeviceNames names;
    names.refreshDeviceNames(hardware);
    EXPECT_NE(names.currentInputDeviceName, "Unknown");
    EXPECT_NE(names.currentOutputDeviceName, "Unknown");
    EXPECT_FALSE(hardware.deviceName(kAudioObjectUnknown));
    EXPECT_FALSE(hardware.deviceName(100000));  // no such device
}

}  // namespace
