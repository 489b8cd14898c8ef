#include "plugin/AudioUnitAdapter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

namespace tolvane::plugin {

namespace {

void setStatusError(Error* error, OSStatus status, std::string message) {
    setError(error, std::string(kOSStatusErrorDomain), status, std::move(message));
}

bool supportsChannels(const AUAudioUnit& unit, uint32_t channels) {
    const std::vector<int> capabilities = unit.channelCapabilities();
    if (capabilities.empty()) return true;
    for (std::size_t i = 0; i + 1 < capabilities.size(); i += 2) {
        if (capabilities[i] == static_cast<int>(channels) && capabilities[i + 1] == static_cast<int>(channels)) return true;
    }
    return false;
}

void silence(float* const* outputs, uint32_t channels, uint32_t offset, uint32_t frames) noexcept {
    if (outputs == nullptr) return;
    for (uint32_t c = 0; c < channels; ++c) {
        if (outputs[c] != nullptr) std::fill_n(outputs[c] + offset, frames, 0.0f);
    }
}

}  // namespace

AudioUnitAdapter::AudioUnitAdapter(std::shared_ptr<AUAudioUnit> unit, uint32_t channels, const ValueNames& valueNames)
    : unit_(std::move(unit)), channels_(channels) {
    if (!unit_) throw std::invalid_argument("AudioUnitAdapter needs a unit");
    if (channels_ == 0 || channels_ > AudioBufferList::kMaxBuffers)
        throw std::invalid_argument("AudioUnitAdapter: unsupported channel count " + std::to_string(channels_));
    if (!supportsChannels(*unit_, channels_))
        throw std::invalid_argument(unit_->audioUnitName() + " does not process " + std::to_string(channels_) +
                                    " channels in and out");
    if (auto tree = unit_->parameterTree()) layout_ = makeParameterLayout(*tree, valueNames);

    pending_ = std::make_unique<PendingValue[]>(layout_.parameters.size());
    for (std::size_t i = 0; i < layout_.parameters.size(); ++i) pending_[i].value.store(layout_.parameters[i].defaultValue);
    events_.assign(layout_.parameters.size(), AURenderEvent{});

    pullBlock_ = [this](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount frames, NSInteger,
                        AudioBufferList* buffers) { return pullInput(frames, buffers); };
}

AudioUnitAdapter::~AudioUnitAdapter() { deactivate(); }

float AudioUnitAdapter::parameterValue(uint32_t index) const noexcept {
    if (index >= parameterCount()) return 0.0f;
    const PendingValue& pending = pending_[index];
    if (pending.changed.load(std::memory_order_acquire)) return pending.value.load(std::memory_order_relaxed);
    return layout_.parameters[index].parameter->value();
}

void AudioUnitAdapter::setParameterValue(uint32_t index, float value) noexcept {
    if (index >= parameterCount()) return;
    const std::optional<float> conformed = conformHostValue(layout_.parameters[index], value);
    if (!conformed) return;
    pending_[index].value.store(*conformed, std::memory_order_relaxed);
    pending_[index].changed.store(true, std::memory_order_release);
}

void AudioUnitAdapter::applyPendingValuesToTree() {
    for (uint32_t i = 0; i < parameterCount(); ++i) {
        if (pending_[i].changed.exchange(false, std::memory_order_acq_rel))
            layout_.parameters[i].parameter->setValue(pending_[i].value.load(std::memory_order_relaxed));
    }
}

const AURenderEvent* AudioUnitAdapter::takePendingEvents() noexcept {
    // Built back to front so that the list runs in parameter order.
    const AURenderEvent* head = nullptr;
    for (uint32_t i = parameterCount(); i-- > 0;) {
        if (!pending_[i].changed.exchange(false, std::memory_order_acq_rel)) continue;
        AUParameterEvent event;
        event.next = head;
        event.eventSampleTime = static_cast<AUEventSampleTime>(timestamp_.mSampleTime);
        event.eventType = AURenderEventType::parameter;
        event.parameterAddress = layout_.parameters[i].parameter->address();
        event.value = pending_[i].value.load(std::memory_order_relaxed);
        events_[i].parameter = event;
        head = &events_[i];
    }
    return head;
}

bool AudioUnitAdapter::setBusFormats(double sampleRate, Error* error) {
    const std::optional<AVAudioFormat> format = AVAudioFormat::standardFormat(sampleRate, channels_);
    if (!format) {
        setStatusError(error, kAudioUnitErr_FormatNotSupported, "sample rate " + std::to_string(sampleRate) + " is not usable");
        return false;
    }
    for (AUAudioUnitBusArray* busses : {unit_->inputBusses(), unit_->outputBusses()}) {
        if (busses == nullptr) continue;
        for (std::size_t i = 0; i < busses->count(); ++i) {
            if (!(*busses)[i].setFormat(*format, error)) return false;
        }
    }
    return true;
}

bool AudioUnitAdapter::activate(double sampleRate, uint32_t maximumFrames, Error* error) {
    deactivate();
    applyPendingValuesToTree();
    if (!setBusFormats(sampleRate, error)) return false;

    const uint32_t frames = maximumFrames > 0 ? maximumFrames : kDefaultMaximumFrames;
    if (!unit_->setMaximumFramesToRender(frames)) {
        setStatusError(error, kAudioUnitErr_Initialized, "the unit's render resources are allocated elsewhere");
        return false;
    }
    if (!unit_->allocateRenderResources(error)) return false;
    renderBlock_ = unit_->internalRenderBlock();
    if (!renderBlock_) {
        unit_->deallocateRenderResources();
        setStatusError(error, kAudioUnitErr_NoConnection, unit_->audioUnitName() + " has no render block");
        return false;
    }

    outputList_ = AudioBufferList{};
    outputList_.mNumberBuffers = channels_;
    timestamp_ = AudioTimeStamp{};
    sampleRate_ = sampleRate;
    maximumFrames_ = frames;
    active_ = true;
    return true;
}

void AudioUnitAdapter::deactivate() {
    if (!active_) return;
    active_ = false;
    unit_->deallocateRenderResources();
    renderBlock_ = nullptr;
}

uint32_t AudioUnitAdapter::latencyFrames() const {
    AUAudioUnitBusArray* outputs = unit_->outputBusses();
    const double rate = outputs != nullptr && outputs->count() > 0 ? (*outputs)[0].format().sampleRate() : 44100.0;
    const double frames = std::round(unit_->latency() * rate);
    return frames > 0 ? static_cast<uint32_t>(frames) : 0u;
}

void AudioUnitAdapter::run(const float* const* inputs, float* const* outputs, uint32_t frames) noexcept {
    if (!active_) {
        silence(outputs, channels_, 0, frames);
        return;
    }
    const AURenderEvent* events = takePendingEvents();
    if (frames == 0) {
        if (renderSlice(inputs, outputs, 0, 0, events) != noErr) failedRenderCalls_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    for (uint32_t offset = 0; offset < frames;) {
        const uint32_t slice = std::min(maximumFrames_, frames - offset);
        if (renderSlice(inputs, outputs, offset, slice, events) != noErr) {
            silence(outputs, channels_, offset, slice);
            failedRenderCalls_.fetch_add(1, std::memory_order_relaxed);
        }
        events = nullptr;  // the first slice carried them
        offset += slice;
    }
}

AUAudioUnitStatus AudioUnitAdapter::renderSlice(const float* const* inputs, float* const* outputs, uint32_t offset,
                                                uint32_t frames, const AURenderEvent* events) noexcept {
    for (uint32_t c = 0; c < channels_; ++c) {
        sliceInputs_[c] = inputs != nullptr && inputs[c] != nullptr ? inputs[c] + offset : nullptr;
        float* out = outputs != nullptr && outputs[c] != nullptr ? outputs[c] + offset : nullptr;
        outputList_.mBuffers[c] = AudioBuffer{1, static_cast<uint32_t>(frames * sizeof(float)), out};
    }
    AudioUnitRenderActionFlags flags = 0;
    const AUAudioUnitStatus status = renderBlock_(&flags, &timestamp_, frames, 0, &outputList_, events, &pullBlock_);
    timestamp_.mSampleTime += frames;
    return status;
}

AUAudioUnitStatus AudioUnitAdapter::pullInput(AUAudioFrameCount frames, AudioBufferList* buffers) const noexcept {
    if (buffers == nullptr) return kAudio_ParamError;
    for (uint32_t b = 0; b < buffers->mNumberBuffers; ++b) {
        auto* out = static_cast<float*>(buffers->mBuffers[b].mData);
        if (out == nullptr) continue;
        const float* in = sliceInputs_[std::min(b, channels_ - 1)];
        if (in == nullptr) {
            std::fill_n(out, frames, 0.0f);
        } else if (in != out) {
            // Hosts may hand the same memory, or overlapping memory, as input and output.
            std::memmove(out, in, frames * sizeof(float));
        }
    }
    return noErr;
}

}  // namespace tolvane::plugin
