#include "plugin/AudioUnitAdapter.h"
#include "plugin/TolvaneUnit.h"
#include "tests/plugin/PluginTestSupport.h"
#include "tests/support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tolvane::plugin {
namespace {

using test::Channels;
using test::EffectHost;

std::shared_ptr<Kessrin_VinylExtensionAudioUnit> unitWithResources() {
    Error error;
    auto unit = makeAudioUnit(tolvaneComponentDescription(), 0, &error);
    if (!unit) throw std::runtime_error(error.description());
    unit->setResourceBundle(Bundle(TOLVANE_RESOURCE_DIR));
    return unit;
}

uint32_t indexOf(const AudioUnitAdapter& adapter, const std::string& symbol) {
    const auto& parameters = adapter.layout().parameters;
    for (uint32_t i = 0; i < parameters.size(); ++i)
        if (parameters[i].symbol == symbol) return i;
    throw std::invalid_argument("no parameter " + symbol);
}

// Runs the adapter over the programme in host blocks of `hostBlock` frames, out of place.
Channels runAdapter(AudioUnitAdapter& adapter, const Channels& input, uint32_t hostBlock) {
    Channels output(input.size(), std::vector<float>(input[0].size()));
    for (std::size_t start = 0; start < input[0].size(); start += hostBlock) {
        const auto n = static_cast<uint32_t>(std::min<std::size_t>(hostBlock, input[0].size() - start));
        const float* in[2] = {input[0].data() + start, input.back().data() + start};
        float* out[2] = {output[0].data() + start, output.back().data() + start};
        adapter.run(in, out, n);
    }
    return output;
}

// The unit driven directly, in exactly the render calls the adapter should make: each host block
// cut into slices of at most `slice` frames.
Channels renderSliced(EffectHost& host, Channels signal, uint32_t hostBlock, uint32_t slice) {
    const std::size_t frames = signal[0].size();
    for (std::size_t block = 0; block < frames; block += hostBlock) {
        const std::size_t blockEnd = std::min(frames, block + hostBlock);
        for (std::size_t start = block; start < blockEnd; start += slice) {
            const auto n = static_cast<uint32_t>(std::min<std::size_t>(slice, blockEnd - start));
            EXPECT_EQ(host.render(signal[0].data() + start, signal.size() > 1 ? signal[1].data() + start : nullptr, n), noErr);
        }
    }
    return signal;
}

EffectHost referenceHost(double rate, uint32_t channels, uint32_t maxFrames) {
    EffectHost::Options options;
    options.sampleRate = rate;
    options.inputChannels = channels;
    options.outputChannels = channels;
    options.maxFrames = maxFrames;
    options.bundle = Bundle(TOLVANE_RESOURCE_DIR);
    return EffectHost(options);
}

class AdapterChannels : public ::testing::TestWithParam<uint32_t> {};

// Host blocks longer than the unit's limit are cut into several render calls; the result is what
// the same calls made directly give, sample for sample, in either channel layout and in a mode
// that needs the bundle's models.
TEST_P(AdapterChannels, RendersLikeTheUnitDrivenDirectly) {
    const uint32_t channels = GetParam();
    const Channels input = test::testProgramme(44100, 9000, static_cast<int>(channels));

    AudioUnitAdapter adapter(unitWithResources(), channels, tolvaneValueNames());
    adapter.setParameterValue(indexOf(adapter, "crackle"), 40);
    adapter.setParameterValue(indexOf(adapter, "wowFlutter"), 60);
    Error error;
    ASSERT_TRUE(adapter.activate(44100, 256, &error)) << error.description();
    const Channels actual = runAdapter(adapter, input, 1000);

    EffectHost host = referenceHost(44100, channels, 256);
    host.set(ParameterAddress::crackle, 40);
    host.set(ParameterAddress::wowFlutter, 60);
    ASSERT_TRUE(host.allocate());
    const Channels expected = renderSliced(host, input, 1000, 256);

    ASSERT_EQ(actual, expected);
    EXPECT_GT(test::peakOf(actual), 0.05);
    EXPECT_EQ(adapter.failedRenderCalls(), 0u);
}

INSTANTIATE_TEST_SUITE_P(MonoAndStereo, AdapterChannels, ::testing::Values(1u, 2u));

TEST(AudioUnitAdapter, HostChangesReachTheUnitAsEventsOfTheNextBlock) {
    const Channels input = test::testProgramme(48000, 6 * 512, 2);
    AudioUnitAdapter adapter(unitWithResources(), 2, tolvaneValueNames());
    Error error;
    ASSERT_TRUE(adapter.activate(48000, 512, &error));
    const uint32_t level = indexOf(adapter, "outputLevel");
    const uint32_t mode = indexOf(adapter, "effectMode");

    Channels actual(2, std::vector<float>(input[0].size()));
    auto runBlock = [&](std::size_t b) {
        const float* in[2] = {input[0].data() + b * 512, input[1].data() + b * 512};
        float* out[2] = {actual[0].data() + b * 512, actual[1].data() + b * 512};
        adapter.run(in, out, 512);
    };
    runBlock(0);
    runBlock(1);
    adapter.setParameterValue(level, 100);
    adapter.setParameterValue(mode, 6.0f - 1e-5f);  // a host's rounding error on an indexed value
    EXPECT_EQ(adapter.parameterValue(level), 100.0f);                    // the host sees its change at once
    EXPECT_EQ(adapter.unit().parameterTree()->parameterWithAddress(5)->value(), 75.0f);  // the unit not yet
    for (std::size_t b = 2; b < 6; ++b) runBlock(b);
    EXPECT_EQ(adapter.unit().parameterTree()->parameterWithAddress(5)->value(), 100.0f);
    EXPECT_EQ(adapter.unit().parameterTree()->parameterWithAddress(3)->value(), 6.0f);

    // The same change as one event list on the third block, given to the unit directly.
    EffectHost host = referenceHost(48000, 2, 512);
    ASSERT_TRUE(host.allocate());
    Channels expected = input;
    const AURenderEvent modeEvent = test::parameterEvent(ParameterAddress::effectMode, 6);
    const AURenderEvent levelEvent =
        test::parameterEvent(ParameterAddress::outputLevel, 100, AURenderEventType::parameter, &modeEvent);
    for (std::size_t b = 0; b < 6; ++b)
        host.render(expected[0].data() + b * 512, expected[1].data() + b * 512, 512, b == 2 ? &levelEvent : nullptr);
    EXPECT_EQ(actual, expected);
}

// What a host sets before activation is in force when the unit allocates, so the mode's resources
// are loaded before the first block: RADIO sounds from the start instead of waiting for a load.
TEST(AudioUnitAdapter, ValuesSetWhileInactiveAreInForceAtAllocation) {
    const Channels input = test::testProgramme(44100, 8192, 2);
    AudioUnitAdapter adapter(unitWithResources(), 2, tolvaneValueNames());
    adapter.setParameterValue(indexOf(adapter, "effectMode"), 5);
    adapter.setParameterValue(indexOf(adapter, "amFmMode"), 1);
    Error error;
    ASSERT_TRUE(adapter.activate(44100, 512, &error));
    EXPECT_EQ(adapter.unit().parameterTree()->parameterWithAddress(ParameterAddress::effectMode)->value(), 5.0f);
    const Channels actual = runAdapter(adapter, input, 512);

    EffectHost host = referenceHost(44100, 2, 512);
    host.set(ParameterAddress::effectMode, 5);
    host.set(ParameterAddress::amFmMode, 1);
    ASSERT_TRUE(host.allocate());
    auto [left, right] = host.process(input[0], input[1], 512);
    EXPECT_EQ(actual, (Channels{left, right}));
    const std::vector<float> firstBlocks(actual[0].begin(), actual[0].begin() + 2048);
    EXPECT_GT(test::peakOf({firstBlocks}), 0.01) << "RADIO was silent while its beds loaded";
}

TEST(AudioUnitAdapter, ZeroFrameRunHandsPendingValuesToTheUnit) {
    AudioUnitAdapter adapter(unitWithResources(), 2, tolvaneValueNames());
    Error error;
    ASSERT_TRUE(adapter.activate(44100, 512, &error));
    adapter.setParameterValue(indexOf(adapter, "hissLevel"), 90);
    adapter.run(nullptr, nullptr, 0);
    EXPECT_EQ(adapter.unit().parameterTree()->parameterWithAddress(ParameterAddress::hissLevel)->value(), 90.0f);
    EXPECT_EQ(adapter.failedRenderCalls(), 0u);
}

TEST(AudioUnitAdapter, OutputsSilenceWhenNotActiveOrWhenActivationFails) {
    AudioUnitAdapter adapter(unitWithResources(), 2, tolvaneValueNames());
    std::vector<float> left(64, 0.5f), right(64, 0.5f);
    const float* in[2] = {left.data(), right.data()};
    float* out[2] = {left.data(), right.data()};
    adapter.run(in, out, 64);
    EXPECT_EQ(test::peakOf({left, right}), 0.0);

    Error error;
    EXPECT_FALSE(adapter.activate(0, 512, &error));
    EXPECT_EQ(error.code, kAudioUnitErr_FormatNotSupported);
    EXPECT_FALSE(adapter.isActive());
    std::fill(left.begin(), left.end(), 0.5f);
    adapter.run(in, out, 64);
    EXPECT_EQ(test::peakOf({left}), 0.0);
}

TEST(AudioUnitAdapter, ReportsTheLatencyInFramesAtTheActiveRate) {
    AudioUnitAdapter adapter(unitWithResources(), 2, tolvaneValueNames());
    EXPECT_EQ(adapter.latencyFrames(), 556u);
    Error error;
    for (auto [rate, frames] : {std::pair{44100.0, 556u}, std::pair{48000.0, 560u}, std::pair{96000.0, 608u}}) {
        ASSERT_TRUE(adapter.activate(rate, 256, &error));
        EXPECT_EQ(adapter.latencyFrames(), frames) << rate;
        EXPECT_EQ(adapter.sampleRate(), rate);
    }
}

// Activating again at a new rate leaves the unit rendering at that rate, which a block read
// before the change would not.
TEST(AudioUnitAdapter, ReactivationTakesTheNewRateAndBlockSize) {
    auto unit = unitWithResources();
    AudioUnitAdapter adapter(unit, 2, tolvaneValueNames());
    Error error;
    ASSERT_TRUE(adapter.activate(44100, 256, &error));
    ASSERT_TRUE(adapter.activate(96000, 1024, &error));
    EXPECT_EQ(unit->renderSampleRate, 96000.0f);
    EXPECT_EQ(unit->maximumFramesToRender(), 1024u);
    EXPECT_EQ(unit->outputBus->format().sampleRate(), 96000.0);
    adapter.deactivate();
    EXPECT_FALSE(unit->renderResourcesAllocated());
}

TEST(AudioUnitAdapter, InPlaceBuffersGiveTheSameOutput) {
    const Channels input = test::testProgramme(44100, 5000, 2);
    AudioUnitAdapter separate(unitWithResources(), 2, tolvaneValueNames());
    AudioUnitAdapter inPlace(unitWithResources(), 2, tolvaneValueNames());
    Error error;
    ASSERT_TRUE(separate.activate(44100, 300, &error));
    ASSERT_TRUE(inPlace.activate(44100, 300, &error));
    const Channels expected = runAdapter(separate, input, 700);
    Channels buffers = input;
    for (std::size_t start = 0; start < buffers[0].size(); start += 700) {
        const auto n = static_cast<uint32_t>(std::min<std::size_t>(700, buffers[0].size() - start));
        float* io[2] = {buffers[0].data() + start, buffers[1].data() + start};
        inPlace.run(io, io, n);
    }
    EXPECT_EQ(buffers, expected);
}

TEST(AudioUnitAdapter, RunAllocatesNothing) {
    const Channels input = test::testProgramme(44100, 4096, 2);
    Channels output = input;
    AudioUnitAdapter adapter(unitWithResources(), 2, tolvaneValueNames());
    Error error;
    ASSERT_TRUE(adapter.activate(44100, 128, &error));
    const float* in[2] = {input[0].data(), input[1].data()};
    float* out[2] = {output[0].data(), output[1].data()};
    adapter.run(in, out, 1000);  // first calls settle what the unit sets up lazily

    test::AllocationCounter counter;
    for (int block = 0; block < 4; ++block) {
        adapter.setParameterValue(indexOf(adapter, "compressor"), 10.0f * block);
        adapter.setParameterValue(indexOf(adapter, "outputLevel"), 60.0f + block);
        adapter.run(in, out, 1000);  // eight slices
        adapter.run(nullptr, nullptr, 0);
    }
    EXPECT_EQ(counter.allocations(), 0u);
}

TEST(AudioUnitAdapter, RefusesChannelCountsTheUnitCannotProcess) {
    EXPECT_THROW(AudioUnitAdapter(unitWithResources(), 3, {}), std::invalid_argument);
    EXPECT_THROW(AudioUnitAdapter(nullptr, 2, {}), std::invalid_argument);
}

TEST(AudioUnitAdapter, IgnoresUnknownIndexesAndNonFiniteValues) {
    AudioUnitAdapter adapter(unitWithResources(), 2, tolvaneValueNames());
    const uint32_t level = indexOf(adapter, "outputLevel");
    adapter.setParameterValue(level, NAN);
    adapter.setParameterValue(adapter.parameterCount(), 1);
    EXPECT_EQ(adapter.parameterValue(level), 75.0f);
    EXPECT_EQ(adapter.parameterValue(adapter.parameterCount()), 0.0f);
}

}  // namespace
}  // namespace tolvane::plugin

namespace tolvane::plugin {
namespace {

// A host rendering as fast as it can (an export) while its automation moves the effect mode
// every 250 ms, starting on a mode it sets only after activation: every run gives the same
// output, and every mode sounds once its switch fade has passed.
TEST(AudioUnitAdapter, FreeRunningModeAutomationIsTheSameOnEveryRun) {
    constexpr double kRate = 48000;
    constexpr uint32_t kBlock = 256;
    constexpr std::size_t kSegment = 12000;  // 250 ms, not a whole number of blocks
    const uint32_t order[] = {1, 5, 2, 0, 6, 3, 7, 4, 5, 1};
    const Channels input = test::testProgramme(kRate, kSegment * std::size(order), 2);
    auto run = [&] {
        AudioUnitAdapter adapter(unitWithResources(), 2, tolvaneValueNames());
        Error error;
        EXPECT_TRUE(adapter.activate(kRate, kBlock, &error));
        Channels output(2, std::vector<float>(input[0].size()));
        std::size_t automated = std::size(order);  // the segment whose mode was last set
        for (std::size_t start = 0; start < input[0].size(); start += kBlock) {
            if (start / kSegment != automated) {
                automated = start / kSegment;
                adapter.setParameterValue(indexOf(adapter, "effectMode"), static_cast<float>(order[automated]));
            }
            const float* in[2] = {input[0].data() + start, input[1].data() + start};
            float* out[2] = {output[0].data() + start, output[1].data() + start};
            adapter.run(in, out, static_cast<uint32_t>(std::min<std::size_t>(kBlock, input[0].size() - start)));
        }
        return output;
    };
    const Channels first = run();
    EXPECT_TRUE(run() == first);
    for (std::size_t segment = 0; segment < std::size(order); ++segment) {
        float peak = 0;
        for (std::size_t i = segment * kSegment + 4096 + 1024; i < (segment + 1) * kSegment; ++i)
            peak = std::max(peak, std::fabs(first[0][i]));
        EXPECT_GT(peak, 0.02f) << "mode " << order[segment] << " is silent after its fade";
    }
}

}  // namespace
}  // namespace tolvane::plugin
