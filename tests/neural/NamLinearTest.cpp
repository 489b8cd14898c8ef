// The DSP base, the Buffer history and the Linear model, checked against a naive double
// reference; plus the size limits that protect against hostile configurations.

#include <numeric>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "neural/nam/get_dsp.h"
#include "neural/nam/limits.h"
#include "neural/nam/linear.h"
#include "tests/neural/NamTestSupport.h"

namespace {

using nam_test::firReference;
using nam_test::json;

// Runs `model` over x in consecutive blocks whose sizes cycle through `blocks`.
std::vector<double> runInBlocks(nam::DSP& model, const std::vector<double>& x, const std::vector<int>& blocks) {
    std::vector<double> y(x.size());
    size_t start = 0;
    for (size_t b = 0; start < x.size(); ++b) {
        const int n = std::min<int>(blocks[b % blocks.size()], static_cast<int>(x.size() - start));
        double* in = const_cast<double*>(x.data() + start);
        double* out = y.data() + start;
        model.process(&in, &out, n);
        start += n;
    }
    return y;
}

std::vector<double> toDouble(const std::vector<float>& v) { return {v.begin(), v.end()}; }

void expectNear(const std::vector<double>& actual, const std::vector<double>& expected, double tolerance) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i)
        ASSERT_NEAR(actual[i], expected[i], tolerance * (1.0 + std::abs(expected[i]))) << "at sample " << i;
}

TEST(NamLinear, ImpulseResponseIsTheTapsPlusBias) {
    const std::vector<double> impulse = {1, 0, 0, 0};
    for (int block : {4, 1}) {
        nam::Linear model(1, 1, 3, true, {1.0f, 0.5f, 0.25f, 0.1f}, 48000.0);
        const auto y = runInBlocks(model, impulse, {block});
        EXPECT_NEAR(y[0], 1.1, 1e-6);
        EXPECT_NEAR(y[1], 0.6, 1e-6);
        EXPECT_NEAR(y[2], 0.35, 1e-6);
        EXPECT_NEAR(y[3], 0.1, 1e-6);
    }
}

TEST(NamLinear, ExtraOutputChannelsAreSilentAndEachInputIsFilteredAlone) {
    nam::Linear model(1, 2, 2, false, {2.0f, 1.0f}, 48000.0);
    std::vector<double> x = {1, 2, 3}, y0(3), y1(3, 9.0);
    double* in[] = {x.data()};
    double* out[] = {y0.data(), y1.data()};
    model.process(in, out, 3);
    EXPECT_EQ(y0, (std::vector<double>{2, 5, 8}));
    EXPECT_EQ(y1, (std::vector<double>{0, 0, 0}));

    nam::Linear stereo(2, 2, 1, false, {3.0f}, 48000.0);
    std::vector<double> a = {1, 2}, b = {-1, 4}, ya(2), yb(2);
    double* ins[] = {a.data(), b.data()};
    double* outs[] = {ya.data(), yb.data()};
    stereo.process(ins, outs, 2);
    EXPECT_EQ(ya, (std::vector<double>{3, 6}));
    EXPECT_EQ(yb, (std::vector<double>{-3, 12}));
}

TEST(NamLinear, OutputDoesNotDependOnBlockSplitAcrossRewinds) {
    const auto taps = nam_test::randomVector(300, 1);
    const auto x = toDouble(nam_test::randomVector(20000, 2));
    const auto reference = firReference(taps, 0.125f, x);

    nam::Linear whole(1, 1, 300, true, [&] { auto w = taps; w.push_back(0.125f); return w; }(), 48000.0);
    whole.SetMaxBufferSize(4096);
    const auto expected = runInBlocks(whole, x, {4096});
    expectNear(expected, reference, 1e-5);

    for (const std::vector<int>& blocks : std::vector<std::vector<int>>{{1}, {7}, {64}, {511}, {4096}, {3, 4096, 1, 700}}) {
        nam::Linear model(1, 1, 300, true, [&] { auto w = taps; w.push_back(0.125f); return w; }(), 48000.0);
        model.SetMaxBufferSize(4096);
        EXPECT_EQ(runInBlocks(model, x, blocks), expected) << "first block " << blocks.front();
    }
}

TEST(NamBuffer, GrowingForALargerBlockKeepsTheLookBack) {
    // Sized for 16-frame blocks, then handed 8192 frames: the history must grow without losing
    // the last samples it holds, or the first outputs of the large block would be wrong.
    const auto taps = nam_test::randomVector(10, 3);
    const auto x = toDouble(nam_test::randomVector(16 * 40 + 8192, 4));
    nam::Linear model(1, 1, 10, false, taps, 48000.0);
    model.SetMaxBufferSize(16);
    const int64_t before = model.GetHistoryLength();

    std::vector<double> y(x.size());
    for (size_t start = 0; start < x.size();) {
        const int n = start < 16 * 40 ? 16 : 8192;
        double* in = const_cast<double*>(x.data() + start);
        double* out = y.data() + start;
        model.process(&in, &out, n);
        start += n;
    }
    EXPECT_GT(model.GetHistoryLength(), before);
    expectNear(y, firReference(taps, 0.0f, x), 1e-5);
}

TEST(NamBuffer, SetMaxBufferSizePreparesTheHistoryForThatBlock) {
    nam::Linear model(1, 1, 10, false, std::vector<float>(10, 0.1f), 48000.0);
    model.SetMaxBufferSize(8192);
    // 32 blocks plus the look-back, rounded up to a power of two: 32 * 8192 + 10 -> 524288.
    EXPECT_EQ(model.GetHistoryLength(), 524288);
    std::vector<double> x(8192, 1.0), y(8192);
    double* in = x.data();
    double* out = y.data();
    model.process(&in, &out, 8192);
    EXPECT_EQ(model.GetHistoryLength(), 524288);
    EXPECT_NEAR(y.back(), 1.0, 1e-5);
}

struct CountingModel : nam_test::ScriptedModel {
    std::vector<int> calls;
    CountingModel() {
        onProcess = [this](double**, double**, int frames) { calls.push_back(frames); };
    }
};

TEST(NamDsp, PrewarmRunsWholeBlocksOfSilence) {
    CountingModel none;
    none.prewarm();
    EXPECT_TRUE(none.calls.empty());
    EXPECT_EQ(none.GetMaxBufferSize(), nam::kDefaultMaxBufferSize);

    CountingModel some;
    some.prewarmSamples = 5000;
    some.prewarm();
    EXPECT_EQ(some.calls, (std::vector<int>{4096, 4096}));

    some.calls.clear();
    some.Reset(44100.0, 512);
    EXPECT_EQ(some.GetMaxBufferSize(), 512);
    EXPECT_EQ(some.GetExternalSampleRate(), 44100.0);
    EXPECT_EQ(some.calls, std::vector<int>(10, 512));
}

TEST(NamDsp, BaseProcessCopiesAndSilencesExtraOutputs) {
    struct TwoOut : nam::DSP {
        TwoOut() : nam::DSP(1, 2, -1.0) {}
    } model;
    std::vector<double> x = {0.5, -0.25}, a(2), b(2, 7.0);
    double* in[] = {x.data()};
    double* out[] = {a.data(), b.data()};
    model.process(in, out, 2);
    EXPECT_EQ(a, x);
    EXPECT_EQ(b, (std::vector<double>{0, 0}));
}

TEST(NamLimits, HostileSizesAreRefusedBeforeAnythingLarge) {
    auto linear = [](json config, size_t weights) {
        return json{{"version", "0.5.0"},
                    {"architecture", "Linear"},
                    {"config", config},
                    {"weights", std::vector<float>(weights, 0.0f)}};
    };
    struct Case {
        const char* name;
        json model;
        std::string message;
    };
    const Case cases[] = {
        {"negative receptive field", linear({{"receptive_field", -1}, {"bias", true}}, 0),
         "Config value \"receptive_field\" (-1) must be between 0 and 1048576"},
        {"huge receptive field", linear({{"receptive_field", 1ll << 40}, {"bias", false}}, 1),
         "Config value \"receptive_field\" (1099511627776) must be between 0 and 1048576"},
        {"receptive field beyond int64", linear({{"receptive_field", 1e20}, {"bias", false}}, 1),
         "Config value \"receptive_field\" (1e+20) must be between 0 and 1048576"},
        {"receptive field as text", linear({{"receptive_field", "3"}, {"bias", false}}, 3),
         "Config value \"receptive_field\" must be a number"},
        {"no input channels", linear({{"receptive_field", 1}, {"bias", false}, {"in_channels", 0}}, 1),
         "Channel counts must be positive"},
        {"negative output channels", linear({{"receptive_field", 1}, {"bias", false}, {"out_channels", -4}}, 1),
         "Channel counts must be positive"},
        {"too many channels", linear({{"receptive_field", 1}, {"bias", false}, {"in_channels", 5000}}, 1),
         "Channel count (5000) exceeds the limit of 4096"},
        {"history beyond the storage limit",
         linear({{"receptive_field", 8192}, {"bias", false}, {"in_channels", 4096}}, 8192),
         "Input history size (33554432) exceeds the limit of 16777216"},
        {"block storage beyond the limit",
         linear({{"receptive_field", 0}, {"bias", true}, {"in_channels", 4096}, {"out_channels", 4096}}, 1),
         "Max buffer size (4096) is out of range for this model"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            nam::get_dsp(c.model);
            ADD_FAILURE() << "accepted";
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
    // A float that holds an integer is read as that integer.
    EXPECT_NE(nam::get_dsp(linear({{"receptive_field", 2.0}, {"bias", false}}, 2)), nullptr);
}

TEST(NamLimits, ModelsRefuseImpossibleBlockSizes) {
    nam::Linear model(1, 1, 4, false, std::vector<float>(4, 0.25f), 48000.0);
    EXPECT_THROW(model.SetMaxBufferSize(-1), std::invalid_argument);
    EXPECT_THROW(model.SetMaxBufferSize(static_cast<int>(nam::limits::kMaxBufferSize) + 1), std::invalid_argument);
    EXPECT_NO_THROW(model.SetMaxBufferSize(static_cast<int>(nam::limits::kMaxBufferSize)));
    EXPECT_THROW(nam::Linear(1, 1, -3, false, {}, 48000.0), std::runtime_error);
}

}  // namespace
