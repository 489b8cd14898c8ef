// Playback through the engine's graph with an in-process unit and the offline device: the
// looped file, Play and Stop, a device that refuses to start, and the engine's reports.

#include "tests/platform/remote/GainTestUnit.h"
#include "tests/studio/StudioTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tolvane::studio {
namespace {

using namespace std::chrono_literals;
using test::Planes;

class PlaybackTest : public testing::Test {
protected:
    PlaybackTest() {
        unit->parameterTree()->parameterWithAddress(tolvane::test::gain::kGain)->setValue(0.5f);
        engine->liveInputDiagnosticsHandler = [this](bool running, const std::string& in, const std::string& out) {
            reports.push_back({running, in, out});
        };
        engine->hardwareInputMeterLevelHandler = [this](float level) { meterResets += level == 0.0f; };
    }

    void load() { ASSERT_TRUE(test::loadThrough(*engine, main, 0ms)); }
    Planes play(uint32_t frames) { return test::playLooped(*engine, main, *device, frames, 512); }
    // The file through the gain, looped from frame `from`, for `frames` frames.
    void expectLoop(const Planes& played, uint32_t from = 0) const {
        const auto length = static_cast<uint32_t>(file[0].size());
        for (uint32_t c = 0; c < 2; ++c) {
            for (uint32_t i = 0; i < played[c].size(); ++i) {
                ASSERT_EQ(played[c][i], 0.5f * file[c][(from + i) % length]) << "channel " << c << " frame " << i;
            }
        }
    }

    struct Report {
        bool running;
        std::string input, output;
    };

    ManualMainExecutor main;
    std::shared_ptr<tolvane::test::GainTestUnit> unit = tolvane::test::GainTestUnit::make();
    std::shared_ptr<OfflineOutputDevice> device =
        std::make_shared<OfflineOutputDevice>(OfflineOutputDevice::Options{.preferredSampleRate = 48000, .channels = 2, .maximumFrames = 4096});
    std::shared_ptr<SimplePlayEngine> engine = std::make_shared<SimplePlayEngine>(
        main, std::make_shared<test::OneUnitComponents>(unit), Bundle(TOLVANE_STUDIO_RESOURCE_DIR), device);
    Planes file = test::testFileSamples(*engine->file());
    std::vector<Report> reports;
    int meterResets = 0;
};

TEST_F(PlaybackTest, PlayLoopsTheFileThroughTheUnitWithoutAGapAtTheFilesRate) {
    load();
    EXPECT_FALSE(engine->isPlaying());  // loading starts nothing
    engine->startPlaying();
    ASSERT_TRUE(engine->isPlaying());
    EXPECT_EQ(device->sampleRate(), engine->file()->processingFormat().sampleRate());  // no conversion
    const auto length = static_cast<uint32_t>(file[0].size());
    expectLoop(play(2 * length + length / 2));

    main.runPending();
    ASSERT_FALSE(reports.empty());  // the report of Play's connect runs after the start
    EXPECT_TRUE(reports.back().running);
    EXPECT_EQ(reports.back().input, "Unavailable");
    EXPECT_EQ(reports.back().output, "44100 Hz, 2 ch");
    EXPECT_GE(meterResets, 2);
    EXPECT_FALSE(unit->MIDIOutputEventBlock());  // the unit names no MIDI outputs
    EXPECT_FALSE(engine->scheduleMIDIEventListBlock());
}

TEST_F(PlaybackTest, StopEndsTheChainAndPlayStopPlayRewiresAndStartsOver) {
    load();
    engine->startPlaying();
    play(3000);
    engine->stopPlaying();
    EXPECT_FALSE(engine->isPlaying());
    main.runPending();
    EXPECT_FALSE(reports.back().running);
    EXPECT_EQ(engine->player()->pendingCompletionCount(), 0u);  // the stopped pass ended its chain
    const Planes silent = play(1024);
    EXPECT_TRUE(std::ranges::all_of(silent[0], [](float s) { return s == 0.0f; }));

    engine->startPlaying();
    expectLoop(play(5000));  // from the file's first frame again

    // Stop and Play again before the stopped pass's completion reaches the main loop: the old
    // chain must not queue a pass of its own next to the new chain's.
    engine->stopPlaying();
    engine->startPlaying();
    main.runPending();
    EXPECT_EQ(engine->player()->pendingCompletionCount(), 1u);
    expectLoop(play(2 * static_cast<uint32_t>(file[0].size())));
}

TEST_F(PlaybackTest, ADeviceThatRefusesToStartIsReportedAndPlaybackStaysOff) {
    load();
    device->refuseStart(Error{"AudioOutputDevice", -3, "the device is busy"});
    testing::internal::CaptureStdout();
    engine->startPlaying();
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "Tolvane: Could not start engine. error: Error Domain=AudioOutputDevice Code=-3 \"the device is busy\".\n");
    EXPECT_FALSE(engine->isPlaying());
    EXPECT_FALSE(engine->engine().isRunning());
}

TEST_F(PlaybackTest, WithoutAUnitPlayAndStopDoNothingAndTheInputSwitchChangesNothing) {
    engine->startPlaying();
    engine->stopPlaying();
    main.runPending();
    EXPECT_FALSE(engine->isPlaying());
    EXPECT_TRUE(reports.empty());

    load();
    engine->startPlaying();
    play(1000);
    engine->setUseLiveInput(false);
    EXPECT_FALSE(engine->useLiveInput());
    EXPECT_TRUE(engine->isPlaying());
    expectLoop(play(1000), 1000);
}

TEST(FormatSummaryTest, RateTruncatedAndUnusableRatesUnavailable) {
    EXPECT_EQ(SimplePlayEngine::formatSummary(AVAudioFormat::standardFormat(44100, 2)), "44100 Hz, 2 ch");
    EXPECT_EQ(SimplePlayEngine::formatSummary(48000.9, 1), "48000 Hz, 1 ch");
    EXPECT_EQ(SimplePlayEngine::formatSummary(std::nullopt), "Unavailable");
    for (const double bad : {std::nan(""), std::numeric_limits<double>::infinity(), -44100.0, 0.0, 1e30}) {
        EXPECT_EQ(SimplePlayEngine::formatSummary(bad, 2), "Unavailable") << bad;
    }
}

}  // namespace
}  // namespace tolvane::studio
