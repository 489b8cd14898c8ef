// The engine's pull graph on the offline device: what a player, a unit and a mixer put out,
// checked sample for sample against the files and closed-form mixes; how the device and the
// units get their formats; and what start reports when something refuses.

#include "tests/platform/engine/EngineTestSupport.h"

#include <gtest/gtest.h>

#include <mutex>

namespace {

using namespace tolvane::test;

constexpr double kRate = 44100;

class AudioEngineTest : public testing::Test {
protected:
    TempFolder folder;
    std::unique_ptr<AVAudioFile> fileA = writeTestFile(folder, "a.wav", kRate, 2, 1000, [](uint32_t i, uint32_t c) { return testSample(i, c); });
    std::unique_ptr<AVAudioFile> fileB = writeTestFile(folder, "b.wav", kRate, 2, 777, [](uint32_t i, uint32_t c) { return testSample(i, c, 2.0f); });

    // player -> main mixer -> output, in the files' format.
    std::shared_ptr<AVAudioPlayerNode> wirePlayer(AVAudioEngine& engine,
                                                  uint32_t readAhead = AVAudioPlayerNode::kDefaultReadAheadFrames) {
        auto player = std::make_shared<AVAudioPlayerNode>(readAhead);
        engine.attachNode(player);
        engine.connect(player, engine.mainMixerNode(), standard(kRate, 2));
        return player;
    }

    // What a file's frames look like in the output, channel c, followed by `silence` zeros.
    static std::vector<float> expected(const std::vector<std::pair<uint32_t, float>>& files, uint32_t c, uint32_t silence) {
        std::vector<float> out;
        for (const auto& [frames, seed] : files) {
            for (uint32_t i = 0; i < frames; ++i) out.push_back(testSample(i, c, seed));
        }
        out.insert(out.end(), silence, 0.0f);
        return out;
    }
};

TEST_F(AudioEngineTest, ScheduledFilesPlayBackToBackWhateverTheBlockSize) {
    for (const uint32_t block : {1u, 7u, 64u, 511u, 4096u}) {
        SCOPED_TRACE("block " + std::to_string(block));
        OfflineRig rig;
        auto player = wirePlayer(*rig.engine);
        std::mutex mutex;
        std::vector<char> completed;
        for (const char name : {'A', 'B', 'A'}) {
            ASSERT_TRUE(player->scheduleFile(name == 'A' ? *fileA : *fileB, [&, name] {
                std::lock_guard lock(mutex);
                completed.push_back(name);
            }));
        }
        player->play();
        Error error;
        ASSERT_TRUE(rig.engine->startAndReturnError(&error)) << error.description();
        rig.render(3000, block);
        for (uint32_t c = 0; c < 2; ++c) EXPECT_EQ(rig.played[c], expected({{1000, 0}, {777, 2}, {1000, 0}}, c, 223));
        ASSERT_TRUE(waitUntil([&] { std::lock_guard lock(mutex); return completed.size() == 3; }));
        std::lock_guard lock(mutex);
        EXPECT_EQ(completed, (std::vector<char>{'A', 'B', 'A'}));
    }
}

// A file saved over with the same format and length is new audio, not the samples decoded before.
TEST_F(AudioEngineTest, AFileRewrittenInPlacePlaysItsNewSamples) {
    OfflineRig rig;
    auto player = wirePlayer(*rig.engine);
    ASSERT_TRUE(player->scheduleFile(*fileA, nullptr));
    const auto before = std::filesystem::last_write_time(fileA->path());
    const auto rewritten = writeTestFile(folder, "a.wav", kRate, 2, 1000, [](uint32_t i, uint32_t c) { return testSample(i, c, 2.0f); });
    // Saved within the file system's timestamp resolution, it would look unchanged.
    std::filesystem::last_write_time(rewritten->path(), before + std::chrono::seconds(1));
    ASSERT_TRUE(player->scheduleFile(*rewritten, nullptr));
    player->play();
    ASSERT_TRUE(rig.engine->startAndReturnError(nullptr));
    rig.render(2100, 256);
    for (uint32_t c = 0; c < 2; ++c) EXPECT_EQ(rig.played[c], expected({{1000, 0}, {1000, 2}}, c, 100));
}

TEST_F(AudioEngineTest, ASegmentIsConsumedOnceThePlayHeadIsWithinTheReadAheadOfItsEnd) {
    OfflineRig rig;
    auto player = wirePlayer(*rig.engine, 300);
    std::atomic<int> firstDone{0}, secondDone{0};
    ASSERT_TRUE(player->scheduleFile(*fileA, [&] { ++firstDone; }));
    ASSERT_TRUE(player->scheduleFile(*fileB, [&] { ++secondDone; }));
    player->play();
    ASSERT_TRUE(rig.engine->startAndReturnError(nullptr));
    rig.render(699, 233);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(firstDone.load(), 0);
    rig.render(1, 1);  // 300 frames of the first file left
    ASSERT_TRUE(waitUntil([&] { return firstDone.load() == 1; }));
    rig.render(300 + 476, 64);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(secondDone.load(), 0);
    rig.render(1, 1);  // 300 frames of the second file left
    ASSERT_TRUE(waitUntil([&] { return secondDone.load() == 1; }));
    EXPECT_EQ(player->pendingCompletionCount(), 0u);
    for (uint32_t c = 0; c < 2; ++c) EXPECT_EQ(rig.played[c], expected({{1000, 0}, {477, 2}}, c, 0));
}

TEST_F(AudioEngineTest, StopDropsTheQueueRunningEachCompletionOnceAndPauseHoldsThePosition) {
    OfflineRig rig;
    auto player = wirePlayer(*rig.engine, 0);
    std::atomic<int> firstDone{0}, secondDone{0};
    ASSERT_TRUE(player->scheduleFile(*fileA, [&] { ++firstDone; }));
    ASSERT_TRUE(player->scheduleFile(*fileB, [&] { ++secondDone; }));
    player->play();
    ASSERT_TRUE(rig.engine->startAndReturnError(nullptr));

    rig.render(300, 64);
    player->pause();
    rig.render(200, 64);  // held: silence, the position stays at 300
    player->play();
    rig.render(100, 64);
    for (uint32_t i = 0; i < 200; ++i) ASSERT_EQ(rig.played[0][300 + i], 0.0f);
    for (uint32_t i = 0; i < 100; ++i) ASSERT_EQ(rig.played[0][500 + i], testSample(300 + i, 0));

    player->stop();  // both segments are dropped; their completions run before stop returns
    EXPECT_EQ(firstDone.load(), 1);
    EXPECT_EQ(secondDone.load(), 1);
    rig.render(500, 64);
    EXPECT_TRUE(std::all_of(rig.played[1].end() - 500, rig.played[1].end(), [](float s) { return s == 0.0f; }));

    // A file scheduled after the stop starts from its first frame.
    std::atomic<int> againDone{0};
    ASSERT_TRUE(player->scheduleFile(*fileB, [&] { ++againDone; }));
    player->play();
    rig.played.assign(2, {});
    rig.render(800, 128);
    EXPECT_EQ(rig.played[0], expected({{777, 2}}, 0, 23));
    ASSERT_TRUE(waitUntil([&] { return againDone.load() == 1; }));
    EXPECT_EQ(firstDone.load(), 1);
    EXPECT_EQ(secondDone.load(), 1);
}

TEST_F(AudioEngineTest, UnitRendersBetweenPlayerAndMixerWithFormatsFromItsConnections) {
    OfflineRig rig;  // the device prefers 48 kHz; the graph runs at the file's rate
    auto gain = std::make_shared<GainUnit>(0.5f);
    auto node = unitNode(gain);
    auto player = std::make_shared<AVAudioPlayerNode>();
    AVAudioEngine& engine = *rig.engine;
    engine.attachNode(player);
    engine.attachNode(node);
    engine.connect(player, node, standard(kRate, 2));
    engine.connect(node, engine.mainMixerNode(), standard(kRate, 2));
    EXPECT_EQ(engine.outputNode()->outputFormatForBus(0), standard(kRate, 2));
    EXPECT_EQ(gain->allocations.load(), 0);  // nothing is allocated before prepare or start

    ASSERT_TRUE(player->scheduleFile(*fileA, nullptr));
    player->play();
    Error error;
    ASSERT_TRUE(engine.startAndReturnError(&error)) << error.description();
    EXPECT_EQ(rig.device->sampleRate(), kRate);
    EXPECT_EQ(gain->allocations.load(), 1);
    EXPECT_EQ(gain->inputBus().format(), standard(kRate, 2));
    EXPECT_EQ(gain->maximumFramesToRender(), 4096u);

    rig.render(1200, 100);
    for (uint32_t c = 0; c < 2; ++c) {
        for (uint32_t i = 0; i < 1000; ++i) ASSERT_EQ(rig.played[c][i], 0.5f * testSample(i, c)) << i;
    }
    EXPECT_EQ(gain->lastSampleTime.load(), 1100.0);  // sample times run on from block to block

    // Stopped, the unit leaves and comes back: it keeps its resources. Left out, it loses them.
    engine.stop();
    engine.detachNode(node);
    engine.attachNode(node);
    engine.connect(player, node, standard(kRate, 2));
    engine.connect(node, engine.mainMixerNode(), standard(kRate, 2));
    ASSERT_TRUE(engine.startAndReturnError(nullptr));
    EXPECT_EQ(gain->allocations.load(), 1);
    engine.stop();
    engine.detachNode(node);
    ASSERT_TRUE(engine.startAndReturnError(nullptr));
    EXPECT_EQ(gain->deallocations.load(), 1);
    EXPECT_FALSE(gain->renderResourcesAllocated());
}

TEST_F(AudioEngineTest, MixerSumsItsInputsAndFoldsChannels) {
    auto mono = writeTestFile(folder, "mono.wav", kRate, 1, 500, [](uint32_t i, uint32_t) { return 0.25f * testSample(i, 0, 5.0f); });
    OfflineRig rig;
    AVAudioEngine& engine = *rig.engine;
    auto first = std::make_shared<AVAudioPlayerNode>();
    auto second = std::make_shared<AVAudioPlayerNode>();
    engine.attachNode(first);
    engine.attachNode(second);
    engine.connect(first, engine.mainMixerNode(), standard(kRate, 1));
    engine.connect(second, engine.mainMixerNode(), standard(kRate, 2));
    auto playBoth = [&] {
        first->stop();
        second->stop();
        ASSERT_TRUE(first->scheduleFile(*mono, nullptr));
        ASSERT_TRUE(second->scheduleFile(*fileA, nullptr));
        first->play();
        second->play();
        rig.played.assign(2, {});
    };

    playBoth();
    ASSERT_TRUE(engine.startAndReturnError(nullptr));
    rig.render(500, 256);
    for (uint32_t i = 0; i < 500; ++i) {
        const float m = 0.25f * testSample(i, 0, 5.0f);
        ASSERT_EQ(rig.played[0][i], m + testSample(i, 0));
        ASSERT_EQ(rig.played[1][i], m + testSample(i, 1));
    }

    // A mono mixer output: stereo folds to (left + right) / 2, and the device gets it on both channels.
    engine.stop();
    engine.connect(engine.mainMixerNode(), engine.outputNode(), standard(kRate, 1));
    playBoth();
    ASSERT_TRUE(engine.startAndReturnError(nullptr));
    rig.render(500, 256);
    for (uint32_t i = 0; i < 500; ++i) {
        const float folded = 0.25f * testSample(i, 0, 5.0f) + (testSample(i, 0) + testSample(i, 1)) * 0.5f;
        ASSERT_FLOAT_EQ(rig.played[0][i], folded);
        ASSERT_EQ(rig.played[1][i], rig.played[0][i]);
    }
}

// A device that never opens, like a desktop without a sound server or card.
class ClosedDevice final : public AudioOutputDevice {
public:
    std::string name() const override { return "closed"; }
    double sampleRate() const override { return 48000; }
    uint32_t channelCount() const override { return 2; }
    uint32_t maximumFramesPerCallback() const override { return 512; }
    bool open(double, Error* error) override {
        setError(error, kAudioDeviceErrorDomain, kAudioDeviceErrorOpenFailed, "no sound server");
        return false;
    }
    void close() override {}
    bool isOpen() const override { return false; }
    bool start(AudioRenderCallback&, Error*) override { return false; }
    void stop() override {}
    bool isRunning() const override { return false; }
};

TEST_F(AudioEngineTest, StartSaysWhatStopsItAndFallsBackToTheNullOutputWhenAllowed) {
    {
        OfflineRig rig;
        wirePlayer(*rig.engine);
        rig.device->refuseStart(Error{"device", -7, "the device is busy"});
        Error error;
        EXPECT_FALSE(rig.engine->startAndReturnError(&error));
        EXPECT_EQ(error.localizedDescription, "the device is busy");
        EXPECT_FALSE(rig.engine->isRunning());
    }
    {
        OfflineRig rig;
        auto player = wirePlayer(*rig.engine);
        auto other = std::make_shared<AVAudioPlayerNode>();
        rig.engine->attachNode(other);
        rig.engine->connect(other, rig.engine->mainMixerNode(), standard(48000, 2));
        Error error;
        EXPECT_FALSE(rig.engine->startAndReturnError(&error));
        EXPECT_NE(error.localizedDescription.find("does not convert sample rates"), std::string::npos) << error.description();
    }
    {
        OfflineRig rig;  // a unit that takes only stereo, fed mono
        auto node = unitNode(std::make_shared<GainUnit>(1.0f, std::vector<uint32_t>{2}));
        auto player = std::make_shared<AVAudioPlayerNode>();
        rig.engine->attachNode(player);
        rig.engine->attachNode(node);
        rig.engine->connect(player, node, standard(kRate, 1));
        rig.engine->connect(node, rig.engine->mainMixerNode(), standard(kRate, 1));
        Error error;
        EXPECT_FALSE(rig.engine->startAndReturnError(&error));
        EXPECT_EQ(error.code, kAudioUnitErr_FormatNotSupported);
    }
    for (const bool fallback : {false, true}) {
        AVAudioEngine engine(std::make_shared<ClosedDevice>(), fallback);
        auto player = wirePlayer(engine);
        Error error;
        EXPECT_EQ(engine.startAndReturnError(&error), fallback);
        if (fallback) {
            EXPECT_EQ(engine.outputDevice()->name(), "null output");
            EXPECT_EQ(engine.outputDevice()->sampleRate(), kRate);
            EXPECT_EQ(engine.outputNode()->outputFormatForBus(0), standard(kRate, 2));
            engine.stop();
        } else {
            EXPECT_EQ(error.localizedDescription, "no sound server");
        }
    }
}

TEST_F(AudioEngineTest, ConnectionsReplaceWhatWasOnTheirBusesAndDetachingTakesThemAway) {
    OfflineRig rig;
    AVAudioEngine& engine = *rig.engine;
    auto player = std::make_shared<AVAudioPlayerNode>();
    auto node = unitNode(std::make_shared<GainUnit>(1.0f));
    EXPECT_THROW(engine.connect(player, engine.mainMixerNode(), standard(kRate, 2)), std::invalid_argument);
    engine.attachNode(player);
    engine.attachNode(node);
    engine.connect(player, engine.mainMixerNode(), standard(kRate, 2));
    engine.connect(player, node, standard(kRate, 1));  // the player's output moves to the unit
    EXPECT_FALSE(engine.mainMixerNode()->inputFormatForBus(0).has_value());
    EXPECT_EQ(node->inputFormatForBus(0), standard(kRate, 1));
    EXPECT_EQ(player->outputFormatForBus(0), standard(kRate, 1));
    engine.detachNode(node);
    EXPECT_EQ(node->engine(), nullptr);
    EXPECT_EQ(player->outputFormatForBus(0), standard(kRate, 2));  // unconnected: the player's own
    EXPECT_EQ(node->inputFormatForBus(0), standard(kRate, 2));     // unconnected: the unit's bus
    engine.detachNode(node);  // not attached: nothing happens
    EXPECT_FALSE(engine.inputNode()->outputFormatForBus(0).has_value());  // no capture device known
}

}  // namespace
