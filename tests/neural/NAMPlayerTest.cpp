// NAMPlayer: loading, sizing, loudness normalisation, error objects, and the real-time path
// (no allocation, block-size independence, non-finite input).

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "neural/NAMPlayer.h"
#include "tests/neural/NamTestSupport.h"
#include "tests/support/AllocationCounter.h"

namespace {

using nam_test::json;
using nam_test::linearModel;
using nam_test::TempDir;

constexpr double kSixDecibels = 1.9952623149688795;  // 10^(6/20)

struct LoadedPlayer {
    TempDir dir;
    NAMPlayer player;
    explicit LoadedPlayer(const json& model, int32_t maxFrames = 512) {
        Error error;
        if (!player.loadModelAtPath(dir.write("model.nam", model).string(), &error))
            throw std::runtime_error(error.description());
        if (maxFrames > 0) player.resetWithSampleRate(48000.0, maxFrames);
    }
};

std::vector<float> ramp(size_t n) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = 0.001f * static_cast<float>(i % 700) - 0.3f;
    return v;
}

TEST(NAMPlayer, ANewPlayerPassesAudioThrough) {
    NAMPlayer player;
    EXPECT_FALSE(player.isLoaded());
    std::vector<float> buffer = {0.1f, -0.2f};
    Error error;
    EXPECT_TRUE(player.processBuffer(buffer.data(), 2, &error));
    EXPECT_EQ(buffer, (std::vector<float>{0.1f, -0.2f}));
    EXPECT_EQ(player.outputGain(), 1.0);
}

TEST(NAMPlayer, BlocksAreLimitedByTheReset) {
    LoadedPlayer p(linearModel({2.0f}), 0);
    std::vector<float> buffer(600, 0.25f);
    Error error;
    // Loaded but never sized: every block, even an empty one, is refused.
    EXPECT_FALSE(p.player.processBuffer(buffer.data(), 0, &error));
    EXPECT_EQ(error.domain, "NAMPlayer");
    EXPECT_EQ(error.code, -2);
    EXPECT_EQ(error.localizedDescription, "frameCount exceeds maxFrames");

    p.player.resetWithSampleRate(48000.0, 512);
    EXPECT_EQ(p.player.maxFrames(), 512);
    EXPECT_TRUE(p.player.processBuffer(buffer.data(), 0, &error));
    EXPECT_EQ(buffer[0], 0.25f);
    EXPECT_FALSE(p.player.processBuffer(buffer.data(), 513, &error));
    EXPECT_EQ(error.code, -2);
    EXPECT_EQ(buffer[0], 0.25f);  // untouched
    EXPECT_TRUE(p.player.processBuffer(buffer.data(), 512, &error));
    EXPECT_FLOAT_EQ(buffer[0], 0.5f);
    EXPECT_EQ(buffer[512], 0.25f);
}

TEST(NAMPlayer, ResetsThatCannotSizeTheModel) {
    LoadedPlayer p(linearModel({1.0f}));
    std::vector<float> buffer(512, 0.5f);
    // Non-positive sizes change nothing.
    p.player.resetWithSampleRate(48000.0, 0);
    p.player.resetWithSampleRate(48000.0, -7);
    EXPECT_EQ(p.player.maxFrames(), 512);
    EXPECT_TRUE(p.player.processBuffer(buffer.data(), 512));

    // A size no model can take drops the model instead of leaving it half-sized.
    p.player.resetWithSampleRate(48000.0, std::numeric_limits<int32_t>::max());
    EXPECT_FALSE(p.player.isLoaded());
    EXPECT_TRUE(p.player.processBuffer(buffer.data(), 512));
    EXPECT_EQ(buffer[0], 0.5f);
}

TEST(NAMPlayer, ExceptionsFromResetNeverEscape) {
    nam_test::registerScriptedArchitecture("PlayerTestResetThrows", [](nam_test::ScriptedModel& m) {
        m.onSetMaxBufferSize = [](int size) {
            if (size == 256) throw std::runtime_error("cannot size");
        };
    });
    nam_test::registerScriptedArchitecture("PlayerTestResetThrowsOther", [](nam_test::ScriptedModel& m) {
        m.onSetMaxBufferSize = [](int size) {
            if (size == 256) throw 42;  // not even a std::exception
        };
    });
    for (const char* architecture : {"PlayerTestResetThrows", "PlayerTestResetThrowsOther"}) {
        LoadedPlayer p(nam_test::scriptedModelFile(architecture), 0);
        ASSERT_TRUE(p.player.isLoaded());
        EXPECT_NO_THROW(p.player.resetWithSampleRate(48000.0, 256));
        EXPECT_FALSE(p.player.isLoaded());
    }
}

TEST(NAMPlayer, ProcessingFailuresKeepTheInput) {
    nam_test::registerScriptedArchitecture("PlayerTestProcessThrows", [](nam_test::ScriptedModel& m) {
        m.onProcess = [](double**, double** out, int frames) {
            std::fill(out[0], out[0] + frames, 9.0);
            if (frames == 3) throw std::runtime_error("model failed");
        };
    });
    LoadedPlayer p(nam_test::scriptedModelFile("PlayerTestProcessThrows"));
    std::vector<float> buffer = {0.1f, 0.2f, 0.3f};
    Error error;
    EXPECT_FALSE(p.player.processBuffer(buffer.data(), 3, &error));
    EXPECT_EQ(error.code, -3);
    EXPECT_EQ(error.localizedDescription, "model failed");
    EXPECT_EQ(buffer, (std::vector<float>{0.1f, 0.2f, 0.3f}));
    EXPECT_FALSE(p.player.processBuffer(buffer.data(), 3));  // no error object wanted
    EXPECT_TRUE(p.player.processBuffer(buffer.data(), 2));
    EXPECT_EQ(buffer[0], 9.0f);
}

// A block longer than the player's staging passes through the model in pieces; a failure in a
// later piece still leaves the whole block as it came in.
TEST(NAMPlayer, ALongBlockFailingInALaterPieceKeepsAllOfItsInput) {
    nam_test::registerScriptedArchitecture("PlayerTestLastPieceThrows", [](nam_test::ScriptedModel& m) {
        m.onProcess = [](double**, double** out, int frames) {
            std::fill(out[0], out[0] + frames, 9.0);
            if (frames < NAMPlayer::kStagingFrames) throw std::runtime_error("short piece failed");
        };
    });
    LoadedPlayer p(nam_test::scriptedModelFile("PlayerTestLastPieceThrows"), 4 * NAMPlayer::kStagingFrames);
    const std::vector<float> input = ramp(3 * NAMPlayer::kStagingFrames - 5);
    std::vector<float> buffer = input;
    Error error;
    EXPECT_FALSE(p.player.processBuffer(buffer.data(), static_cast<int32_t>(buffer.size()), &error));
    EXPECT_EQ(error.code, -3);
    EXPECT_EQ(buffer, input);
    // Whole pieces only: every sample replaced.
    buffer.resize(2 * NAMPlayer::kStagingFrames);
    EXPECT_TRUE(p.player.processBuffer(buffer.data(), static_cast<int32_t>(buffer.size())));
    for (float y : buffer) ASSERT_EQ(y, 9.0f);
}

TEST(NAMPlayer, LoudnessIsNormalisedToMinus18) {
    struct Case {
        std::optional<double> loudness;
        double gain;
    };
    for (const Case c : {Case{-24.0, kSixDecibels}, Case{-12.0, 1.0 / kSixDecibels}, Case{std::nullopt, 1.0},
                         Case{-18.0, 1.0}}) {
        json model = linearModel({1.0f});
        if (c.loudness) model = nam_test::withLoudness(model, *c.loudness);
        LoadedPlayer p(model);
        EXPECT_NEAR(p.player.outputGain(), c.gain, 1e-12);
        std::vector<float> buffer = {0.25f, -0.5f};
        ASSERT_TRUE(p.player.processBuffer(buffer.data(), 2));
        EXPECT_FLOAT_EQ(buffer[0], static_cast<float>(0.25 * c.gain));
        EXPECT_FLOAT_EQ(buffer[1], static_cast<float>(-0.5 * c.gain));
    }
}

TEST(NAMPlayer, FailedLoadsKeepThePreviousModel) {
    LoadedPlayer p(linearModel({3.0f}));
    json twoOutputs = linearModel({1.0f});
    twoOutputs["config"]["out_channels"] = 2;
    json twoInputs = linearModel({1.0f});
    twoInputs["config"]["in_channels"] = 2;

    struct Case {
        std::string path;
        std::string message;  // empty: only the code is checked
    };
    const Case cases[] = {
        {(p.dir.path() / "absent.nam").string(), "Config file doesn't exist!\n"},
        {p.dir.write("broken.nam", std::string("{")).string(), ""},
        {p.dir.write("two-out.nam", twoOutputs).string(), "Model must have one input and one output channel, not 1 and 2"},
        {p.dir.write("two-in.nam", twoInputs).string(), "Model must have one input and one output channel, not 2 and 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        Error error;
        EXPECT_FALSE(p.player.loadModelAtPath(c.path, &error));
        EXPECT_EQ(error.domain, "NAMPlayer");
        EXPECT_EQ(error.code, -1);
        if (!c.message.empty()) {
            EXPECT_EQ(error.localizedDescription, c.message);
        }
        EXPECT_FALSE(p.player.loadModelAtPath(c.path));  // also without an error object
        std::vector<float> buffer = {0.1f};
        ASSERT_TRUE(p.player.processBuffer(buffer.data(), 1));
        EXPECT_FLOAT_EQ(buffer[0], 0.3f);
    }
}

TEST(NAMPlayer, AReloadIsLimitedByTheNewModelsOwnSize) {
    LoadedPlayer p(linearModel({1.0f}), 8192);
    std::vector<float> buffer(8192, 0.5f);
    ASSERT_TRUE(p.player.processBuffer(buffer.data(), 8192));

    // The new model is only sized for its 4096-frame prewarm until the owner resets again.
    ASSERT_TRUE(p.player.loadModelAtPath(p.dir.write("second.nam", linearModel({2.0f})).string()));
    Error error;
    EXPECT_FALSE(p.player.processBuffer(buffer.data(), 8192, &error));
    EXPECT_EQ(error.code, -2);
    EXPECT_EQ(buffer[0], 0.5f);
    EXPECT_TRUE(p.player.processBuffer(buffer.data(), 4096));
    EXPECT_FLOAT_EQ(buffer[0], 1.0f);

    p.player.resetWithSampleRate(48000.0, 8192);
    EXPECT_TRUE(p.player.processBuffer(buffer.data(), 8192));
}

TEST(NAMPlayer, NonFiniteInputEntersAsSilence) {
    LoadedPlayer p(linearModel({1.0f, 0.5f}));
    std::vector<float> buffer = {std::numeric_limits<float>::quiet_NaN(), 1.0f,
                                 std::numeric_limits<float>::infinity(), 0.0f};
    ASSERT_TRUE(p.player.processBuffer(buffer.data(), 4));
    EXPECT_EQ(buffer, (std::vector<float>{0.0f, 1.0f, 0.5f, 0.0f}));
}

TEST(NAMPlayer, OutputDoesNotDependOnBlockSplit) {
    constexpr int32_t kMax = 1024;
    const auto taps = nam_test::randomVector(200, 11, 0.2f);
    const auto input = ramp(12000);
    std::vector<double> x(input.begin(), input.end());
    const auto reference = nam_test::firReference(taps, 0.0f, x);

    std::vector<float> expected;
    for (int32_t block : {1, 7, 64, 511, kMax}) {
        SCOPED_TRACE(block);
        LoadedPlayer p(linearModel(taps), kMax);
        std::vector<float> buffer = input;
        for (size_t start = 0; start < buffer.size(); start += block) {
            const auto n = static_cast<int32_t>(std::min<size_t>(block, buffer.size() - start));
            ASSERT_TRUE(p.player.processBuffer(buffer.data() + start, n));
        }
        if (expected.empty()) expected = buffer;
        EXPECT_EQ(buffer, expected);
        for (size_t i = 0; i < buffer.size(); ++i) ASSERT_NEAR(buffer[i], reference[i], 1e-5) << i;
    }
}

TEST(NAMPlayer, ProcessingNeverAllocates) {
    constexpr int32_t kMax = 512;
    LoadedPlayer p(linearModel(nam_test::randomVector(64, 5, 0.1f), 0.01f), kMax);
    std::vector<float> buffer(kMax + 1, 0.1f);
    Error error;
    for (int round = 0; round < 3; ++round) {  // several rounds so the history rewinds
        for (int32_t n = 1; n <= kMax; ++n) {
            tolvane::test::AllocationCounter counter;
            const bool ok = p.player.processBuffer(buffer.data(), n);
            const bool okWithErrorObject = p.player.processBuffer(buffer.data(), n, &error);
            ASSERT_EQ(counter.allocations(), 0u) << "block of " << n;
            ASSERT_TRUE(ok && okWithErrorObject);
        }
    }
    tolvane::test::AllocationCounter counter;
    EXPECT_FALSE(p.player.processBuffer(buffer.data(), kMax + 1));  // refusals too, without an error object
    EXPECT_TRUE(p.player.processBuffer(buffer.data(), 0));
    EXPECT_EQ(counter.allocations(), 0u);
}

}  // namespace
