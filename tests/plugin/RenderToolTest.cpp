// tolvane-render against the unit rendered in this process, and its handling of bad requests.

#include "tests/plugin/PluginTestSupport.h"
#include "tests/plugin/Subprocess.h"
#include "tests/support/TestBundle.h"
#include "tools/tolvane-render/Arguments.h"
#include "tools/tolvane-render/Lv2Host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <tuple>

namespace tolvane::test {
namespace {

const std::string kStereoBundle = std::string(TOLVANE_LV2_DIR) + "/tolvane.lv2";
const std::string kMonoBundle = std::string(TOLVANE_LV2_DIR) + "/tolvane-mono.lv2";
constexpr std::size_t kFrames = 24000;  // half a second and more: past the start fade-in

// The input files, written once per rate and channel count.
class RenderInputs {
public:
    const std::string& file(double rate, int channels) {
        const auto key = std::make_pair(rate, channels);
        auto found = files_.find(key);
        if (found != files_.end()) return found->second;
        const std::string name = "in-" + std::to_string(static_cast<int>(rate)) + "-" + std::to_string(channels) + ".wav";
        folder_.writeWav(name, testProgramme(rate, kFrames, channels), rate);
        return files_.emplace(key, (folder_.path() / name).string()).first->second;
    }
    std::string outputPath(const std::string& name) const { return (folder_.path() / name).string(); }

private:
    BundleFolder folder_;
    std::map<std::pair<double, int>, std::string> files_;
};

RenderInputs& inputs() {
    static RenderInputs shared;
    return shared;
}

Settings settingsFor(int mode, double rate) {
    return {{"effectMode", static_cast<float>(mode)}, {"compressor", 65}, {"crackle", 40},  {"wowFlutter", 35},
            {"hissOn", 1},                            {"hissLevel", 55}, {"outputLevel", 80}, {"amFmMode", rate > 46000 ? 1.0f : 0.0f}};
}

ProcessResult renderTool(const std::string& bundle, const std::string& in, const std::string& out, double rate,
                         uint32_t block, const Settings& settings) {
    std::vector<std::string> args = {TOLVANE_RENDER, "--plugin", bundle, "--in", in, "--out", out, "--rate",
                                     std::to_string(static_cast<int>(rate)), "--block", std::to_string(block)};
    for (const auto& [symbol, value] : settings) {
        args.push_back("--set");
        args.push_back(symbol + "=" + std::to_string(value));
    }
    return runProcess(args);
}

class RenderTool : public ::testing::Test {
protected:
    static void SetUpTestSuite() { useBuildTreeLv2Path(); }
};

class RenderToolBitExact : public RenderTool, public ::testing::WithParamInterface<std::tuple<int, double, uint32_t>> {};

// Every mode, both common rates, a small and a large block: the plug-in loaded through lilv
// renders exactly what the unit renders in this process, neural and bed modes included (their
// resources are found inside the bundle).
TEST_P(RenderToolBitExact, MatchesTheInProcessUnit) {
    const auto [mode, rate, block] = GetParam();
    const std::string& in = inputs().file(rate, 2);
    const std::string out = inputs().outputPath("out-" + std::to_string(mode) + "-" + std::to_string(int(rate)) + "-" +
                                                std::to_string(block) + ".wav");
    const Settings settings = settingsFor(mode, rate);
    const ProcessResult result = renderTool(kStereoBundle, in, out, rate, block, settings);
    ASSERT_EQ(result.exitCode, 0) << result.output;

    const Channels expected = renderInProcess(testProgramme(rate, kFrames, 2), rate, block, settings);
    const Channels actual = readAudioFile(out);
    ASSERT_EQ(actual.size(), 2u);
    EXPECT_TRUE(actual == expected) << "tolvane-render differs from the in-process unit";
    EXPECT_GT(peakOf(expected), 0.02) << "the reference itself is silent";
}

INSTANTIATE_TEST_SUITE_P(EveryMode, RenderToolBitExact,
                         ::testing::Combine(::testing::Range(0, 8), ::testing::Values(44100.0, 48000.0),
                                            ::testing::Values(64u, 512u)),
                         [](const auto& info) {
                             return "mode" + std::to_string(std::get<0>(info.param)) + "_" +
                                    std::to_string(static_cast<int>(std::get<1>(info.param))) + "Hz_block" +
                                    std::to_string(std::get<2>(info.param));
                         });

TEST_F(RenderTool, MonoBundleRendersAMonoFileLikeTheUnit) {
    const std::string out = inputs().outputPath("mono.wav");
    const Settings settings = {{"effectMode", 0}, {"crackle", 30}};
    const ProcessResult result = renderTool(kMonoBundle, inputs().file(48000, 1), out, 48000, 256, settings);
    ASSERT_EQ(result.exitCode, 0) << result.output;
    const Channels actual = readAudioFile(out);
    ASSERT_EQ(actual.size(), 1u);
    EXPECT_TRUE(actual == renderInProcess(testProgramme(48000, kFrames, 1), 48000, 256, settings));
}

TEST_F(RenderTool, AcceptsValueNamesAndPluginUris) {
    const std::string& in = inputs().file(44100, 2);
    const std::string byName = inputs().outputPath("by-name.wav");
    const std::string byNumber = inputs().outputPath("by-number.wav");
    ProcessResult result = runProcess({TOLVANE_RENDER, "--plugin", "urn:marlowen:tolvane", "--in", in, "--out", byName,
                                       "--set", "effectMode=flanger"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("peak"), std::string::npos) << result.output;
    result = runProcess({TOLVANE_RENDER, "--plugin", kStereoBundle, "--in", in, "--out", byNumber, "--set=effectMode=7"});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(readAudioFile(byName) == readAudioFile(byNumber));
}

// The output lines up with the input and keeps the tail: a click comes out where it went in,
// in a mode with models and in one without, and one just before the end is not lost.
TEST_F(RenderTool, CompensatesTheLatencyAndFlushesTheTail) {
    constexpr std::size_t kFrames = 20000;
    constexpr std::size_t kFirst = 10000;
    constexpr std::size_t kLast = kFrames - 100;
    Channels silent(2, std::vector<float>(kFrames, 0.0f));
    Channels clicks = silent;
    for (auto& channel : clicks) {
        std::fill_n(channel.begin() + kFirst, 8, 0.5f);
        std::fill_n(channel.begin() + kLast, 8, 0.5f);
    }
    BundleFolder folder;
    folder.writeWav("silent.wav", silent, 44100);
    folder.writeWav("clicks.wav", clicks, 44100);
    for (int mode : {0, 6}) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        Channels out[2];
        for (int withClicks = 0; withClicks < 2; ++withClicks) {
            const std::string name = withClicks ? "clicks" : "silent";
            const std::string path = (folder.path() / (name + "-out.wav")).string();
            const ProcessResult result = renderTool(kStereoBundle, (folder.path() / (name + ".wav")).string(), path, 44100,
                                                    256, {{"effectMode", static_cast<float>(mode)}});
            ASSERT_EQ(result.exitCode, 0) << result.output;
            EXPECT_NE(result.output.find("latency 556 frames compensated"), std::string::npos) << result.output;
            out[withClicks] = readAudioFile(path);
            ASSERT_EQ(out[withClicks][0].size(), kFrames);
        }
        std::size_t first = 0;
        while (first < kFrames && out[0][0][first] == out[1][0][first]) ++first;
        EXPECT_NEAR(static_cast<double>(first), static_cast<double>(kFirst), 1.0);
        float tail = 0;
        for (std::size_t i = kLast; i < kFrames; ++i) tail = std::max(tail, std::fabs(out[1][0][i] - out[0][0][i]));
        EXPECT_GT(tail, 0.01f) << "the last click is lost";
    }
}

// A control port with the LV2 sample-rate property takes its value in hertz, in a range scaled by
// the rate; the probe plug-in scales its input by cutoff / rate, so the output shows the value.
TEST_F(RenderTool, SampleRateScaledPortsTakeHertz) {
    const std::string in = inputs().file(48000, 1);
    const std::vector<float> source = testSignal(48000, kFrames, 0);
    const std::string probe = TOLVANE_PROBE_LV2;
    struct Case {
        std::vector<std::string> settings;
        float gain;
    };
    const Case cases[] = {{{"--set", "cutoff=6000"}, 0.125f}, {{}, 0.25f}};  // the default is a quarter of the rate
    for (const Case& c : cases) {
        const std::string out = inputs().outputPath("probe.wav");
        std::vector<std::string> args = {TOLVANE_RENDER, "--plugin", probe, "--in", in, "--out", out};
        args.insert(args.end(), c.settings.begin(), c.settings.end());
        const ProcessResult result = runProcess(args);
        ASSERT_EQ(result.exitCode, 0) << result.output;
        const Channels output = readAudioFile(out);
        for (std::size_t i = 0; i < kFrames; i += 997) ASSERT_FLOAT_EQ(output[0][i], source[i] * c.gain) << i;
    }
    const ProcessResult refused =
        runProcess({TOLVANE_RENDER, "--plugin", probe, "--in", in, "--out", inputs().outputPath("probe.wav"), "--set", "cutoff=30000"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.output.find("cutoff = 30000 is outside its range 48 to 24000"), std::string::npos) << refused.output;
}

// An output that holds NaN is written, but tolvane-render warns and does not report success.
TEST_F(RenderTool, NonFiniteOutputIsReportedWithItsOwnExitStatus) {
    const std::string out = inputs().outputPath("poisoned.wav");
    const ProcessResult result = runProcess(
        {TOLVANE_RENDER, "--plugin", TOLVANE_PROBE_LV2, "--in", inputs().file(48000, 1), "--out", out, "--set", "poison=1"});
    EXPECT_EQ(result.exitCode, 3) << result.output;
    EXPECT_NE(result.output.find("warning: 47 output samples are not finite"), std::string::npos) << result.output;
    EXPECT_EQ(readAudioFile(out)[0].size(), kFrames);
}

struct BadRequest {
    const char* what;
    std::vector<std::string> arguments;  // after the program name; IN and OUT are filled in
    const char* message;
};

TEST_F(RenderTool, RefusesBadRequestsClearly) {
    const std::string& in = inputs().file(44100, 2);
    const std::string out = inputs().outputPath("refused.wav");
    TempFolder scratch;
    const std::string notAudio = scratch.write("notes.txt", "not audio").string();
    BundleFolder lowRate;
    lowRate.writeWav("low.wav", testProgramme(4000, 4000, 2), 4000);
    const std::string tooLow = (lowRate.path() / "low.wav").string();
    const BadRequest requests[] = {
        {"missing bundle", {"--plugin", "/nonexistent/tolvane.lv2", "--in", in, "--out", out}, "no LV2 bundle folder"},
        {"folder without plug-in", {"--plugin", scratch.path().string(), "--in", in, "--out", out}, "no LV2 plug-in in"},
        {"unknown URI", {"--plugin", "urn:marlowen:nothing", "--in", in, "--out", out}, "no LV2 plug-in urn:marlowen:nothing"},
        {"missing input", {"--plugin", kStereoBundle, "--in", "/nonexistent.wav", "--out", out}, "/nonexistent.wav"},
        {"not audio", {"--plugin", kStereoBundle, "--in", notAudio, "--out", out}, "notes.txt"},
        {"unknown parameter", {"--plugin", kStereoBundle, "--in", in, "--out", out, "--set", "drive=3"},
         "unknown parameter 'drive'"},
        {"value out of range", {"--plugin", kStereoBundle, "--in", in, "--out", out, "--set", "crackle=140"},
         "outside its range"},
        {"unknown value name", {"--plugin", kStereoBundle, "--in", in, "--out", out, "--set", "effectMode=tape"},
         "nor a value name"},
        {"rate mismatch", {"--plugin", kStereoBundle, "--in", in, "--out", out, "--rate", "48000"}, "does not resample"},
        {"stereo file into mono plug-in", {"--plugin", kMonoBundle, "--in", in, "--out", out}, "the file has 2 channels"},
        {"rate the effect cannot honour", {"--plugin", kStereoBundle, "--in", tooLow, "--out", out},
         "renders at 8000 to 768000 Hz"},
    };
    for (const BadRequest& request : requests) {
        std::vector<std::string> args = {TOLVANE_RENDER};
        args.insert(args.end(), request.arguments.begin(), request.arguments.end());
        const ProcessResult result = runProcess(args);
        EXPECT_EQ(result.exitCode, 1) << request.what << ": " << result.output;
        EXPECT_NE(result.output.find(request.message), std::string::npos) << request.what << ": " << result.output;
    }
    EXPECT_EQ(runProcess({TOLVANE_RENDER, "--in", in}).exitCode, 2);
}

// The built plug-in in our own lilv host, rendered as fast as the machine goes while the effect
// mode is automated every 250 ms, starting on a mode set only after activation: every run gives
// the same output, and every mode sounds once its switch fade has passed. Nothing a background
// thread does may reach the output when the resources came with activation.
TEST_F(RenderTool, ModeAutomationRendersTheSameOnEveryRunFasterThanRealTime) {
    constexpr double kRate = 48000;
    constexpr uint32_t kBlock = 256;
    constexpr std::size_t kSegment = 12000;  // 250 ms, not a whole number of blocks
    const int order[] = {1, 5, 2, 0, 6, 3, 7, 4, 5, 1};
    const Channels input = testProgramme(kRate, kSegment * std::size(order), 2);
    auto run = [&] {
        Channels output(2, std::vector<float>(input[0].size()));
        Error error;
        auto host = render::Lv2Host::open(kStereoBundle, &error);
        if (!host || !host->instantiate(kRate, kBlock, &error)) {
            ADD_FAILURE() << error.description();
            return output;
        }
        host->activate();
        std::size_t automated = std::size(order);  // the segment whose mode was last set
        for (std::size_t start = 0; start < input[0].size(); start += kBlock) {
            const auto n = static_cast<uint32_t>(std::min<std::size_t>(kBlock, input[0].size() - start));
            if (start / kSegment != automated) {
                automated = start / kSegment;
                EXPECT_TRUE(host->setControl("effectMode", std::to_string(order[automated]), &error));
            }
            for (uint32_t c = 0; c < 2; ++c) std::copy_n(input[c].data() + start, n, host->audioInput(c));
            host->run(n);
            for (uint32_t c = 0; c < 2; ++c) std::copy_n(host->audioOutput(c), n, output[c].data() + start);
        }
        host->deactivate();
        return output;
    };
    const Channels first = run();
    for (int again = 0; again < 2; ++again) EXPECT_TRUE(run() == first) << "run " << again + 2 << " differs";
    for (std::size_t segment = 0; segment < std::size(order); ++segment) {
        float peak = 0;
        for (std::size_t i = segment * kSegment + 4096 + 1024 + 560; i < (segment + 1) * kSegment; ++i)
            peak = std::max(peak, std::fabs(first[0][i]));
        EXPECT_GT(peak, 0.02f) << "mode " << order[segment] << " is silent after its fade";
    }
}

TEST(RenderArguments, ParsesOptionsInBothSpellings) {
    Error error;
    const auto options = render::parseArguments(
        {"--plugin", "a.lv2", "--in=x.aif", "--out", "y.wav", "--rate", "48000", "--block=64", "--set", "hissOn=1",
         "--set=effectMode=RADIO"},
        &error);
    ASSERT_TRUE(options) << error.description();
    EXPECT_EQ(options->plugin, "a.lv2");
    EXPECT_EQ(options->input, "x.aif");
    EXPECT_EQ(options->sampleRate, 48000.0);
    EXPECT_EQ(options->blockSize, 64u);
    ASSERT_EQ(options->settings.size(), 2u);
    EXPECT_EQ(options->settings[1], (std::pair<std::string, std::string>{"effectMode", "RADIO"}));
}

TEST(RenderArguments, ReportsUsageMistakes) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> mistakes = {
        {{"--in", "x", "--out", "y"}, "--plugin is required"},
        {{"--plugin", "p", "--in", "x", "--out", "y", "--block", "0"}, "--block needs a whole number"},
        {{"--plugin", "p", "--in", "x", "--out", "y", "--block", "12.5"}, "--block needs a whole number"},
        {{"--plugin", "p", "--in", "x", "--out", "y", "--rate", "fast"}, "--rate needs a positive number"},
        {{"--plugin", "p", "--in", "x", "--out", "y", "--set", "hissOn"}, "--set needs identifier=value"},
        {{"--plugin", "p", "--in", "x", "--out"}, "--out needs a value"},
        {{"--plugin", "p", "--loud", "x"}, "unknown option '--loud'"},
    };
    for (const auto& [arguments, message] : mistakes) {
        Error error;
        EXPECT_FALSE(render::parseArguments(arguments, &error));
        EXPECT_NE(error.localizedDescription.find(message), std::string::npos) << error.localizedDescription;
    }
}

}  // namespace
}  // namespace tolvane::test
