#include "effect/RenderBlock.h"
#include "tests/support/EffectHost.h"
#include "tests/support/ReferenceBiquad.h"
#include "tests/support/Signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>

namespace {

using tolvane::test::EffectHost;
using tolvane::test::parameterEvent;
namespace addr = ParameterAddress;

constexpr AUValue kNoStage = 8;  // a mode outside 0..7 runs only the global section

using tolvane::test::noise;

// The output low-pass computed independently in double precision from its closed form.
struct ReferenceLowPass : tolvane::test::ReferenceBiquad {
    explicit ReferenceLowPass(double fs, double corner = 18000) {
        const double w0 = 2 * std::numbers::pi * std::min(corner, 0.45 * fs) / fs;
        const double alpha = std::sin(w0) / 1.414, c = std::cos(w0), a0 = 1 + alpha;
        b0 = b2 = (1 - c) / 2 / a0;
        b1 = (1 - c) / a0;
        a1 = -2 * c / a0;
        a2 = (1 - alpha) / a0;
    }
    double magnitude(double f, double fs) const {
        const std::complex<double> z = std::polar(1.0, -2 * std::numbers::pi * f / fs);
        return std::abs((b0 + b1 * z + b2 * z * z) / (1.0 + a1 * z + a2 * z * z));
    }
};

std::vector<double> referenceLowPass(const std::vector<float>& in, double fs) {
    ReferenceLowPass lp(fs);
    std::vector<double> out;
    for (float x : in) out.push_back(lp.tick(x));
    return out;
}

EffectHost allocatedHost(EffectHost::Options options = {}) {
    EffectHost host(std::move(options));
    host.set(addr::effectMode, kNoStage);
    EXPECT_TRUE(host.allocate());
    return host;
}

TEST(RenderCallTest, EarlyReturnsAndStatuses) {
    EffectHost host = allocatedHost();
    std::vector<float> L(64, 0.25f), R(64, 0.25f);
    AudioBufferList list;
    list.mNumberBuffers = 2;
    list.mBuffers[0].mData = L.data();
    list.mBuffers[1].mData = R.data();
    AudioUnitRenderActionFlags flags = 0;
    AudioTimeStamp ts;

    EXPECT_EQ(host.block(&flags, &ts, 64, 0, &list, nullptr, nullptr), kAudioUnitErr_NoConnection);
    EXPECT_EQ(L[0], 0.25f);

    host.pullStatus = -1234;
    EXPECT_EQ(host.render(L.data(), R.data(), 64), -1234);
    EXPECT_EQ(host.unit->renderState->lastMode, -1);  // nothing else happened
    host.pullStatus = noErr;

    EXPECT_EQ(host.render(L.data(), R.data(), 513), kAudioUnitErr_TooManyFramesToProcess);

    // Zero frames: events still apply, nothing else moves.
    auto event = parameterEvent(addr::outputLevel, 20);
    EXPECT_EQ(host.render(L.data(), R.data(), 0, &event), noErr);
    EXPECT_EQ(host.value(addr::outputLevel), 20);
    EXPECT_EQ(host.unit->renderState->lastMode, -1);
    EXPECT_EQ(host.unit->renderState->fadeInSamplesRemaining, 4096);

    // No output buffer data: the mode bookkeeping runs, the audio does not.
    list.mBuffers[0].mData = nullptr;
    EXPECT_EQ(host.block(&flags, &ts, 64, 0, &list, nullptr, &host.pullBlock()), noErr);
    EXPECT_EQ(host.unit->renderState->lastMode, 8);
    EXPECT_EQ(host.unit->renderState->fadeInSamplesRemaining, 4096);
}

TEST(RenderCallTest, EventsApplyAtOnceForTheWholeBlockAndOnlyKnownAddresses) {
    EffectHost host = allocatedHost();
    std::vector<float> L(32, 0.f), R(32, 0.f);
    AURenderEvent midi{};
    midi.MIDI.eventType = AURenderEventType::midi;
    auto unknown = parameterEvent(42, 5, AURenderEventType::parameter, &midi);
    auto ramp = parameterEvent(addr::compressor, 100, AURenderEventType::parameterRamp, &unknown);
    ramp.parameter.rampDurationSampleFrames = 1000;
    ramp.parameter.eventSampleTime = 31;
    ASSERT_EQ(host.render(L.data(), R.data(), 32, &ramp), noErr);
    EXPECT_EQ(host.value(addr::compressor), 100);
    EXPECT_EQ(host.unit->paramValues->get(42), 0);
}

TEST(RenderCallTest, EffectModeValuesMapByTruncationAndNonFiniteRunsNoStage) {
    EXPECT_EQ(effectModeFromValue(7.9f), 7);
    EXPECT_EQ(effectModeFromValue(-0.5f), 0);
    EXPECT_EQ(effectModeFromValue(8), 8);
    EXPECT_EQ(effectModeFromValue(-1), -1);
    EXPECT_EQ(effectModeFromValue(std::nanf("")), -1);
    EXPECT_EQ(effectModeFromValue(INFINITY), -1);
    EXPECT_EQ(effectModeFromValue(3e38f), 2147483520);

    EffectHost host = allocatedHost();
    std::vector<float> L(16, 0.f), R(16, 0.f);
    for (float v : {7.9f, -0.5f, 8.f, -1.f, std::nanf("")}) {
        auto e = parameterEvent(addr::effectMode, v);
        ASSERT_EQ(host.render(L.data(), R.data(), 16, &e), noErr);
        EXPECT_EQ(host.unit->currentEffectMode.load(), effectModeFromValue(v)) << v;
    }
}

TEST(RenderFadeTest, StartFadeInRisesLinearlyOver4096Samples) {
    EffectHost host = allocatedHost();
    const auto in = noise(6000, 1);
    auto [L, R] = host.process(in, in, 512);
    const auto ref = referenceLowPass(in, 44100);
    for (std::size_t i = 0; i < in.size(); ++i) {
        const double gain = i < 4096 ? 1.0 - (4096.0 - static_cast<double>(i)) / 4096.0 : 1.0;
        ASSERT_NEAR(L[i], ref[i] * gain, 2e-6) << i;
        ASSERT_EQ(L[i], R[i]);
    }
    EXPECT_EQ(L[0], 0.0f);
}

TEST(RenderFadeTest, ModeChangeMutes3073SamplesThenRampsOver1023) {
    EffectHost host = allocatedHost();
    host.process(noise(8192, 1), noise(8192, 2), 256);  // past the start fade-in
    host.set(addr::effectMode, 9);                    // another stage-less mode: no loading
    const auto in = noise(5000, 3);
    auto [L, R] = host.process(in, in, 100);
    for (std::size_t i = 0; i < 3073; ++i) ASSERT_EQ(L[i], 0.0f) << i;
    EXPECT_NE(L[3073], 0.0f);
    // The ramp multiplies the low-passed signal; compare with an unfaded twin.
    EffectHost twin = allocatedHost();
    twin.process(noise(8192, 1), noise(8192, 2), 256);
    twin.set(addr::effectMode, 8);
    auto [plain, plainR] = twin.process(in, in, 100);
    for (std::size_t i = 3073; i < 4096; ++i) {
        const double gain = 1.0 - (4096.0 - static_cast<double>(i)) / 1024.0;
        ASSERT_NEAR(L[i], plain[i] * gain, 1e-6) << i;
    }
    for (std::size_t i = 4096; i < in.size(); ++i) ASSERT_EQ(L[i], plain[i]);
    EXPECT_EQ(host.unit->renderState->modeFadeSamplesRemaining, 4096 - 41 * 100);  // counts down only while above 0
}

TEST(RenderFadeTest, ModeWaitingForResourcesIsSilentWithCountersHeldThenFadesIn) {
    EffectHost host = allocatedHost();
    auto& unit = *host.unit;
    host.process(noise(8192, 1), noise(8192, 1), 512);
    {
        std::lock_guard lock(unit.modelLoadLock);
        unit.modelLoadState.forget(1);  // LO-FI's resources now count as not loaded
    }
    unit.modelLoadLock.lock();  // the load the switch queues waits behind it
    host.set(addr::effectMode, 1);
    auto [L, R] = host.process(noise(1024, 4), noise(1024, 5), 256);
    for (std::size_t i = 0; i < L.size(); ++i) ASSERT_TRUE(L[i] == 0 && R[i] == 0);
    EXPECT_EQ(unit.renderState->modeFadeSamplesRemaining, 4096);
    unit.modelLoadLock.unlock();
    unit.modelLoadQueue.sync([] {});  // the queued load of LO-FI has run
    ASSERT_TRUE(unit.isModelReady(1));
    auto [L2, R2] = host.process(noise(4096, 6), noise(4096, 7), 256);
    for (std::size_t i = 0; i < 3073; ++i) ASSERT_EQ(L2[i], 0.0f);
    EXPECT_NE(L2[3500], 0.0f);
}

TEST(RenderFadeTest, ModeChosenBetweenAllocationAndFirstRenderIsLoaded) {
    EffectHost host = allocatedHost();  // allocated in a stage-less mode
    host.set(addr::effectMode, 2);
    std::vector<float> L(64, 0.1f), R(64, 0.1f);
    ASSERT_EQ(host.render(L.data(), R.data(), 64), noErr);
    EXPECT_EQ(host.unit->renderState->modeFadeSamplesRemaining, 0);  // first call: no fade
    host.unit->modelLoadQueue.sync([] {});
    EXPECT_TRUE(host.unit->isModelReady(2));
}

TEST(RenderChannelTest, MonoBlocksUseTheLeftStateOnly) {
    EffectHost host = allocatedHost({.outputChannels = 1});
    const auto in = noise(5000, 1);
    auto [L, unused] = host.process(in, {}, 500);
    const auto ref = referenceLowPass(in, 44100);
    for (std::size_t i = 4096; i < in.size(); ++i) ASSERT_NEAR(L[i], ref[i], 2e-6);
    EXPECT_EQ(host.unit->renderState->hfRolloffR_z1, 0.0f);
}

TEST(RenderChannelTest, OneInputChannelOnTwoOutputsGivesTwoEqualChannels) {
    EffectHost host = allocatedHost({.inputChannels = 1});
    auto [L, R] = host.process(noise(3000, 1), noise(3000, 9), 300);
    EXPECT_EQ(L, R);
}

TEST(RenderChannelTest, MonoSumAveragesTheChannels) {
    EffectHost host = allocatedHost();
    host.set(addr::monoSumOn, 1);
    const auto a = noise(5000, 1), b = noise(5000, 2);
    auto [L, R] = host.process(a, b, 512);
    std::vector<float> mean(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) mean[i] = (a[i] + b[i]) * 0.5f;
    const auto ref = referenceLowPass(mean, 44100);
    EXPECT_EQ(L, R);
    for (std::size_t i = 4096; i < a.size(); ++i) ASSERT_NEAR(L[i], ref[i], 2e-6);
}

TEST(RenderLevelTest, OutputLevelCurve) {
    const auto in = noise(6000, 1);
    auto run = [&](AUValue level) {
        EffectHost host = allocatedHost();
        host.set(addr::outputLevel, level);
        return host.process(in, in, 512).first;
    };
    const auto unity = run(75), loud = run(100), silent = run(0), half = run(37.5f);
    const float sixDecibels = std::pow(10.0f, 6.0f / 20.0f);
    for (std::size_t i = 0; i < in.size(); ++i) {
        ASSERT_EQ(silent[i], 0.0f);
        ASSERT_NEAR(loud[i], unity[i] * sixDecibels, 1e-6);
        ASSERT_EQ(half[i], unity[i] * 0.5f);
    }
    // Past the start fade the gain is the last thing applied: exactly one rounded product.
    for (std::size_t i = 4096; i < in.size(); ++i) ASSERT_EQ(loud[i], unity[i] * sixDecibels) << i;
    const auto ref = referenceLowPass(in, 44100);
    for (std::size_t i = 4096; i < in.size(); ++i) ASSERT_NEAR(unity[i], ref[i], 2e-6);
}

TEST(RenderFilterTest, LowPassMatchesItsClosedFormResponse) {
    for (double fs : {44100.0, 48000.0, 96000.0}) {
        for (double f : {1000.0, 10000.0, 17000.0, 18000.0, 20000.0}) {
            if (f >= fs / 2) continue;
            EffectHost host = allocatedHost({.sampleRate = fs, .outputChannels = 1, .maxFrames = 1024});
            std::vector<float> in(static_cast<std::size_t>(fs / 2));
            for (std::size_t i = 0; i < in.size(); ++i)
                in[i] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * f * static_cast<double>(i) / fs));
            auto [out, unused] = host.process(in, {}, 1024);
            // Amplitude over the last part of the run: project onto sine and cosine.
            double s = 0, c = 0;
            const std::size_t start = in.size() / 2;
            for (std::size_t i = start; i < in.size(); ++i) {
                const double ph = 2 * std::numbers::pi * f * static_cast<double>(i) / fs;
                s += out[i] * std::sin(ph);
                c += out[i] * std::cos(ph);
            }
            const double amplitude = 2 * std::hypot(s, c) / static_cast<double>(in.size() - start) / 0.5;
            EXPECT_NEAR(amplitude, ReferenceLowPass(fs).magnitude(f, fs), 2e-3) << fs << " Hz rate, " << f << " Hz";
        }
    }
}

TEST(RenderFilterTest, LowPassStaysStableAtLowSampleRates) {
    for (double fs : {22050.0, 32000.0}) {
        EffectHost host = allocatedHost({.sampleRate = fs, .maxFrames = 1024});
        const auto in = noise(static_cast<std::size_t>(fs), 1);
        auto [L, R] = host.process(in, in, 1024);
        float peak = 0;
        for (float x : L) {
            ASSERT_TRUE(std::isfinite(x));
            peak = std::max(peak, std::abs(x));
        }
        EXPECT_LT(peak, 2.0f) << fs;
        const auto ref = referenceLowPass(in, fs);
        for (std::size_t i = 4096; i < in.size(); ++i) ASSERT_NEAR(L[i], ref[i], 1e-5);
    }
}

}  // namespace
