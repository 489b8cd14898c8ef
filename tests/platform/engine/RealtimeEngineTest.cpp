// The engine's real-time side: the hand-off of plans between threads, graph changes while the
// device renders on another thread, and the paced null output, whose callbacks are audited for
// allocations and blocking locks.

#include "platform/avfaudio/RealtimeHandoff.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/avfaudio/devices/AudioOutputChoice.h"
#include "platform/avfaudio/devices/NullOutputDevice.h"
#include "tests/platform/engine/EngineTestSupport.h"
#include "tests/support/AuditedOutputDevice.h"
#include "tests/support/SoakLength.h"

#include <gtest/gtest.h>


namespace {

using namespace tolvane::test;
using namespace std::chrono_literals;

constexpr double kRate = 44100;

struct Tracked {
    explicit Tracked(std::atomic<int>& destroyed) : destroyed(destroyed) {}
    ~Tracked() { ++destroyed; }
    std::atomic<int>& destroyed;
};

TEST(RealtimeHandoffTest, RetiredObjectsLiveUntilTheReaderLetsGo) {
    std::atomic<int> destroyed{0};
    RealtimeHandoff<Tracked> handoff;
    handoff.publish(std::make_unique<Tracked>(destroyed));
    ASSERT_NE(handoff.acquire(), nullptr);
    handoff.publish(std::make_unique<Tracked>(destroyed));
    EXPECT_EQ(destroyed.load(), 0);  // the reader still holds the first
    EXPECT_FALSE(handoff.collectAll(5ms));
    handoff.release();
    handoff.publish(std::make_unique<Tracked>(destroyed));
    EXPECT_EQ(destroyed.load(), 2);  // both retired objects go once the reader has let go
    EXPECT_EQ(handoff.retiredCount(), 0u);
}

// While another thread renders as fast as it can, the main thread rewires the unit in and out
// and detaches it (so the engine deallocates and reallocates it between plans). Every sample is
// the direct signal (1), the unit's (0.5) or the silence of a plan change (0); the render
// thread never allocates or blocks.
TEST(RealtimeEngineTest, GraphChangesReachARenderingThreadWithoutLocksOrAllocations) {
    TempFolder folder;
    auto dc = writeTestFile(folder, "dc.wav", kRate, 2, 22050, [](uint32_t, uint32_t) { return 1.0f; });
    OfflineRig rig;
    AVAudioEngine& engine = *rig.engine;
    auto gain = std::make_shared<GainUnit>(0.5f);
    auto node = unitNode(gain);
    auto player = std::make_shared<AVAudioPlayerNode>();
    engine.attachNode(player);
    engine.attachNode(node);
    engine.connect(player, engine.mainMixerNode(), standard(kRate, 2));
    for (int i = 0; i < 400; ++i) ASSERT_TRUE(player->scheduleFile(*dc, nullptr));
    player->play();
    ASSERT_TRUE(engine.startAndReturnError(nullptr));

    std::atomic<bool> done{false};
    std::atomic<uint64_t> strange{0}, blocks{0}, allocations{0}, locks{0};
    std::thread renderer([&] {
        while (!done.load()) {
            RenderThreadAudit audit;
            rig.device->render(256);
            allocations += audit.allocations() + audit.frees();
            locks += audit.blockingLocks();
            for (uint32_t c = 0; c < 2; ++c) {
                for (uint32_t i = 0; i < 256; ++i) {
                    const float s = rig.device->channel(c)[i];
                    if (s != 0.0f && s != 0.5f && s != 1.0f) ++strange;
                }
            }
            ++blocks;
        }
    });
    for (int round = 0; round < 120; ++round) {
        if (round % 3 == 2) {
            engine.detachNode(node);
            engine.attachNode(node);
        }
        if (round % 2 == 0) {
            engine.connect(player, node, standard(kRate, 2));
            engine.connect(node, engine.mainMixerNode(), standard(kRate, 2));
        } else {
            engine.disconnectNodeInput(engine.mainMixerNode());
            engine.connect(player, engine.mainMixerNode(), standard(kRate, 2));
        }
        const uint64_t seen = blocks.load();
        ASSERT_TRUE(waitUntil([&] { return blocks.load() > seen + 2; }));
    }
    done = true;
    renderer.join();
    EXPECT_EQ(strange.load(), 0u);
    EXPECT_EQ(allocations.load(), 0u);
    EXPECT_EQ(locks.load(), 0u);
    EXPECT_GT(gain->allocations.load(), 10);  // the unit really went in and out
}

// A change that cannot play retires the playing plan without waiting for the audio thread, which
// may still be rendering it; the next change that takes a unit out must still wait for that
// thread before the unit is deallocated.
TEST(RealtimeEngineTest, AUnitIsDeallocatedOnlyOnceTheAudioThreadLetGoEvenAfterAFailedChange) {
    OfflineRig rig;
    AVAudioEngine& engine = *rig.engine;
    auto held = std::make_shared<GainUnit>(1.0f);
    auto heldNode = unitNode(held);
    auto other = unitNode(std::make_shared<GainUnit>(1.0f));
    engine.attachNode(heldNode);
    engine.attachNode(other);
    engine.connect(heldNode, engine.mainMixerNode(), 0, 0, standard(kRate, 2));
    ASSERT_TRUE(engine.startAndReturnError(nullptr));

    std::atomic<bool> inside{false}, letGo{false}, deallocatedInside{false};
    held->onRender = [&] {
        if (inside.exchange(true)) return;  // only the first render holds on
        while (!letGo.load()) std::this_thread::yield();
        deallocatedInside = held->deallocations.load() > 0;
    };
    std::thread renderer([&] { rig.device->render(256); });
    ASSERT_TRUE(waitUntil([&] { return inside.load(); }));

    // Replaces the held unit's connection with one at a rate the output does not run at.
    engine.connect(other, engine.mainMixerNode(), 0, 0, standard(kRate / 2, 2));
    std::thread letter([&] {
        std::this_thread::sleep_for(50ms);
        letGo = true;
    });
    engine.connect(other, engine.mainMixerNode(), 0, 0, standard(kRate, 2));
    letter.join();
    renderer.join();
    EXPECT_FALSE(deallocatedInside.load());
    EXPECT_EQ(held->deallocations.load(), 1);
}

// The file loops through a unit to the null output, paced in real time, rescheduled from the
// main loop as the application does. Every callback is audited; the long run by hand also
// holds every deadline.
TEST(NullOutputSoakTest, LoopedPlaybackNeverAllocatesOrLocksOnTheOutputThread) {
    TempFolder folder;
    auto file = writeTestFile(folder, "loop.wav", kRate, 2, 30000, [](uint32_t i, uint32_t c) { return testSample(i, c); });
    auto null = std::make_shared<NullOutputDevice>(NullOutputDevice::Options{.preferredSampleRate = 48000, .channels = 2, .blockFrames = 256});
    auto device = std::make_shared<AuditedOutputDevice>(null);
    MainLoop main;
    AVAudioEngine engine(device);
    auto gain = std::make_shared<GainUnit>(0.5f);
    auto node = unitNode(gain);
    auto player = std::make_shared<AVAudioPlayerNode>();
    engine.attachNode(player);
    engine.attachNode(node);
    engine.connect(player, node, file->processingFormat());
    engine.connect(node, engine.mainMixerNode(), file->processingFormat());
    int passes = 0;
    std::function<void()> schedulePass = [&] {
        ASSERT_TRUE(player->scheduleFile(*file, [&] { main.post([&] { ++passes; schedulePass(); }); }));
    };
    schedulePass();
    player->play();
    ASSERT_TRUE(engine.startAndReturnError(nullptr));
    const auto length = soakLength();
    main.runUntil([] { return false; }, length);
    engine.stop();

    const double expectedCallbacks = length.count() * kRate / 256;
    EXPECT_GT(device->callbacks(), expectedCallbacks / 4);
    EXPECT_GE(passes, static_cast<int>(length.count() * kRate / 30000) / 4);
    EXPECT_EQ(device->allocations(), 0u);
    EXPECT_EQ(device->frees(), 0u);
    EXPECT_EQ(device->blockingLocks(), 0u);
    EXPECT_FLOAT_EQ(device->peak(), 0.25f);  // half of the test signal's 0.5
    RecordProperty("missedDeadlines", static_cast<int>(null->missedDeadlineCount()));
    if (isLongSoak()) {
        EXPECT_EQ(null->missedDeadlineCount(), 0u);
    }
}

TEST(NullOutputDeviceTest, PacesItsCallbacksInRealTime) {
    struct Counter final : AudioRenderCallback {
        void renderAudio(float* const* channels, uint32_t count, uint32_t frames) noexcept override {
            for (uint32_t c = 0; c < count; ++c) std::fill(channels[c], channels[c] + frames, 0.0f);
            ++calls;
        }
        std::atomic<int> calls{0};
    } counter;
    NullOutputDevice device({.preferredSampleRate = 48000, .channels = 2, .blockFrames = 480});  // 10 ms blocks
    Error error;
    EXPECT_FALSE(device.start(counter, &error));  // not open yet
    ASSERT_TRUE(device.open(44100, &error));
    EXPECT_EQ(device.sampleRate(), 44100);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(device.start(counter, &error));
    ASSERT_TRUE(waitUntil([&] { return counter.calls.load() >= 3; }));
    device.stop();
    const auto elapsed = std::chrono::steady_clock::now() - started;
    const int calls = counter.calls.load();
    // One call per 10 ms of the time it ran, however late the thread was scheduled; a
    // free-running thread would have made thousands.
    EXPECT_LE(calls, elapsed / 10ms + 2);
    EXPECT_EQ(device.callbackCount(), static_cast<uint64_t>(calls));
    EXPECT_FALSE(device.isRunning());
}

TEST(AudioOutputChoiceTest, NamesParse) {
    EXPECT_EQ(parseAudioOutputChoice(""), AudioOutputChoice::automatic);
    EXPECT_EQ(parseAudioOutputChoice("default"), AudioOutputChoice::automatic);
    EXPECT_EQ(parseAudioOutputChoice("jack"), AudioOutputChoice::jack);
    EXPECT_EQ(parseAudioOutputChoice("null"), AudioOutputChoice::null);
    EXPECT_FALSE(parseAudioOutputChoice("Pulse").has_value());
    EXPECT_EQ(makeAudioOutputDevice(AudioOutputChoice::null)->name(), "null output");
}

}  // namespace
