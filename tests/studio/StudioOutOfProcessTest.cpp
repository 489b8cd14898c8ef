// The studio with the real effect, served by the built plug-in bundle in a process of its own:
// looped playback equal to the effect in this process, a killed effect process seen by the
// host model, and real-time playback to the null output with every output callback audited.

#include "effect/Kessrin_VinylExtensionAudioUnit.h"
#include "platform/avfaudio/devices/AudioOutputChoice.h"
#include "platform/avfaudio/devices/NullOutputDevice.h"
#include "platform/dispatch/MainLoop.h"
#include "studio/AudioUnitHostModel.h"
#include "tests/platform/remote/RemoteTestSupport.h"
#include "tests/studio/StudioTestSupport.h"
#include "tests/support/AnyUnitHost.h"
#include "tests/support/AuditedOutputDevice.h"
#include "tests/support/SoakLength.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

namespace tolvane::studio {
namespace {

using namespace std::chrono_literals;
using test::Planes;

// The effect's activation loads every mode's models: in a sanitizer build on a busy machine that
// takes longer than the ten seconds a user's extension is given for a request.
std::shared_ptr<ComponentSystem> builtBundles() {
    remote::RemoteAudioUnit::Options patient;
    patient.timing.handshake = std::chrono::seconds(60);
    patient.timing.response = std::chrono::seconds(120);
    // Longer than any wait here for a killed process to be noticed: its end must be seen at once.
    patient.timing.unresponsive = std::chrono::seconds(120);
    return std::make_shared<PlatformComponentSystem>(AVAudioUnitComponentManager({TOLVANE_LV2_DIR}), patient);
}

std::shared_ptr<remote::RemoteAudioUnit> servedUnit(const SimplePlayEngine& engine) {
    return engine.avAudioUnit() ? std::dynamic_pointer_cast<remote::RemoteAudioUnit>(engine.avAudioUnit()->auAudioUnit()) : nullptr;
}

// The engine loops the first 0.8 s of the test file: both effects render every sample of the
// comparison, and under the sanitizers the whole 4 s file made this the suite's longest test.
class StudioOutOfProcessTest : public testing::Test {
protected:
    ManualMainExecutor main;
    tolvane::test::TempFolder scratch;
    std::shared_ptr<OfflineOutputDevice> device =
        std::make_shared<OfflineOutputDevice>(OfflineOutputDevice::Options{.preferredSampleRate = 48000, .channels = 2, .maximumFrames = 4096});
    std::shared_ptr<SimplePlayEngine> engine = std::make_shared<SimplePlayEngine>(
        main, builtBundles(),
        Bundle(test::shortTestFileFolder(std::filesystem::path(TOLVANE_STUDIO_RESOURCE_DIR) / "Synth.aif", scratch.path(), 35'280)),
        device);
};

// Both units start fresh, so the effect's latency and its fade-in are in both outputs alike and
// the two agree from the first frame.
TEST_F(StudioOutOfProcessTest, PlayLoopsTheFileThroughTheEffectAsTheEffectInThisProcessWould) {
    ASSERT_TRUE(test::loadThrough(*engine, main, 60s));
    const auto served = servedUnit(*engine);
    ASSERT_TRUE(served);
    served->setRenderDeadline(5s);  // sanitizer builds render slowly; a miss here would be a wrong sample
    ASSERT_TRUE(test::startThrough(*engine, main, 60s));

    const Planes file = test::testFileSamples(*engine->file());
    const std::size_t frames = 2 * file[0].size() + file[0].size() / 4;
    const Planes played = test::playLooped(*engine, main, *device, static_cast<uint32_t>(frames), 512);

    Planes looped(2);
    for (std::size_t c = 0; c < 2; ++c) {
        for (std::size_t i = 0; i < frames; ++i) looped[c].push_back(file[c][i % file[c].size()]);
    }
    Error error;
    auto local = makeAudioUnit({fourCharCode("aufx").value(), fourCharCode("vnyl").value(), fourCharCode("MrLw").value(), 0, 0}, 0, &error);
    ASSERT_TRUE(local) << error.description();
    local->setResourceBundle(Bundle(TOLVANE_RESOURCE_DIR));
    tolvane::test::AnyUnitHost host(local);
    ASSERT_TRUE(host.allocate(engine->file()->processingFormat().sampleRate(), 2, 4096));
    const Planes expected = host.renderAll(looped, {512});
    ASSERT_EQ(played.size(), expected.size());
    for (std::size_t c = 0; c < 2; ++c) {
        ASSERT_EQ(played[c].size(), expected[c].size());
        for (std::size_t i = 0; i < frames; ++i) ASSERT_EQ(played[c][i], expected[c][i]) << "channel " << c << " frame " << i;
    }
    float peak = 0;
    for (const float s : expected[0]) peak = std::max(peak, std::abs(s));
    EXPECT_GT(peak, 0.01f);  // not a comparison of two silences
    EXPECT_EQ(served->missedDeadlines(), 0u);
}

TEST_F(StudioOutOfProcessTest, AKilledEffectProcessMarksTheModelCrashedAndStopsPlayback) {
    auto model = AudioUnitHostModel::create(main, [this] { return engine; }, "aufx", "vnyl", "MrLw");
    model->loadAudioUnit();
    ASSERT_TRUE(main.runUntilWithTimers([&] { return model->viewModel().viewController != nullptr; }, 60s))
        << model->viewModel().message;
    EXPECT_EQ(model->viewModel().message, "Successfully loaded (aufx vnyl MrLw)");
    const auto served = servedUnit(*engine);
    ASSERT_TRUE(served);
    EXPECT_EQ(served->contextName(), "standalone");
    ASSERT_TRUE(test::startThrough(*engine, main, 60s));
    test::playLooped(*engine, main, *device, 4096, 512);

    ASSERT_EQ(kill(served->processIdentifier(), SIGKILL), 0);
    ASSERT_TRUE(main.runUntil([&] { return model->audioUnitCrashed(); }, 10s));
    EXPECT_FALSE(engine->isPlaying());
    EXPECT_FALSE(engine->engine().isRunning());

    // Play stays possible; the dead unit is wired again and the output is silence, or the
    // start fails and says so. Either way nothing hangs and nothing is written to the dead process.
    testing::internal::CaptureStdout();
    engine->startPlaying();
    const Planes after = test::playLooped(*engine, main, *device, 2048, 512);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::ranges::all_of(after[0], [](float s) { return s == 0.0f; }));
    model->setHissOn(true);  // a write to the dead unit is dropped
    EXPECT_TRUE(model->audioUnitCrashed());
}

// The soak's output: the null output, or the one TOLVANE_SOAK_OUTPUT names (default, pulse,
// alsa, jack), so that a person can hear the loop on a machine with a sound card.
std::shared_ptr<AudioOutputDevice> soakOutput(std::shared_ptr<NullOutputDevice> null) {
    const char* named = std::getenv("TOLVANE_SOAK_OUTPUT");
    const auto choice = named ? parseAudioOutputChoice(named) : std::nullopt;
    if (!choice || *choice == AudioOutputChoice::null) return null;
    return makeAudioOutputDevice(*choice);
}

// Real time, to the null output: the file loops through the effect's process for the soak's
// length. The output callback never allocates or blocks, and the effect's process stays up.
TEST(StudioNullOutputSoakTest, TheLoopPlaysInRealTimeWithoutAllocationsOrLocksOnTheOutputThread) {
    tolvane::test::InvalidationRecorder invalidations;
    auto null = std::make_shared<NullOutputDevice>(NullOutputDevice::Options{.preferredSampleRate = 48000, .channels = 2, .blockFrames = 256});
    auto device = std::make_shared<tolvane::test::AuditedOutputDevice>(soakOutput(null));
    MainLoop main;
    auto engine = std::make_shared<SimplePlayEngine>(main, builtBundles(), Bundle(TOLVANE_STUDIO_RESOURCE_DIR), device);
    bool loaded = false;
    engine->loadAudioUnit("aufx", "vnyl", "MrLw", [&](std::shared_ptr<AUViewController>) { loaded = true; });
    ASSERT_TRUE(main.runUntil([&] { return loaded; }, 60s));
    const auto served = servedUnit(*engine);
    ASSERT_TRUE(served);
    engine->startPlaying();
    ASSERT_TRUE(main.runUntil([&] { return engine->isPlaying(); }, 60s)) << "the output did not start (see the line above)";
    const auto length = tolvane::test::soakLength();
    main.runUntil([] { return false; }, length);
    engine->stopPlaying();

    EXPECT_GT(device->callbacks(), static_cast<uint64_t>(length.count() * 44100 / 256 / 4));
    EXPECT_EQ(device->allocations(), 0u);
    EXPECT_EQ(device->frees(), 0u);
    EXPECT_EQ(device->blockingLocks(), 0u);
    if (tolvane::test::kRunsInRealTime) {
        EXPECT_GT(device->peak(), 0.01f);
    }
    EXPECT_EQ(kill(served->processIdentifier(), 0), 0);  // the effect's process is alive
    EXPECT_EQ(invalidations.count(), 0u);
    RecordProperty("missedOutputDeadlines", static_cast<int>(null->missedDeadlineCount()));
    RecordProperty("missedEffectDeadlines", static_cast<int>(served->missedDeadlines()));
    if (tolvane::test::isLongSoak()) {
        EXPECT_EQ(null->missedDeadlineCount(), 0u);
        EXPECT_EQ(served->missedDeadlines(), 0u);
    }
}

}  // namespace
}  // namespace tolvane::studio
