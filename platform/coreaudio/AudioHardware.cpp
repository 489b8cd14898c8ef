#include "platform/coreaudio/AudioHardware.h"

#include "platform/coreaudio/BackendDiagnostics.h"

#include <RtAudio.h>

#include <exception>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

// Backend device indices start at 0, which here means "no device": identifiers are index + 1.
AudioObjectID identifierOf(unsigned index) { return static_cast<AudioObjectID>(index) + 1; }
unsigned indexOf(AudioObjectID device) { return static_cast<unsigned>(device - 1); }

// The first compiled API that has devices, in the backend's own order (the last one tried when
// none has). Each is opened quietly: the backend's own choice probes every API before its
// warnings can be turned off, and ALSA prints its diagnostics while it looks.
std::unique_ptr<RtAudio> openQuietly() {
    std::vector<RtAudio::Api> apis;
    RtAudio::getCompiledApi(apis);
    std::unique_ptr<RtAudio> audio;
    for (const RtAudio::Api api : apis) {
        if (api == RtAudio::LINUX_ALSA) silenceAlsaDiagnostics();
        audio = std::make_unique<RtAudio>(api);
        audio->showWarnings(false);
        if (audio->getDeviceCount() > 0) break;
    }
    if (!audio) throw std::runtime_error("no audio backend is built in");
    return audio;
}

}  // namespace

struct BackendAudioHardware::Backend {
    // Made on first use: opening the backend probes the sound system.
    RtAudio* audio() {
        if (!rtAudio) rtAudio = openQuietly();
        return rtAudio.get();
    }
    std::unique_ptr<RtAudio> rtAudio;
};

BackendAudioHardware::BackendAudioHardware() : backend_(std::make_unique<Backend>()) {}

BackendAudioHardware::~BackendAudioHardware() = default;

std::optional<AudioObjectID> BackendAudioHardware::defaultDevice(DefaultDeviceSelector selector) {
    try {
        RtAudio& audio = *backend_->audio();
        if (audio.getDeviceCount() == 0) return kAudioObjectUnknown;
        const bool input = selector == DefaultDeviceSelector::defaultInputDevice;
        const unsigned index = input ? audio.getDefaultInputDevice() : audio.getDefaultOutputDevice();
        // The backend answers 0 when it knows no default, so check that the device does the job.
        const RtAudio::DeviceInfo info = audio.getDeviceInfo(index);
        if (!info.probed) return std::nullopt;
        const unsigned channels = input ? info.inputChannels : info.outputChannels;
        return channels > 0 ? identifierOf(index) : kAudioObjectUnknown;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> BackendAudioHardware::deviceName(AudioObjectID device) {
    if (device == kAudioObjectUnknown) return std::nullopt;
    try {
        const RtAudio::DeviceInfo info = backend_->audio()->getDeviceInfo(indexOf(device));
        if (!info.probed) return std::nullopt;
        return info.name;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}
