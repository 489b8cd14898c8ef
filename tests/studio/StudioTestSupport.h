#pragma once

// What the studio's playback tests share: components that hand out a unit made in this
// process or served by the built plug-in bundles, the looped test file as samples, and an
// engine on the offline device with a helper that plays through it while the loop stays fed.

#include "platform/audiotoolbox/remote/RemoteAudioUnit.h"
#include "platform/avfaudio/devices/OfflineOutputDevice.h"
#include "platform/dispatch/MainExecutor.h"
#include "studio/SimplePlayEngine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <vector>

namespace tolvane::studio::test {

using Planes = std::vector<std::vector<float>>;

// Instantiation always hands out the same unit, as if the component system had made it.
class OneUnitComponents final : public ComponentSystem {
public:
    explicit OneUnitComponents(std::shared_ptr<AUAudioUnit> unit) : unit_(std::move(unit)) {}
    std::vector<AudioComponentDescription> componentsMatchingDescription(const AudioComponentDescription&) override { return {}; }
    void instantiate(const AudioComponentDescription&, AudioComponentInstantiationOptions, AVAudioUnit::Completion completion) override {
        completion(std::make_shared<AVAudioUnit>(unit_), std::nullopt);
    }

private:
    std::shared_ptr<AUAudioUnit> unit_;
};

// The test file's samples, per channel.
inline Planes testFileSamples(const AVAudioFile& file) {
    Error error;
    auto reader = AVAudioFile::initForReading(file.path(), &error);
    auto buffer = AVAudioPCMBuffer::initWithPCMFormat(reader->processingFormat(), static_cast<uint32_t>(reader->length()));
    EXPECT_TRUE(reader->readIntoBuffer(*buffer, &error)) << error.description();
    Planes planes;
    for (uint32_t c = 0; c < buffer->format().channelCount(); ++c) {
        planes.emplace_back(buffer->floatChannelData()[c], buffer->floatChannelData()[c] + buffer->frameLength());
    }
    return planes;
}

// Writes the first `frames` frames of the studio's test file into `folder` under the name the
// engine looks for, and returns the folder: a short loop wraps sooner, so a comparison across
// several wraps stays short where every sample costs much (the sanitizer builds). The samples
// are stored as 32-bit floats, so the excerpt plays exactly as the start of the original.
inline std::filesystem::path shortTestFileFolder(const std::filesystem::path& original, const std::filesystem::path& folder,
                                                 uint32_t frames) {
    Error error;
    auto reader = AVAudioFile::initForReading(original.string(), &error);
    EXPECT_TRUE(reader) << error.description();
    if (!reader) return folder;
    auto buffer = AVAudioPCMBuffer::initWithPCMFormat(reader->processingFormat(), frames);
    EXPECT_TRUE(reader->readIntoBuffer(*buffer, &error)) << error.description();
    auto writer = AVAudioFile::initForWriting((folder / "Synth.aif").string(), reader->processingFormat(), &error);
    EXPECT_TRUE(writer && writer->writeFromBuffer(*buffer, &error)) << error.description();
    return folder;
}

// Loads the effect through the engine, running the executor's clock until the load completes.
inline bool loadThrough(SimplePlayEngine& engine, ManualMainExecutor& main, std::chrono::milliseconds limit) {
    bool done = false;
    engine.loadAudioUnit("aufx", "vnyl", "MrLw", [&](std::shared_ptr<AUViewController>) { done = true; });
    return main.runUntilWithTimers([&] { return done; }, limit) && engine.avAudioUnit();
}

// Starts playback, running the executor's clock while an out-of-process effect is still
// allocating (the engine tries the start again from the main loop then).
inline bool startThrough(SimplePlayEngine& engine, ManualMainExecutor& main, std::chrono::milliseconds limit) {
    engine.startPlaying();
    return main.runUntilWithTimers([&] { return engine.isPlaying(); }, limit);
}

// Renders `frames` frames in blocks of `block` from the offline device, first letting the main
// loop queue the next pass whenever the last one has been consumed, as a device in real time
// would while the read-ahead still plays: rendering here is far faster than real time.
inline Planes playLooped(SimplePlayEngine& engine, ManualMainExecutor& main, OfflineOutputDevice& device, uint32_t frames,
                         uint32_t block) {
    Planes played(device.channelCount());
    for (uint32_t done = 0; done < frames;) {
        if (engine.isPlaying()) {
            AVAudioPlayerNode& player = *engine.player();
            EXPECT_TRUE(main.runUntil([&] { return !player.hasConsumedCompletionsToRun() && player.pendingCompletionCount() > 0; },
                                      std::chrono::seconds(20)));
        }
        const uint32_t n = device.render(std::min(block, frames - done));
        for (uint32_t c = 0; c < played.size(); ++c) played[c].insert(played[c].end(), device.channel(c), device.channel(c) + n);
        done += n;
    }
    return played;
}

}  // namespace tolvane::studio::test
