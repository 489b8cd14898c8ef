#include "effect/Kessrin_VinylExtensionAudioUnit.h"
#include "panel/AudioUnitViewController.h"
#include "tests/support/EffectHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

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

// VINYL's delay: its line read at 512 (511 samples back) plus the compressor's look-ahead, which
// is 1 ms of single-precision samples rounded up: 44.1 * 1.0000000475 -> 45, 48.000002 -> 49.
TEST(AudioUnitIdentityTest, LatencyIsVinylsDelayAtTheOutputRate) {
    EffectHost host;
    EXPECT_DOUBLE_EQ(host.unit->latency() * 44100, 556);
    ASSERT_TRUE(host.unit->outputBus->setFormat(format(48000, 2), nullptr));
    EXPECT_DOUBLE_EQ(host.unit->latency() * 48000, 560);
    ASSERT_TRUE(host.unit->outputBus->setFormat(format(768000, 2), nullptr));
    EXPECT_DOUBLE_EQ(host.unit->latency() * 768000, 511 + 511);  // the look-ahead's ring holds 511 at most
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

TEST(AudioUnitAllocationTest, LoadsEveryModesResourcesWhateverTheMode) {
    EffectHost host;
    host.set(ParameterAddress::effectMode, 3);
    ASSERT_TRUE(host.allocate());
    for (int64_t id : {0, 1, 2, 3, 5, 100}) EXPECT_TRUE(host.unit->isModelReady(id)) << id;
    EXPECT_TRUE(host.unit->crackleLoadDispatched.load());
}

TEST(AudioUnitAllocationTest, RatesTheEffectCannotHonourAreRefusedClearly) {
    for (double rate : {7999.0, 768001.0, 5.4e8, 1e9}) {
        EffectHost host({.sampleRate = rate});
        ASSERT_TRUE(host.setFormats());
        Error error;
        EXPECT_FALSE(host.unit->allocateRenderResources(&error)) << rate;
        EXPECT_FALSE(host.unit->renderResourcesAllocated());
        EXPECT_EQ(error.code, kAudioUnitErr_FormatNotSupported);
        EXPECT_NE(error.description().find("runs at 8000 to 768000 Hz"), std::string::npos) << error.description();
    }
}

// Both ends of the range render every mode, with sound and nothing but finite samples.
TEST(AudioUnitAllocationTest, EveryModePlaysAtTheLowestAndHighestRate) {
    for (double rate : {8000.0, 768000.0}) {
        for (int mode = 0; mode < 8; ++mode) {
            EffectHost host({.sampleRate = rate, .maxFrames = 1024, .bundle = Bundle(TOLVANE_RESOURCE_DIR)});
            host.set(ParameterAddress::effectMode, static_cast<AUValue>(mode));
            ASSERT_TRUE(host.allocate()) << rate;
            const std::size_t frames = 4096 + 4096;  // the start fade-in, then sound
            auto [L, R] = host.process(tolvane::test::noise(frames, 1), tolvane::test::noise(frames, 2), 1024);
            float peak = 0;
            for (std::size_t i = 0; i < frames; ++i) {
                ASSERT_TRUE(std::isfinite(L[i])) << "mode " << mode << " at " << rate;
                if (i >= 4096) peak = std::max(peak, std::fabs(L[i]));
            }
            EXPECT_GT(peak, 0.01f) << "mode " << mode << " at " << rate;
        }
    }
}

// The model-load queue's worker runs below the host's threads, so a load never preempts a render
// call of a host whose audio threads are not real-time.
TEST(AudioUnitLoadQueueTest, LoadsRunBelowTheCreatingThreadsPriority) {
    EffectHost host;
    int policy = -1;
    int nice = 0;
    host.unit->modelLoadQueue.sync([&] {
        sched_param param{};
        pthread_getschedparam(pthread_self(), &policy, &param);
        nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    });
    EXPECT_EQ(policy, SCHED_BATCH);
    EXPECT_GT(nice, getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())));
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
    ASSERT_NE(controller->currentPanel(), nullptr);
    EXPECT_EQ(controller->currentPanel()->audioUnit, host.unit);

    AudioUnitViewController empty(std::nullopt, std::nullopt);
    empty.loadViewIfNeeded();
    EXPECT_EQ(empty.viewSize(), (CGSize{672, 418}));
    EXPECT_EQ(empty.currentPanel(), nullptr);
}

}  // namespace
