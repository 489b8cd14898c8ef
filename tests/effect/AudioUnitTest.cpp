#include "effect/Kessrin_VinylExtensionAudioUnit.h"
#include "panel/AudioUnitViewController.h"
#include "tests/support/EffectHost.h"

#include <gtest/gtest.h>

namespace {

using tolvane::test::EffectHost;

AVAudioFormat format(double rate, uint32_t channels) { return *AVAudioFormat::standardFormat(rate, channels); }

TEST(AudioUnitIdentityTest, NamesCapabilitiesAndBuses) {
    EffectHost host;
    auto& unit = *host.unit;
    EXPECT_EQ(unit.audioUnitName(), "Tolvane");
    EXPECT_EQ(unit.audioUnitShortName(), "Tolvane");
    EXPECT_EQ(unit.manufacturerName(), "MrLw");
    EXPECT_EQ(unit.channelCapabilities(), (std::vector<int>{1, 1, 2, 2}));
    ASSERT_EQ(unit.inputBusses()->count(), 1u);
    ASSERT_EQ(unit.outputBusses()->count(), 1u);
    for (AUAudioUnitBus* bus : {&(*unit.inputBusses())[0], &(*unit.outputBusses())[0]}) {
        EXPECT_EQ(bus->format().sampleRate(), 44100);
        EXPECT_EQ(bus->format().channelCount(), 2u);
        EXPECT_EQ(bus->supportedChannelCounts(), (std::vector<uint32_t>{1, 2}));
        EXPECT_EQ(bus->ownerAudioUnit(), &unit);
    }
}

TEST(AudioUnitIdentityTest, LatencyIs512SamplesAtTheOutputRate) {
    EffectHost host;
    EXPECT_NEAR(host.unit->latency(), 0.011610, 1e-6);
    ASSERT_TRUE(host.unit->outputBus->setFormat(format(48000, 2), nullptr));
    EXPECT_NEAR(host.unit->latency(), 0.010667, 1e-6);
    EXPECT_DOUBLE_EQ(host.unit->latency() * 48000, 512);
}

TEST(AudioUnitIdentityTest, FailedBaseInitialisationYieldsNoUnit) {
    Error error;
    EXPECT_EQ(makeAudioUnit({}, 0, &error), nullptr);
    EXPECT_EQ(error.code, kAudio_ParamError);
}

TEST(AudioUnitFormatTest, OneAndTwoChannelsAtAnyRateOnEitherBusFourRefused) {
    EffectHost host;
    for (auto* bus : {host.unit->inputBus.get(), host.unit->outputBus.get()}) {
        EXPECT_TRUE(bus->setFormat(format(22050, 1), nullptr));
        EXPECT_TRUE(bus->setFormat(format(192000, 2), nullptr));
        Error error;
        EXPECT_FALSE(bus->setFormat(format(48000, 4), &error));
        EXPECT_EQ(error.code, kAudioUnitErr_FormatNotSupported);
        EXPECT_EQ(bus->format().channelCount(), 2u);
    }
}

TEST(AudioUnitAllocationTest, TakesRateFramesAndChannelsAndSizesBuffers) {
    EffectHost host({.sampleRate = 48000, .inputChannels = 1, .outputChannels = 2, .maxFrames = 256});
    auto& unit = *host.unit;
    unit.renderState->delayLine.write(1);
    unit.renderState->currentDelay = 100;
    unit.renderState->lfoTime = 3;
    ASSERT_TRUE(host.allocate());
    EXPECT_EQ(unit.renderSampleRate, 48000);
    EXPECT_EQ(unit.maxFrames, 256u);
    for (auto* s : {unit.renderState.get(), unit.vinylRightState.get(), unit.loFiRightState.get(),
                    unit.filterRightState.get(), unit.pitchRightState.get(), unit.radioRightState.get()})
        EXPECT_EQ(s->inputChannelCount, 1);
    EXPECT_EQ(unit.isolatorRightState->inputChannelCount, 2);
    EXPECT_EQ(unit.renderState->delayLine.read(1), 0);
    EXPECT_EQ(unit.renderState->currentDelay, 512);
    EXPECT_EQ(unit.renderState->lfoTime, 0);
    for (auto* b : {&unit.renderState->namBlockA, &unit.renderState->namBlockB, &unit.renderState->vinylBlockBuf,
                    &unit.renderState->driveBlockBuf, &unit.vinylRightState->vinylBlockBuf,
                    &unit.loFiRightState->namBlockA, &unit.loFiRightState->namBlockB,
                    &unit.filterRightState->driveBlockBuf})
        EXPECT_EQ(b->size(), 256u);
    for (auto* s : {unit.renderState.get(), unit.pitchRightState.get()}) {
        EXPECT_EQ(s->pitchBuf.size(), 4096u);
        EXPECT_EQ(s->pitchDelayBuf.size(), 32768u);
        EXPECT_EQ(s->pitchReadPos, 2048.0);
    }
    // Modes without resources are simply marked ready.
    host.set(ParameterAddress::effectMode, 3);
    unit.deallocateRenderResources();
    ASSERT_TRUE(host.allocate());
    EXPECT_EQ(unit.currentEffectMode.load(), 3);
    EXPECT_TRUE(unit.isModelReady(3));
}

TEST(AudioUnitAllocationTest, ZeroMaximumFramesGivesEmptyBuffers) {
    EffectHost host({.maxFrames = 0});
    ASSERT_TRUE(host.allocate());
    EXPECT_TRUE(host.unit->renderState->namBlockA.empty());
    EXPECT_TRUE(host.unit->filterRightState->driveBlockBuf.empty());
}

TEST(AudioUnitAllocationTest, FailedBaseAllocationChangesNothing) {
    EffectHost host;
    auto& unit = *host.unit;
    ASSERT_TRUE(unit.inputBus->setFormat(format(48000, 2), nullptr));  // output stays at 44.1 kHz
    Error error;
    EXPECT_FALSE(unit.allocateRenderResources(&error));
    EXPECT_EQ(error.code, kAudioUnitErr_FormatNotSupported);
    EXPECT_EQ(unit.maxFrames, 0u);
    EXPECT_TRUE(unit.renderState->pitchBuf.empty());
    EXPECT_FALSE(unit.isModelReady(0));
}

TEST(AudioUnitAllocationTest, CrackleLoadIsAskedForOnlyInVinylWithCrackleUp) {
    EffectHost host;
    ASSERT_TRUE(host.allocate());
    EXPECT_FALSE(host.unit->crackleLoadDispatched.load());
    EXPECT_TRUE(host.unit->isModelReady(0));
    EXPECT_FALSE(host.unit->isModelReady(100));
    host.unit->deallocateRenderResources();
    host.set(ParameterAddress::crackle, 10);
    ASSERT_TRUE(host.allocate());
    EXPECT_TRUE(host.unit->crackleLoadDispatched.load());
    EXPECT_TRUE(host.unit->isModelReady(100));
}

TEST(AudioUnitAllocationTest, DeallocationEmptiesBuffersAndReadiness) {
    EffectHost host;
    ASSERT_TRUE(host.allocate());
    auto& unit = *host.unit;
    unit.crackleLoadDispatched = true;
    unit.deallocateRenderResources();
    EXPECT_FALSE(unit.renderResourcesAllocated());
    EXPECT_TRUE(unit.renderState->vinylBlockBuf.empty());
    EXPECT_FALSE(unit.isModelReady(0));
    EXPECT_FALSE(unit.crackleLoadDispatched.load());
    // Kept: pitch rings and delay lines.
    EXPECT_EQ(unit.renderState->pitchBuf.size(), 4096u);
}

TEST(AudioUnitViewTest, RequestedControllerArrivesOnTheMainQueueWithTheUnitAndSizesItsView) {
    EffectHost host;
    std::shared_ptr<AUViewController> received;
    host.unit->requestViewControllerWithCompletionHandler([&](std::shared_ptr<AUViewController> c) { received = std::move(c); });
    EXPECT_EQ(received, nullptr);
    MainQueue::drain();
    auto controller = std::dynamic_pointer_cast<AudioUnitViewController>(received);
    ASSERT_NE(controller, nullptr);
    EXPECT_EQ(controller->audioUnit, host.unit);
    EXPECT_FALSE(controller->nibName().has_value());
    controller->loadViewIfNeeded();
    EXPECT_EQ(controller->preferredContentSize(), (CGSize{672, 418}));
    EXPECT_EQ(controller->viewSize(), (CGSize{672, 418}));
    EXPECT_EQ(controller->panelUnit(), host.unit);

    AudioUnitViewController empty(std::nullopt, std::nullopt);
    empty.loadViewIfNeeded();
    EXPECT_EQ(empty.viewSize(), (CGSize{672, 418}));
    EXPECT_EQ(empty.panelUnit(), nullptr);
}

}  // namespace
