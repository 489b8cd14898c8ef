// The effect as the installed plug-in bundles serve it: found in the build tree's LV2 folder
// through its component manifest, run by the bundle's extension executable.

#include "effect/Kessrin_VinylExtensionAudioUnit.h"
#include "effect/ParameterSpecs.h"
#include "platform/avfaudio/AVAudioUnit.h"
#include "tests/platform/remote/RemoteTestSupport.h"
#include "tests/support/AnyUnitHost.h"
#include "tests/support/Signals.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

namespace tolvane::test {
namespace {

using namespace std::chrono_literals;

AudioComponentDescription effectComponent() {
    return {fourCharCode("aufx"), fourCharCode("vnyl"), fourCharCode("MrLw"), 0, 0};
}

AVAudioUnitComponentManager builtBundles() { return AVAudioUnitComponentManager({TOLVANE_LV2_DIR}); }

std::shared_ptr<AUAudioUnit> launchEffect(const AVAudioUnitComponent& component,
                                         std::chrono::milliseconds unresponsive = remote::ConnectionTiming{}.unresponsive) {
    remote::RemoteAudioUnit::Options options;
    options.renderDeadline = 5s;  // sanitizer builds render slowly; a miss here would be a wrong sample
    options.timing.allocationWait = 60s;  // and allocate slowly; these tests are no UI thread
    options.timing.unresponsive = unresponsive;
    Error error;
    auto unit = remote::RemoteAudioUnit::launch(component.manifest(), kAudioComponentInstantiation_LoadOutOfProcess,
                                                options, &error);
    if (!unit) ADD_FAILURE() << error.description();
    return unit;
}

std::shared_ptr<AUAudioUnit> effectInThisProcess() {
    Error error;
    auto unit = makeAudioUnit(effectComponent(), 0, &error);
    unit->setResourceBundle(Bundle(TOLVANE_RESOURCE_DIR));
    return unit;
}

TEST(EffectOutOfProcessTest, BothBundlesCarryTheComponentStereoFirst) {
    const auto found = builtBundles().componentsMatchingDescription(effectComponent());
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].name(), "Tolvane");
    EXPECT_EQ(found[0].bundleURL().filename(), "tolvane.lv2");
    EXPECT_EQ(found[1].name(), "Tolvane Mono");
    EXPECT_EQ(found[1].bundleURL().filename(), "tolvane-mono.lv2");
    for (const auto& component : found) EXPECT_EQ(component.manufacturerName(), "MrLw");

    const auto mono = launchEffect(found[1]);
    ASSERT_TRUE(mono);
    EXPECT_EQ((*mono->inputBusses())[0].format().channelCount(), 1u);
    EXPECT_EQ((*mono->outputBusses())[0].format().channelCount(), 1u);
}

// Sample for sample what the same effect renders in this process, in a mode with models and one
// with sample beds, at both common rates, with every parameter travelling to the extension
// before allocation.
TEST(EffectOutOfProcessTest, RendersLikeTheEffectInThisProcess) {
    const auto component = builtBundles().componentsMatchingDescription(effectComponent()).at(0);
    const Planes input{sine(6000, 330, 44100, 0.4), noise(6000, 21, 0.3f)};
    for (const double rate : {44100.0, 48000.0}) {
        for (const AUValue mode : {0.0f, 5.0f}) {
            SCOPED_TRACE(testing::Message() << rate << " Hz, mode " << mode);
            const auto proxy = launchEffect(component);
            ASSERT_TRUE(proxy);
            EXPECT_EQ(describeTree(*proxy), describeTree(*effectInThisProcess()));
            AnyUnitHost remote(proxy), local(effectInThisProcess());
            for (auto* unit : {&remote.unit(), &local.unit()}) {
                auto tree = unit->parameterTree();
                tree->parameterWithAddress(ParameterAddress::effectMode)->setValue(mode);
                tree->parameterWithAddress(ParameterAddress::wowFlutter)->setValue(40);
                tree->parameterWithAddress(ParameterAddress::hissOn)->setValue(1);
            }
            ASSERT_TRUE(remote.allocate(rate, 2, 512));
            ASSERT_TRUE(local.allocate(rate, 2, 512));
            EXPECT_DOUBLE_EQ(proxy->latency(), local.unit().latency());  // the rate reached the effect there
            const std::vector<uint32_t> blocks{512, 128, 37};
            const Planes expected = local.renderAll(input, blocks);
            EXPECT_EQ(remote.renderAll(input, blocks), expected);
            float peak = 0;
            for (const float s : expected[0]) peak = std::max(peak, std::abs(s));
            EXPECT_GT(peak, 0.01f);  // the comparison is not one of two silences
        }
    }
}

TEST(EffectOutOfProcessTest, ParameterValuesAndContextNameReachTheEffect) {
    const auto component = builtBundles().componentsMatchingDescription(effectComponent()).at(0);
    const auto proxy = launchEffect(component);
    ASSERT_TRUE(proxy);
    proxy->setContextName("standalone");
    auto level = proxy->parameterTree()->parameterWithAddress(ParameterAddress::outputLevel);
    level->setValue(0);
    AnyUnitHost host(proxy);
    ASSERT_TRUE(host.allocate(48000, 2, 256));
    const Planes input{noise(4096, 1), noise(4096, 2)};
    // Output level 0 silences the effect there: the value arrived before the allocation.
    for (const auto& plane : host.renderAll(input, {256}))
        for (const float s : plane) ASSERT_EQ(s, 0.0f);
    EXPECT_EQ(proxy->contextName(), "standalone");
}

TEST(EffectOutOfProcessTest, KilledEffectIsInvalidatedAndRendersSilence) {
    InvalidationRecorder invalidations;
    const auto component = builtBundles().componentsMatchingDescription(effectComponent()).at(0);
    // Pings would notice the death only after the wait below, so only the process's end can.
    const auto proxy = launchEffect(component, 120s);
    ASSERT_TRUE(proxy);
    AnyUnitHost host(proxy);
    ASSERT_TRUE(host.allocate(44100, 2, 256));
    ASSERT_EQ(kill(std::static_pointer_cast<remote::RemoteAudioUnit>(proxy)->processIdentifier(), SIGKILL), 0);
    EXPECT_TRUE(invalidations.waitFor(proxy.get(), 30000ms));
    const Planes input{noise(256, 1), noise(256, 2)};
    Planes output;
    EXPECT_EQ(host.render(input, 0, 256, output), noErr);
    EXPECT_EQ(output, Planes(2, std::vector<float>(256, 0.0f)));
    proxy->parameterTree()->parameterWithAddress(ParameterAddress::hissOn)->setValue(1);
}

}  // namespace
}  // namespace tolvane::test
