#include "effect/ModelLoadState.h"
#include "effect/SharedResources.h"
#include "neural/NAMPlayer.h"
#include "neural/RTNeuralPlayer.h"
#include "platform/avfaudio/AVAudioPCMBuffer.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/EffectHost.h"
#include "tests/support/RenderSoak.h"
#include "tests/support/TestBundle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

namespace {

using tolvane::test::EffectHost;
using tolvane::test::FullTestBundle;
namespace addr = ParameterAddress;

EffectHost hostOn(const FullTestBundle& bundle, AUValue mode, EffectHost::Options options = {}) {
    options.bundle = bundle.bundle();
    EffectHost host(std::move(options));
    host.set(addr::effectMode, mode);
    return host;
}

// Counts the lines of `text` equal to `line`.
int countLines(const std::string& text, const std::string& line) {
    int count = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (text.substr(start, end - start) == line) ++count;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return count;
}

// Holds the model-load queue until released, so a test can line several work items up.
class QueueGate {
public:
    explicit QueueGate(DispatchQueue& queue) : queue_(queue) {
        queue_.async([open = &open_, holding = &holding_] {
            holding->store(true);
            while (!open->load()) std::this_thread::yield();
        });
    }
    ~QueueGate() { release(); }
    void release() {
        open_ = true;
        queue_.sync([] {});
    }
    // Returns once the worker runs the gate, so that the whole ring is free for other items.
    void waitUntilHolding() const {
        while (!holding_.load()) std::this_thread::yield();
    }

private:
    DispatchQueue& queue_;
    std::atomic<bool> open_{false};
    std::atomic<bool> holding_{false};
};

void renderBlock(EffectHost& host, std::size_t frames = 64) {
    std::vector<float> L(frames, 0.1f), R(frames, 0.1f);
    ASSERT_EQ(host.render(L.data(), R.data(), static_cast<uint32_t>(frames)), noErr);
}

TEST(ModelLoadStateTest, LoadThatBeganBeforeAResetDoesNotMarkItsIdentifierReady) {
    ModelLoadState s;
    ASSERT_TRUE(s.beginLoading(1));
    EXPECT_FALSE(s.beginLoading(1));
    const auto begunIn = s.generation;
    s.reset();
    s.finish(1, begunIn);
    EXPECT_FALSE(s.isReady(1));
    ASSERT_TRUE(s.beginLoading(1));
    s.finish(1, s.generation);
    EXPECT_TRUE(s.isReady(1));
    EXPECT_FALSE(s.beginLoading(1));
    s.forget(1);
    EXPECT_FALSE(s.isReady(1));
}

TEST(ModelLoadingTest, EveryStateGetsItsOwnLoadedPlayers) {
    FullTestBundle bundle;
    for (AUValue mode : {0.f, 1.f, 2.f}) {
        EffectHost host = hostOn(bundle, mode);
        testing::internal::CaptureStdout();
        ASSERT_TRUE(host.allocate());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        auto& u = *host.unit;
        EXPECT_TRUE(u.isModelReady(static_cast<int64_t>(mode)));
        auto check = [](auto& left, auto& right) {
            for (std::size_t i = 0; i < left.size(); ++i) {
                ASSERT_NE(left[i].get(), nullptr);
                EXPECT_TRUE(left[i].get()->isLoaded());
                EXPECT_NE(left[i].get(), right[i].get());
            }
        };
        if (mode == 0) check(u.renderState->vinylPlayers, u.vinylRightState->vinylPlayers);
        if (mode == 1) check(u.renderState->lofiBitPlayers, u.loFiRightState->lofiBitPlayers);
        if (mode == 2) check(u.renderState->drivePlayers, u.filterRightState->drivePlayers);
    }
}

TEST(ModelLoadingTest, MissingAndRejectedFilesPrintOneLinePerStateAndLeaveTheSlotEmpty) {
    FullTestBundle bundle;
    bundle.remove("tv-vinyl-37.json");
    bundle.remove("bit67.nam");
    bundle.write("tv-drive-50.nam", "{ not json");

    EffectHost host = hostOn(bundle, 3);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(host.allocate());
    const std::string out = testing::internal::GetCapturedStdout();
    auto& u = *host.unit;
    for (int64_t mode : {0, 1, 2}) EXPECT_TRUE(u.isModelReady(mode));

    EXPECT_EQ(countLines(out, "Warning: Missing RTNeural file: tv-vinyl-37.json"), 2) << out;
    EXPECT_EQ(u.renderState->vinylPlayers[3].get(), nullptr);
    EXPECT_EQ(u.vinylRightState->vinylPlayers[3].get(), nullptr);
    EXPECT_EQ(countLines(out, "Warning: Missing NAM bit file: bit67.nam"), 2) << out;
    EXPECT_EQ(u.renderState->lofiBitPlayers[5].get(), nullptr);
    EXPECT_EQ(u.loFiRightState->lofiBitPlayers[5].get(), nullptr);

    // The error's full description follows; it is the same for both states.
    const std::string errorStart = "Error loading NAM drive file tv-drive-50.nam: Error Domain=NAMPlayer Code=-1 \"";
    const std::size_t at = out.find(errorStart);
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_EQ(countLines(out, out.substr(at, out.find('\n', at) - at)), 2) << out;
    EXPECT_EQ(u.renderState->drivePlayers[4].get(), nullptr);
    EXPECT_EQ(u.filterRightState->drivePlayers[4].get(), nullptr);
    EXPECT_NE(u.renderState->drivePlayers[5].get(), nullptr);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 6) << out;
}

TEST(ModelLoadingTest, NamPlayersAreSizedForTheHostBlockOr4096) {
    FullTestBundle bundle;
    {
        EffectHost host = hostOn(bundle, 1, {.maxFrames = 0});
        ASSERT_TRUE(host.allocate());
        EXPECT_EQ(host.unit->renderState->lofiBitPlayers[0].get()->maxFrames(), 4096);
    }
    EffectHost host = hostOn(bundle, 2, {.sampleRate = 44100, .maxFrames = 512});
    ASSERT_TRUE(host.allocate());
    NAMPlayer* before = host.unit->renderState->drivePlayers[0].get();
    EXPECT_EQ(before->maxFrames(), 512);
    // A new rate and block size at the next allocation: the current mode's players are rebuilt.
    host.unit->deallocateRenderResources();
    EffectHost::Options options{.sampleRate = 48000, .maxFrames = 1024};
    ASSERT_TRUE(host.unit->outputBus->setFormat(*AVAudioFormat::standardFormat(48000, 2), nullptr));
    ASSERT_TRUE(host.unit->inputBus->setFormat(*AVAudioFormat::standardFormat(48000, 2), nullptr));
    host.unit->setMaximumFramesToRender(1024);
    ASSERT_TRUE(host.unit->allocateRenderResources(nullptr));
    EXPECT_EQ(host.unit->renderState->drivePlayers[0].get()->maxFrames(), 1024);
    EXPECT_EQ(host.unit->filterRightState->drivePlayers[8].get()->maxFrames(), 1024);
}

TEST(ModelLoadingTest, QuickRepeatedModeChangesReadEachFileOncePerState) {
    FullTestBundle bundle;
    bundle.remove("tv-vinyl-0.json");  // its missing line counts the reads
    EffectHost host = hostOn(bundle, 3);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(host.allocate());
    {
        QueueGate gate(host.unit->modelLoadQueue);
        for (AUValue mode : {0.f, 3.f, 0.f, 3.f, 0.f}) {
            host.set(addr::effectMode, mode);
            renderBlock(host);
        }
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(countLines(out, "Warning: Missing RTNeural file: tv-vinyl-0.json"), 2) << out;
    EXPECT_TRUE(host.unit->isModelReady(0));
}

TEST(BedLoadingTest, RadioBedsStaticsAndResponsesAreSharedOrEqualAcrossStates) {
    FullTestBundle bundle;
    bundle.writeWav("tvradio_25-48k.wav", {{1, 2, 3, 4, 5}, {3, 4, 5, 6, 7}}, 48000);
    bundle.writeWav("tvradio_50-48k.wav", {std::vector<float>{}}, 48000);
    EffectHost host = hostOn(bundle, 5);
    ASSERT_TRUE(host.allocate());
    auto& u = *host.unit;
    ASSERT_TRUE(u.isModelReady(5));
    for (std::size_t i = 0; i < 22; ++i) {
        ASSERT_NE(u.renderState->radioBuffers[i].get(), nullptr) << i;
        EXPECT_EQ(u.renderState->radioBuffers[i].get(), u.radioRightState->radioBuffers[i].get());
        EXPECT_EQ(u.renderState->radioBuffers[i].get()->floatChannelData()[0][0], i == 0 ? 1.0f : static_cast<float>(i + 1));
    }
    for (std::size_t i = 0; i < 9; ++i) {
        ASSERT_NE(u.renderState->staticBuffers[i].get(), nullptr);
        EXPECT_EQ(u.renderState->staticBuffers[i].get()->floatChannelData()[0][0], static_cast<float>(i + 1));
        ASSERT_NE(u.renderState->radioAMIRs[i].get(), nullptr);
        EXPECT_EQ(u.renderState->radioAMIRs[i].get(), u.radioRightState->radioAMIRs[i].get());  // read-only, one copy
    }
    EXPECT_EQ(*u.renderState->radioAMIRs[2].get(), (std::vector<float>{2, 3, 4, 5, 6}));  // per-frame mean
    EXPECT_TRUE(u.renderState->radioAMIRs[4].get()->empty());                            // empty file
    EXPECT_EQ(*u.renderState->radioAMIRs[0].get(), (std::vector<float>{1, 0.5f, 0.25f}));
    ASSERT_NE(u.renderState->radioAMIRHistory.get(), nullptr);
    EXPECT_EQ(*u.renderState->radioAMIRHistory.get(), std::vector<float>(5, 0.0f));
    EXPECT_NE(u.renderState->radioAMIRHistory.get(), u.radioRightState->radioAMIRHistory.get());
}

TEST(BedLoadingTest, UnreadableBedsAreSkippedSilentlyAndKeepTheirSlot) {
    FullTestBundle bundle;
    EffectHost host = hostOn(bundle, 5);
    ASSERT_TRUE(host.allocate());
    auto& u = *host.unit;
    const AVAudioPCMBuffer* oldStatic4 = u.renderState->staticBuffers[3].get();
    auto* oldResponse = u.renderState->radioAMIRs[0].get();
    auto* oldHistory = u.renderState->radioAMIRHistory.get();
    bundle.remove("static4.wav");
    for (int k : {0, 12, 25, 37, 50, 62, 75, 87, 100}) bundle.write("tvradio_" + std::to_string(k) + "-48k.wav", "not audio");
    bundle.write("hiss.wav", "not audio");
    const AVAudioPCMBuffer* oldHiss = u.renderState->hissBuffer.get();
    u.deallocateRenderResources();
    // Deallocation empties the radio slots; put a marker back to see that a skipped file keeps it.
    u.resourcePublisher.publish(u.renderState->staticBuffers[3], AVAudioPCMBuffer::initWithPCMFormat(*AVAudioFormat::standardFormat(44100, 1), 4));
    oldStatic4 = u.renderState->staticBuffers[3].get();
    EXPECT_EQ(u.renderState->radioAMIRs[0].get(), nullptr);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(host.allocate());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(u.renderState->staticBuffers[3].get(), oldStatic4);
    EXPECT_EQ(u.renderState->hissBuffer.get(), oldHiss);  // a failed hiss read keeps the bed
    EXPECT_EQ(u.renderState->radioAMIRs[0].get(), nullptr);
    EXPECT_EQ(u.renderState->radioAMIRHistory.get(), nullptr);
    EXPECT_TRUE(u.isModelReady(5));
    (void)oldResponse;
    (void)oldHistory;
}

// Units of one process hold one copy of each bed and response, for as long as any of them plays
// it; a file rewritten since is read anew, while units that play the old one keep it.
TEST(BedLoadingTest, UnitsOfOneProcessShareBedsAndResponsesUntilTheFileChanges) {
    FullTestBundle bundle;
    {
        EffectHost first = hostOn(bundle, 5), second = hostOn(bundle, 5);
        ASSERT_TRUE(first.allocate());
        ASSERT_TRUE(second.allocate());
        const RenderState& a = *first.unit->renderState;
        const RenderState& b = *second.unit->renderState;
        EXPECT_EQ(a.radioBuffers[3].get(), b.radioBuffers[3].get());
        EXPECT_EQ(a.radioAMIRs[2].get(), second.unit->radioRightState->radioAMIRs[2].get());
        EXPECT_EQ(a.hissBuffer.get(), b.hissBuffer.get());
        EXPECT_EQ(a.crackleBuffers[1].get(), b.crackleBuffers[1].get());
        EXPECT_NE(a.radioAMIRHistory.get(), b.radioAMIRHistory.get());  // written by each render

        const AVAudioPCMBuffer* played = a.staticBuffers[1].get();
        bundle.writeWav("static2.wav", {{9, 8, 7}}, 48000);
        second.unit->deallocateRenderResources();
        ASSERT_TRUE(second.allocate());
        EXPECT_EQ(b.staticBuffers[1].get()->floatChannelData()[0][0], 9.0f);
        EXPECT_EQ(a.staticBuffers[1].get(), played);
    }
    EXPECT_EQ(SharedResources::process().liveCount(), 0u);  // nothing outlives the units
}

TEST(BedLoadingTest, CrackleBedsComeWithAllocationInTheLeftStateOnly) {
    FullTestBundle bundle;
    EffectHost host = hostOn(bundle, 3);
    ASSERT_TRUE(host.allocate());
    auto& u = *host.unit;
    for (std::size_t i = 0; i < 4; ++i) ASSERT_NE(u.renderState->crackleBuffers[i].get(), nullptr);
    EXPECT_EQ(u.vinylRightState->crackleBuffers[0].get(), nullptr);
    EXPECT_TRUE(u.crackleLoadDispatched.load());  // the render asks for nothing more
}

// Every mode keeps what it loaded until deallocation: leaving RADIO drops nothing, so coming
// back plays at once, whatever the queue is doing.
TEST(BedLoadingTest, LeavingRadioKeepsItsBeds) {
    FullTestBundle bundle;
    EffectHost host = hostOn(bundle, 5);
    ASSERT_TRUE(host.allocate());
    auto& u = *host.unit;
    const AVAudioPCMBuffer* bed = u.renderState->radioBuffers[0].get();
    ASSERT_NE(bed, nullptr);
    for (AUValue mode : {5.f, 3.f}) {
        host.set(addr::effectMode, mode);
        renderBlock(host);
    }
    u.modelLoadQueue.sync([] {});
    EXPECT_TRUE(u.isModelReady(5));
    EXPECT_EQ(u.renderState->radioBuffers[0].get(), bed);
    EXPECT_NE(u.radioRightState->staticBuffers[8].get(), nullptr);
    EXPECT_NE(u.radioRightState->radioAMIRHistory.get(), nullptr);
}

// The queue refuses a mode's load when it is full; a later render call asks again, without
// allocating, so the mode plays once the queue has room instead of staying silent until the next
// change.
TEST(ModeLoadRetryTest, ALoadTheQueueRefusedIsAskedForAgainByALaterCall) {
    FullTestBundle bundle;
    EffectHost host = hostOn(bundle, 3);
    ASSERT_TRUE(host.allocate());
    auto& u = *host.unit;
    host.process(tolvane::test::noise(4096, 3), tolvane::test::noise(4096, 3), 512);
    {
        std::lock_guard lock(u.modelLoadLock);
        u.modelLoadState.forget(1);  // LO-FI's resources now count as not loaded
    }
    std::vector<float> L(256), R(256);
    {
        QueueGate gate(u.modelLoadQueue);
        gate.waitUntilHolding();
        while (u.modelLoadQueue.async([] {})) {
        }
        host.set(addr::effectMode, 1);
        tolvane::test::AllocationCounter counter;
        for (int call = 0; call < 4; ++call) {
            L.assign(256, 0.3f), R.assign(256, 0.3f);
            ASSERT_EQ(host.render(L.data(), R.data(), 256), noErr);
            ASSERT_EQ(std::count(L.begin(), L.end(), 0.0f), 256);  // not ready: silence
        }
        EXPECT_EQ(counter.allocations(), 0u);
    }  // the queue drains; nothing of LO-FI was in it
    EXPECT_FALSE(u.isModelReady(1));
    renderBlock(host);  // asks again; this time the queue takes it
    u.modelLoadQueue.sync([] {});
    EXPECT_TRUE(u.isModelReady(1));
    const auto in = tolvane::test::noise(8192, 4);
    auto [out, unused] = host.process(in, in, 256);
    EXPECT_GT(*std::max_element(out.begin() + 4096, out.end()), 0.01f);
}

// How many more items the held queue takes before it refuses one.
std::size_t freeQueueSlots(DispatchQueue& queue) {
    std::size_t taken = 0;
    while (queue.async([] {})) ++taken;
    return taken;
}

// A loader holding the lock while a host renders faster than real time: every mode whose
// resources came with activation plays through its switches as if the lock were free, and no
// switch queues load work, since nothing is missing.
TEST(ModeReadinessTest, ABusyLoaderNeitherSilencesLoadedModesNorGetsWorkFromSwitches) {
    FullTestBundle bundle;
    EffectHost host = hostOn(bundle, 3);
    ASSERT_TRUE(host.allocate());
    auto& u = *host.unit;
    std::size_t idleSlots = 0;
    {
        QueueGate gate(u.modelLoadQueue);
        gate.waitUntilHolding();
        idleSlots = freeQueueSlots(u.modelLoadQueue);
    }
    QueueGate gate(u.modelLoadQueue);
    gate.waitUntilHolding();
    std::lock_guard loaderAtWork(u.modelLoadLock);  // let go before the gate, so a failure cannot hang
    for (const AUValue mode : {1, 5, 2, 0, 1}) {
        host.set(addr::effectMode, mode);
        const auto in = tolvane::test::noise(8192, static_cast<unsigned>(mode) + 1);
        auto [L, R] = host.process(in, in, 256);
        const float peak = *std::max_element(L.begin() + 4096, L.end());
        EXPECT_GT(peak, 0.01f) << "mode " << mode << " silent while the lock is busy";
    }
    EXPECT_EQ(freeQueueSlots(u.modelLoadQueue), idleSlots);
}

TEST(ModelLoadStateTest, TheLockFreeViewFollowsEveryChange) {
    ModelLoadState s;
    for (const int64_t id : {0, 1, 2, 5, 100}) {
        ASSERT_TRUE(s.beginLoading(id));
        EXPECT_FALSE(s.isReadyLockFree(id)) << "ready before its load finished: " << id;
        s.finish(id, s.generation);
        EXPECT_TRUE(s.isReadyLockFree(id)) << id;
    }
    EXPECT_FALSE(s.isReadyLockFree(3));
    s.forget(5);
    EXPECT_FALSE(s.isReadyLockFree(5));
    EXPECT_TRUE(s.isReadyLockFree(100));
    s.reset();
    for (const int64_t id : {0, 1, 2, 5, 100}) EXPECT_FALSE(s.isReadyLockFree(id)) << id;
    EXPECT_EQ(ModelLoadState::readyBit(63), 0u);  // no identifier shares the crackle beds' bit
    EXPECT_EQ(ModelLoadState::readyBit(-1), 0u);
}

TEST(BedLoadingTest, DeallocationEmptiesEverySlotButTheHissBed) {
    FullTestBundle bundle;
    EffectHost host = hostOn(bundle, 0);
    host.set(addr::crackle, 50);
    ASSERT_TRUE(host.allocate());
    auto& u = *host.unit;
    for (AUValue mode : {1.f, 2.f, 5.f}) {
        host.set(addr::effectMode, mode);
        renderBlock(host);
        u.modelLoadQueue.sync([] {});
    }
    ASSERT_NE(u.renderState->crackleBuffers[0].get(), nullptr);
    ASSERT_NE(u.renderState->radioBuffers[0].get(), nullptr);
    u.deallocateRenderResources();
    auto allEmpty = [](const auto& slots) {
        for (const auto& s : slots)
            if (s.get() != nullptr) return false;
        return true;
    };
    for (auto* s : {u.renderState.get(), u.vinylRightState.get(), u.loFiRightState.get(), u.filterRightState.get(),
                    u.radioRightState.get()}) {
        EXPECT_TRUE(allEmpty(s->vinylPlayers) && allEmpty(s->lofiBitPlayers) && allEmpty(s->drivePlayers));
        EXPECT_TRUE(allEmpty(s->radioBuffers) && allEmpty(s->staticBuffers) && allEmpty(s->radioAMIRs));
        EXPECT_TRUE(allEmpty(s->crackleBuffers));
        EXPECT_EQ(s->radioAMIRHistory.get(), nullptr);
    }
    EXPECT_NE(u.renderState->hissBuffer.get(), nullptr);
    for (int64_t id : {0, 1, 2, 5, 100}) EXPECT_FALSE(u.isModelReady(id));
}

// A render thread plays without pause while another thread switches modes, toggles crackle and
// moves knobs; between render runs the host deallocates and reallocates, as hosts do. Nothing
// may crash, race (run under the sanitizers) or allocate on the render thread.
TEST(LoadingStressTest, RenderingWhileModesAndResourcesChange) {
    FullTestBundle bundle;
    EffectHost host = hostOn(bundle, 0, {.maxFrames = 256});
    tolvane::test::RenderSoak soak(host, 256);
    std::mt19937 rng(3);
    for (unsigned runIndex = 0; runIndex < 12; ++runIndex) {
        ASSERT_TRUE(host.allocate());
        std::atomic<bool> stop{false};
        std::thread control([&, runIndex] {
            std::mt19937 r(runIndex);
            while (!stop) {
                host.set(addr::effectMode, static_cast<AUValue>(r() % 8));
                host.set(addr::crackle, (r() % 2) ? 0.0f : 60.0f);
                host.set(addr::compressor, static_cast<AUValue>(r() % 101));
                host.set(addr::amFmMode, static_cast<AUValue>(r() % 2));
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        });
        const int run = 300 + static_cast<int>(rng() % 300);
        for (int b = 0; b < run; ++b) {
            soak.fillTone(b, 1.0f, 0.02f);
            ASSERT_EQ(soak.render(1 + static_cast<uint32_t>(rng() % 256)), noErr);
            ASSERT_EQ(soak.nonFinite, 0u);
        }
        stop = true;
        control.join();
        host.unit->deallocateRenderResources();
    }
    EXPECT_EQ(soak.allocations + soak.frees, 0u);
}

}  // namespace
