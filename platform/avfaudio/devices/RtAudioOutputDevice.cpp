#include "platform/avfaudio/devices/RtAudioOutputDevice.h"

#include "platform/coreaudio/BackendDiagnostics.h"
#include "platform/os/Log.h"

#include <RtAudio.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

namespace {

constexpr uint32_t kMaxChannels = 8;

RtAudio::Api apiFor(RtAudioOutputDevice::Backend backend) {
    switch (backend) {
        case RtAudioOutputDevice::Backend::pulse: return RtAudio::LINUX_PULSE;
        case RtAudioOutputDevice::Backend::alsa: return RtAudio::LINUX_ALSA;
        case RtAudioOutputDevice::Backend::jack: return RtAudio::UNIX_JACK;
    }
    return RtAudio::UNSPECIFIED;
}

const char* backendName(RtAudioOutputDevice::Backend backend) {
    switch (backend) {
        case RtAudioOutputDevice::Backend::pulse: return "PulseAudio";
        case RtAudioOutputDevice::Backend::alsa: return "ALSA";
        case RtAudioOutputDevice::Backend::jack: return "JACK";
    }
    return "?";
}

bool isCompiled(RtAudio::Api api) {
    std::vector<RtAudio::Api> apis;
    RtAudio::getCompiledApi(apis);
    return std::ranges::find(apis, api) != apis.end();
}

// RtAudio reports through a plain function: what it says while a stream opens on this thread is
// kept for the error; what it says later, from its own threads, goes to the log.
thread_local std::string* openMessages = nullptr;

void onRtAudioError(RtAudioError::Type type, const std::string& text) {
    if (openMessages != nullptr) {
        if (!openMessages->empty()) *openMessages += "; ";
        *openMessages += text;
        return;
    }
    if (type == RtAudioError::WARNING || type == RtAudioError::DEBUG_WARNING) return;
    OSLog("com.marlowen.tolvane.audio", "RtAudio").error(text);
}

}  // namespace

struct RtAudioOutputDevice::Stream {
    std::unique_ptr<RtAudio> audio;
    Backend backend = Backend::pulse;
    double sampleRate = 0;
    uint32_t channels = 2;
    uint32_t maxFrames = 0;
    std::atomic<AudioRenderCallback*> callback{nullptr};
    std::atomic<uint64_t> underflows{0};

    static int render(void* output, void*, unsigned int frames, double, RtAudioStreamStatus status, void* user) {
        auto& self = *static_cast<Stream*>(user);
        if (status & RTAUDIO_OUTPUT_UNDERFLOW) self.underflows.fetch_add(1, std::memory_order_relaxed);
        std::array<float*, kMaxChannels> channels{};
        auto* samples = static_cast<float*>(output);
        for (uint32_t c = 0; c < self.channels; ++c) channels[c] = samples + std::size_t{c} * frames;
        if (AudioRenderCallback* callback = self.callback.load(std::memory_order_acquire)) {
            callback->renderAudio(channels.data(), self.channels, frames);
        } else {
            std::fill(samples, samples + std::size_t{self.channels} * frames, 0.0f);
        }
        return 0;
    }
};

namespace {

// Opens the default output of one backend, or says why not.
std::unique_ptr<RtAudioOutputDevice::Stream> openBackend(RtAudioOutputDevice::Backend backend, double sampleRate,
                                                         uint32_t blockFrames, std::string& why) {
    const RtAudio::Api api = apiFor(backend);
    if (!isCompiled(api)) {
        why = "not built into this RtAudio";
        return nullptr;
    }
    // What matters of ALSA's own diagnostics reaches the open error.
    if (backend == RtAudioOutputDevice::Backend::alsa) silenceAlsaDiagnostics();
    auto stream = std::make_unique<RtAudioOutputDevice::Stream>();
    std::string messages;
    openMessages = &messages;
    try {
        stream->audio = std::make_unique<RtAudio>(api);
        stream->audio->showWarnings(false);
        if (stream->audio->getDeviceCount() == 0) {
            why = "no output device";
            openMessages = nullptr;
            return nullptr;
        }
        const unsigned int device = stream->audio->getDefaultOutputDevice();
        const RtAudio::DeviceInfo info = stream->audio->getDeviceInfo(device);
        stream->channels = std::clamp(info.outputChannels, 1u, 2u);
        RtAudio::StreamParameters parameters;
        parameters.deviceId = device;
        parameters.nChannels = stream->channels;
        RtAudio::StreamOptions options;
        options.flags = RTAUDIO_NONINTERLEAVED | RTAUDIO_SCHEDULE_REALTIME;
        options.streamName = "Tolvane";
        unsigned int frames = blockFrames;
        stream->audio->openStream(&parameters, nullptr, RTAUDIO_FLOAT32, static_cast<unsigned int>(sampleRate), &frames,
                                  &RtAudioOutputDevice::Stream::render, stream.get(), &options, &onRtAudioError);
        stream->maxFrames = frames;
    } catch (const RtAudioError& e) {
        messages = e.getMessage();
    }
    openMessages = nullptr;
    if (!stream->audio || !stream->audio->isStreamOpen()) {
        why = messages.empty() ? "the stream did not open" : messages;
        return nullptr;
    }
    stream->backend = backend;
    stream->sampleRate = sampleRate;
    return stream;
}

}  // namespace

RtAudioOutputDevice::RtAudioOutputDevice(std::vector<Backend> backends, uint32_t blockFrames)
    : backends_(std::move(backends)), blockFrames_(std::max(blockFrames, 16u)) {}

RtAudioOutputDevice::~RtAudioOutputDevice() { close(); }

std::string RtAudioOutputDevice::name() const {
    if (stream_) return backendName(stream_->backend);
    std::string names;
    for (const Backend backend : backends_) names += (names.empty() ? "" : " or ") + std::string(backendName(backend));
    return names;
}

// Sound servers convert whatever rate they are given; 48 kHz is the common rate of their devices.
double RtAudioOutputDevice::sampleRate() const { return stream_ ? stream_->sampleRate : 48000.0; }

uint32_t RtAudioOutputDevice::channelCount() const { return stream_ ? stream_->channels : 2; }

uint32_t RtAudioOutputDevice::maximumFramesPerCallback() const { return stream_ ? stream_->maxFrames : blockFrames_; }

bool RtAudioOutputDevice::open(double sampleRate, Error* error) {
    close();
    if (!(std::isfinite(sampleRate) && sampleRate > 0 && sampleRate == std::floor(sampleRate))) {
        setError(error, kAudioDeviceErrorDomain, kAudioDeviceErrorOpenFailed,
                 "the output runs only at a whole number of samples per second");
        return false;
    }
    std::string reasons;
    for (const Backend backend : backends_) {
        std::string why;
        stream_ = openBackend(backend, sampleRate, blockFrames_, why);
        if (stream_) return true;
        reasons += (reasons.empty() ? "" : "; ") + std::string(backendName(backend)) + ": " + why;
    }
    setError(error, kAudioDeviceErrorDomain, kAudioDeviceErrorOpenFailed,
             "no output opened at " + std::to_string(static_cast<long>(sampleRate)) + " Hz (" + reasons + ")");
    return false;
}

void RtAudioOutputDevice::close() {
    if (!stream_) return;
    stop();
    try {
        stream_->audio->closeStream();
    } catch (const RtAudioError&) {
        // Closing a stream whose server went away: nothing is left to release.
    }
    stream_.reset();
}

bool RtAudioOutputDevice::isOpen() const { return stream_ != nullptr; }

bool RtAudioOutputDevice::start(AudioRenderCallback& callback, Error* error) {
    if (!stream_) {
        setError(error, kAudioDeviceErrorDomain, kAudioDeviceErrorNotOpen, "the output is not open");
        return false;
    }
    if (isRunning()) return true;
    stream_->underflows.store(0, std::memory_order_relaxed);
    stream_->callback.store(&callback, std::memory_order_release);
    std::string messages;
    openMessages = &messages;
    try {
        stream_->audio->startStream();
    } catch (const RtAudioError& e) {
        messages = e.getMessage();
    }
    openMessages = nullptr;
    if (!stream_->audio->isStreamRunning()) {
        stream_->callback.store(nullptr, std::memory_order_release);
        setError(error, kAudioDeviceErrorDomain, kAudioDeviceErrorStartFailed,
                 messages.empty() ? "the output did not start" : messages);
        return false;
    }
    return true;
}

void RtAudioOutputDevice::stop() {
    if (!stream_) return;
    try {
        if (stream_->audio->isStreamRunning()) stream_->audio->stopStream();
    } catch (const RtAudioError&) {
        // A server that went away stops the stream by itself.
    }
    stream_->callback.store(nullptr, std::memory_order_release);
}

bool RtAudioOutputDevice::isRunning() const { return stream_ && stream_->audio->isStreamRunning(); }

uint64_t RtAudioOutputDevice::underflowCount() const {
    return stream_ ? stream_->underflows.load(std::memory_order_relaxed) : 0;
}
