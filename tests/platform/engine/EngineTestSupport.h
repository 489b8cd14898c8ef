#pragma once

// What the engine tests share: a fixed-gain unit, a node that renders through any unit, test
// files written to disk, and an engine on the offline device that collects what it plays.

#include "platform/audiotoolbox/AUAudioUnit.h"
#include "platform/avfaudio/AVAudioEngine.h"
#include "platform/avfaudio/AVAudioFile.h"
#include "platform/avfaudio/AVAudioPlayerNode.h"
#include "platform/avfaudio/devices/OfflineOutputDevice.h"
#include "tests/support/TempFolder.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tolvane::test {

inline AVAudioFormat standard(double rate, uint32_t channels) { return *AVAudioFormat::standardFormat(rate, channels); }

// Multiplies its input by a gain. Counts its allocations, keeps the last render's sample time and
// runs a test's hook at the start of each render.
class GainUnit final : public AUAudioUnit {
public:
    explicit GainUnit(float gain, std::vector<uint32_t> channelCounts = {}) : gain(gain) {
        auto format = standard(44100, 2);
        input_ = std::make_shared<AUAudioUnitBus>(format);
        output_ = std::make_shared<AUAudioUnitBus>(format);
        input_->setSupportedChannelCounts(channelCounts);
        output_->setSupportedChannelCounts(channelCounts);
        inputs_.emplace(*this, AUAudioUnitBusType::input, std::vector{input_});
        outputs_.emplace(*this, AUAudioUnitBusType::output, std::vector{output_});
    }

    AUAudioUnitBusArray* inputBusses() override { return &*inputs_; }
    AUAudioUnitBusArray* outputBusses() override { return &*outputs_; }

    bool allocateRenderResources(Error* error) override {
        if (!AUAudioUnit::allocateRenderResources(error)) return false;
        allocations.fetch_add(1);
        return true;
    }
    void deallocateRenderResources() override {
        if (renderResourcesAllocated()) deallocations.fetch_add(1);
        AUAudioUnit::deallocateRenderResources();
    }

    AUInternalRenderBlock internalRenderBlock() override {
        return [this](AudioUnitRenderActionFlags* flags, const AudioTimeStamp* time, AUAudioFrameCount frames, NSInteger,
                      AudioBufferList* out, const AURenderEvent*, const AURenderPullInputBlock* pull) -> AUAudioUnitStatus {
            if (onRender) onRender();
            const AUAudioUnitStatus status = (*pull)(flags, time, frames, 0, out);
            if (status != noErr) return status;
            const float g = gain.load();
            for (uint32_t b = 0; b < out->mNumberBuffers; ++b) {
                auto* samples = static_cast<float*>(out->mBuffers[b].mData);
                for (uint32_t i = 0; i < frames; ++i) samples[i] *= g;
            }
            lastSampleTime.store(time->mSampleTime);
            return noErr;
        };
    }

    std::atomic<float> gain;
    std::atomic<int> allocations{0};
    std::atomic<int> deallocations{0};
    std::atomic<double> lastSampleTime{-1};
    std::function<void()> onRender;  // set before the unit renders; runs on the render thread
    const AUAudioUnitBus& inputBus() const { return *input_; }

private:
    std::shared_ptr<AUAudioUnitBus> input_, output_;
    std::optional<AUAudioUnitBusArray> inputs_, outputs_;
};

// A node that renders through a given unit.
class UnitNode final : public AVAudioNode {
public:
    explicit UnitNode(std::shared_ptr<AUAudioUnit> unit) : AVAudioNode(std::move(unit)) {}
};

inline std::shared_ptr<UnitNode> unitNode(std::shared_ptr<AUAudioUnit> unit) { return std::make_shared<UnitNode>(std::move(unit)); }

// Channel c, frame i of a test signal: distinct values per frame and channel, below full scale.
inline float testSample(uint32_t frame, uint32_t channel, float seed = 0) {
    return 0.5f * std::sin(0.0123f * static_cast<float>(frame) + 1.7f * static_cast<float>(channel) + seed);
}

// Writes a float WAV file (float samples survive exactly) and returns it opened for reading.
inline std::unique_ptr<AVAudioFile> writeTestFile(const TempFolder& folder, const std::string& name, double rate,
                                                  uint32_t channels, uint32_t frames,
                                                  const std::function<float(uint32_t, uint32_t)>& sample) {
    const std::string path = folder.file(name).string();
    Error error;
    {
        auto buffer = AVAudioPCMBuffer::initWithPCMFormat(standard(rate, channels), std::max(frames, 1u));
        for (uint32_t c = 0; c < channels; ++c) {
            for (uint32_t i = 0; i < frames; ++i) buffer->floatChannelData()[c][i] = sample(i, c);
        }
        buffer->setFrameLength(frames);
        auto writer = AVAudioFile::initForWriting(path, standard(rate, channels), &error);
        if (!writer || !writer->writeFromBuffer(*buffer, &error)) throw std::runtime_error(error.description());
    }
    auto file = AVAudioFile::initForReading(path, &error);
    if (!file) throw std::runtime_error(error.description());
    return file;
}

// Polls until `done` holds; the generous limit only turns a hang into a failure.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// An engine on the offline device, and what it played, per channel.
struct OfflineRig {
    explicit OfflineRig(OfflineOutputDevice::Options options = {.preferredSampleRate = 48000, .channels = 2, .maximumFrames = 4096})
        : device(std::make_shared<OfflineOutputDevice>(options)), engine(std::make_unique<AVAudioEngine>(device)) {}

    // Renders `frames` frames in blocks of `block` and appends them to `played`.
    void render(uint32_t frames, uint32_t block) {
        played.resize(device->channelCount());
        for (uint32_t done = 0; done < frames;) {
            const uint32_t n = device->render(std::min(block, frames - done));
            for (uint32_t c = 0; c < device->channelCount(); ++c) played[c].insert(played[c].end(), device->channel(c), device->channel(c) + n);
            done += n;
        }
    }

    std::shared_ptr<OfflineOutputDevice> device;
    std::unique_ptr<AVAudioEngine> engine;
    std::vector<std::vector<float>> played;
};

}  // namespace tolvane::test
