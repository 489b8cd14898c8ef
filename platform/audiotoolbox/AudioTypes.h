#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

// Plain audio-unit types shared by hosts and units.

using OSStatus = int32_t;
using AUAudioUnitStatus = int32_t;
using AUAudioFrameCount = uint32_t;
using AUParameterAddress = uint64_t;
using AUValue = float;
using AUEventSampleTime = int64_t;
using AudioUnitRenderActionFlags = uint32_t;
using NSInteger = int64_t;

constexpr OSStatus noErr = 0;
constexpr OSStatus kAudio_ParamError = -50;
constexpr OSStatus kAudioUnitErr_Initialized = -10849;
constexpr OSStatus kAudioUnitErr_FormatNotSupported = -10868;
constexpr OSStatus kAudioUnitErr_TooManyFramesToProcess = -10874;
constexpr OSStatus kAudioUnitErr_NoConnection = -10876;
constexpr OSStatus kAudioUnitErr_Uninitialized = -10867;
constexpr OSStatus kAudioUnitErr_FailedInitialization = -10875;
// No installed component matches the description asked for.
constexpr OSStatus kAudioComponentErr_ComponentNotFound = -3000;
// The component's process ended or stopped answering.
constexpr OSStatus kAudioComponentErr_InstanceInvalidated = -66749;
// The component's process did not answer in time.
constexpr OSStatus kAudioComponentErr_InstanceTimedOut = -66754;

// Error domain of the status codes above when they travel as Error values.
inline constexpr std::string_view kOSStatusErrorDomain = "NSOSStatusErrorDomain";

// A four-character code such as "aufx", first character in the high byte.
constexpr uint32_t fourCharCode(std::string_view text) {
    uint32_t code = 0;
    for (std::size_t i = 0; i < 4; ++i) code = (code << 8) | (i < text.size() ? static_cast<uint8_t>(text[i]) : 0u);
    return code;
}

// The code of exactly four characters of one UTF-8 byte each ("aufé", four characters in five
// bytes, does not qualify); none for anything else.
constexpr std::optional<uint32_t> checkedFourCharCode(std::string_view text) {
    if (text.size() != 4) return std::nullopt;
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
    return fourCharCode(text);
}

struct AudioComponentDescription {
    uint32_t componentType = 0;
    uint32_t componentSubType = 0;
    uint32_t componentManufacturer = 0;
    uint32_t componentFlags = 0;
    uint32_t componentFlagsMask = 0;
    bool operator==(const AudioComponentDescription&) const = default;
};

using AudioComponentInstantiationOptions = uint32_t;
constexpr AudioComponentInstantiationOptions kAudioComponentInstantiation_LoadOutOfProcess = 1;
constexpr AudioComponentInstantiationOptions kAudioComponentInstantiation_LoadInProcess = 2;

enum class AUAudioUnitBusType : int { input = 1, output = 2 };

// Parameter units and option bits.
enum AudioUnitParameterUnit : uint32_t {
    kAudioUnitParameterUnit_Generic = 0,
    kAudioUnitParameterUnit_Indexed = 1,
    kAudioUnitParameterUnit_Boolean = 2,
    kAudioUnitParameterUnit_Percent = 3,
    kAudioUnitParameterUnit_Seconds = 4,
    kAudioUnitParameterUnit_Hertz = 8,
    kAudioUnitParameterUnit_Decibels = 13,
};
using AudioUnitParameterOptions = uint32_t;
constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_IsReadable = 1u << 30;
constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_IsWritable = 1u << 31;

// Buffers: one AudioBuffer per channel for non-interleaved audio. A null mData is meaningful
// (the host offers no memory for that buffer).
struct AudioBuffer {
    uint32_t mNumberChannels = 1;
    uint32_t mDataByteSize = 0;
    void* mData = nullptr;
};

struct AudioBufferList {
    static constexpr uint32_t kMaxBuffers = 8;
    uint32_t mNumberBuffers = 0;
    std::array<AudioBuffer, kMaxBuffers> mBuffers{};
};

struct AudioTimeStamp {
    double mSampleTime = 0;
    uint64_t mHostTime = 0;
    uint32_t mFlags = 0;
};

// Render events: a singly linked list whose nodes are one of the records below, told apart by
// the common header's eventType.
enum class AURenderEventType : uint8_t {
    parameter = 1,
    parameterRamp = 2,
    midi = 8,
    midiSysEx = 9,
    midiEventList = 10,
};

union AURenderEvent;

struct AURenderEventHeader {
    const AURenderEvent* next = nullptr;
    AUEventSampleTime eventSampleTime = 0;
    AURenderEventType eventType = AURenderEventType::parameter;
    uint8_t reserved = 0;
};

struct AUParameterEvent {
    const AURenderEvent* next = nullptr;
    AUEventSampleTime eventSampleTime = 0;
    AURenderEventType eventType = AURenderEventType::parameter;
    uint8_t reserved[3] = {};
    AUAudioFrameCount rampDurationSampleFrames = 0;
    AUParameterAddress parameterAddress = 0;
    AUValue value = 0;
};

struct AUMIDIEvent {
    const AURenderEvent* next = nullptr;
    AUEventSampleTime eventSampleTime = 0;
    AURenderEventType eventType = AURenderEventType::midi;
    uint8_t reserved = 0;
    uint16_t length = 0;
    uint8_t cable = 0;
    uint8_t data[3] = {};
};

union AURenderEvent {
    AURenderEventHeader head;
    AUParameterEvent parameter;
    AUMIDIEvent MIDI;
};

// Fills `buffers` with the input of bus `inputBusNumber`.
using AURenderPullInputBlock = std::function<AUAudioUnitStatus(
    AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp, AUAudioFrameCount frameCount,
    NSInteger inputBusNumber, AudioBufferList* buffers)>;

// The unit's render entry point, called on the host's real-time thread. The event list and the
// pull-input block may be absent (null).
using AUInternalRenderBlock = std::function<AUAudioUnitStatus(
    AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp, AUAudioFrameCount frameCount,
    NSInteger outputBusNumber, AudioBufferList* outputData, const AURenderEvent* realtimeEventListHead,
    const AURenderPullInputBlock* pullInputBlock)>;

// Hands MIDI that the unit produces to the host: sample time, cable, length and bytes.
using AUMIDIOutputEventBlock =
    std::function<OSStatus(AUEventSampleTime eventSampleTime, uint8_t cable, NSInteger length, const uint8_t* midiBytes)>;

// Schedules a list of MIDI events for the unit (the list's layout is the unit's business here:
// no unit of this system takes MIDI).
using AUMIDIEventListBlock = std::function<OSStatus(AUEventSampleTime eventSampleTime, uint8_t cable, const void* eventList)>;
