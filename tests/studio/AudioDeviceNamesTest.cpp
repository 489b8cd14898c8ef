#include "studio/AudioDeviceNames.h"

#include "tests/studio/ScriptedHardware.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using tolvane::test::ScriptedHardware;

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

// The real backend answers on any machine, with or without a sound card or sound server, and
// says nothing on standard error while it looks (the sheet asks each time it opens).
TEST(AudioDeviceNamesTest, TheBackendAnswersWithNamesOrUnavailableQuietly) {
    testing::internal::CaptureStderr();
    BackendAudioHardware hardware;
    AudioDeviceNames names;
    names.refreshDeviceNames(hardware);
    const bool unknownQuiet = !hardware.deviceName(kAudioObjectUnknown);
    const bool missingQuiet = !hardware.deviceName(100000);  // no such device
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_NE(names.currentInputDeviceName, "Unknown");
    EXPECT_NE(names.currentOutputDeviceName, "Unknown");
    EXPECT_TRUE(unknownQuiet);
    EXPECT_TRUE(missingQuiet);
    EXPECT_EQ(printed, "");
}

}  // namespace
