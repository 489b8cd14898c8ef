#include "platform/audiotoolbox/remote/MessageSocket.h"
#include "platform/audiotoolbox/remote/RemoteAudioUnit.h"
#include "tests/platform/remote/GainTestUnit.h"
#include "tests/platform/remote/RemoteTestSupport.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/AnyUnitHost.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Signals.h"

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <fstream>
#include <future>
#include <limits>
#include <thread>

namespace tolvane::test {
namespace {

using namespace std::chrono_literals;
using remote::RemoteAudioUnit;

std::shared_ptr<RemoteAudioUnit> launchGain(const ComponentFolder& folder, RemoteAudioUnit::Options options = {}) {
    Error error;
    auto unit = RemoteAudioUnit::launch(folder.manifest(), kAudioComponentInstantiation_LoadOutOfProcess, options, &error);
    if (!unit) ADD_FAILURE() << error.description();
    return unit;
}

RemoteAudioUnit::Options withDeadline(std::chrono::nanoseconds deadline) {
    RemoteAudioUnit::Options options;
    options.renderDeadline = deadline;
    return options;
}

// Pings every `interval`; one unanswered for `unresponsive` means the extension stopped answering.
RemoteAudioUnit::Options withPings(std::chrono::milliseconds interval, std::chrono::milliseconds unresponsive) {
    RemoteAudioUnit::Options options;
    options.timing.pingInterval = interval;
    options.timing.unresponsive = unresponsive;
    return options;
}

Planes stereoNoise(std::size_t frames, unsigned seed) { return {noise(frames, seed), noise(frames, seed + 1)}; }

// Polls until `done` holds: values from the extension arrive on another thread.
template <class Done>
bool eventually(Done done, std::chrono::milliseconds limit = 30000ms) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Calls the render block `times` times on blocks of `frames` of constant input and returns the
// heap allocations and frees made meanwhile on this thread (the render thread's own work).
std::size_t heapTrafficOfRenders(const AUInternalRenderBlock& block, uint32_t frames, int times) {
    std::vector<float> left(frames, 0.25f), right(frames, -0.25f), outLeft(frames), outRight(frames);
    const AURenderPullInputBlock pull = [&](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount n,
                                            NSInteger, AudioBufferList* list) -> AUAudioUnitStatus {
        std::copy_n(left.data(), n, static_cast<float*>(list->mBuffers[0].mData));
        std::copy_n(right.data(), n, static_cast<float*>(list->mBuffers[1].mData));
        return noErr;
    };
    AudioBufferList list;
    list.mNumberBuffers = 2;
    AudioUnitRenderActionFlags flags = 0;
    AudioTimeStamp timestamp;
    AllocationCounter counter;
    for (int i = 0; i < times; ++i) {
        list.mBuffers[0] = {1, frames * 4, outLeft.data()};
        list.mBuffers[1] = {1, frames * 4, outRight.data()};
        block(&flags, &timestamp, frames, 0, &list, nullptr, &pull);
    }
    return counter.allocations() + counter.frees();
}

class RemoteAudioUnitTest : public ::testing::Test {
protected:
    ComponentFolder folder{TOLVANE_TEST_EXTENSION};
};

TEST_F(RemoteAudioUnitTest, MirrorsTheUnitsIdentityBusesAndWholeParameterTree) {
    const auto local = GainTestUnit::make();
    const auto proxy = launchGain(folder);
    ASSERT_TRUE(proxy);
    EXPECT_EQ(describeTree(*proxy), describeTree(*local));
    EXPECT_EQ(proxy->parameterTree()->children().size(), 4u);
    EXPECT_EQ(proxy->audioUnitName(), "Gain");
    EXPECT_EQ(proxy->audioUnitShortName(), "Gn");
    EXPECT_EQ(proxy->manufacturerName(), "Test");
    EXPECT_EQ(proxy->channelCapabilities(), (std::vector<int>{1, 1, 2, 2}));
    EXPECT_EQ(proxy->componentDescription(), gainDescription());
    EXPECT_EQ((*proxy->outputBusses())[0].format(), *AVAudioFormat::standardFormat(44100, 2));
    EXPECT_EQ((*proxy->inputBusses())[0].supportedChannelCounts(), (std::vector<uint32_t>{1, 2}));
    EXPECT_FALSE((*proxy->inputBusses())[0].setFormat(*AVAudioFormat::standardFormat(44100, 3), nullptr));
    EXPECT_GT(proxy->processIdentifier(), 0);
}

// The extension renders what the same unit renders here, sample for sample, with the real rate
// and frame limit: a block of the full frame limit renders, and the unit's latency (a number of
// frames at the output rate) comes back for the rate it was given.
TEST_F(RemoteAudioUnitTest, RendersLikeTheUnitInThisProcess) {
    for (const double rate : {44100.0, 48000.0}) {
        SCOPED_TRACE(rate);
        auto proxy = launchGain(folder, withDeadline(2s));
        ASSERT_TRUE(proxy);
        AnyUnitHost remote(proxy), local(GainTestUnit::make());
        // Values set through the tree travel as messages, in order with the allocation: set
        // before it, they are in force from the first sample.
        for (auto* unit : {&remote.unit(), &local.unit()}) unit->parameterTree()->parameterWithAddress(gain::kGain)->setValue(0.75f);
        ASSERT_TRUE(remote.allocate(rate, 2, 700));
        ASSERT_TRUE(local.allocate(rate, 2, 700));
        EXPECT_DOUBLE_EQ(proxy->latency(), gain::kLatencyFrames / rate);

        const Planes input = stereoNoise(5000, 7);
        const std::vector<uint32_t> blocks{64, 700, 1, 333};
        EXPECT_EQ(remote.renderAll(input, blocks), local.renderAll(input, blocks));
        EXPECT_EQ(proxy->missedDeadlines(), 0u);

        // A gain change carried in the block's event list lands on its sample.
        AURenderEvent change{};
        change.parameter.eventType = AURenderEventType::parameter;
        change.parameter.parameterAddress = gain::kGain;
        change.parameter.value = 2.0f;
        change.parameter.eventSampleTime = 100;
        Planes remoteOut, localOut;
        ASSERT_EQ(remote.render(input, 0, 256, remoteOut, &change), noErr);
        ASSERT_EQ(local.render(input, 0, 256, localOut, &change), noErr);
        EXPECT_EQ(remoteOut, localOut);
        EXPECT_FLOAT_EQ(remoteOut[0][99], 0.75f * input[0][99]);
        EXPECT_FLOAT_EQ(remoteOut[1][100], 2.0f * input[1][100]);
        EXPECT_EQ(remote.render(input, 0, 701, remoteOut), kAudioUnitErr_TooManyFramesToProcess);
        EXPECT_EQ(heapTrafficOfRenders(remote.block(), 700, 50), 0u);
    }
}

TEST_F(RemoteAudioUnitTest, MonoFormatsReachTheExtension) {
    auto proxy = launchGain(folder, withDeadline(2s));
    ASSERT_TRUE(proxy);
    AnyUnitHost remote(proxy);
    ASSERT_TRUE(remote.allocate(48000, 1, 256));
    const Planes input{noise(256, 3)};
    Planes output;
    ASSERT_EQ(remote.render(input, 0, 256, output), noErr);
    EXPECT_EQ(output, input);
}

// A value set here reaches the extension's observers (its unit answers on echoOut with the same
// event type); the answer reaches every observer here, the setter's too, while the setter does
// not hear its own write.
TEST_F(RemoteAudioUnitTest, ParameterValuesTravelBothWaysWithOriginatorAndEventType) {
    auto proxy = launchGain(folder);
    ASSERT_TRUE(proxy);
    auto tree = proxy->parameterTree();
    std::mutex mutex;
    std::vector<std::tuple<AUParameterAddress, AUValue, AUParameterAutomationEventType>> seenBySetter, seenByOther;
    const auto setter = tree->tokenByAddingParameterAutomationObserver(
        [&](AUParameterAddress a, AUValue v, AUParameterAutomationEventType t) {
            std::lock_guard lock(mutex);
            seenBySetter.emplace_back(a, v, t);
        });
    const auto other = tree->tokenByAddingParameterAutomationObserver(
        [&](AUParameterAddress a, AUValue v, AUParameterAutomationEventType t) {
            std::lock_guard lock(mutex);
            seenByOther.emplace_back(a, v, t);
        });

    tree->parameterWithAddress(gain::kEchoIn)->setValue(0.25f, setter, 0, AUParameterAutomationEventType::touch);
    // The answer's value is stored before its observers are called: wait for the observers.
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return !seenBySetter.empty() && seenByOther.size() >= 2;
    }));
    EXPECT_EQ(tree->parameterWithAddress(gain::kEchoOut)->value(), 0.5f);
    {
        std::lock_guard lock(mutex);
        using T = AUParameterAutomationEventType;
        EXPECT_EQ(seenBySetter, (decltype(seenBySetter){{gain::kEchoOut, 0.5f, T::touch}}));
        EXPECT_EQ(seenByOther, (decltype(seenByOther){{gain::kEchoIn, 0.25f, T::touch}, {gain::kEchoOut, 0.5f, T::touch}}));
    }
    // Values arrive in order: the last write wins on both sides.
    for (int i = 1; i <= 50; ++i) tree->parameterWithAddress(gain::kEchoIn)->setValue(i / 100.0f);
    ASSERT_TRUE(eventually([&] { return tree->parameterWithAddress(gain::kEchoOut)->value() == 1.0f; }));
    EXPECT_EQ(tree->parameterWithAddress(gain::kEchoIn)->value(), 0.5f);
    tree->removeParameterObserver(setter);
    tree->removeParameterObserver(other);
}

TEST_F(RemoteAudioUnitTest, ContextNameTravelsBothWays) {
    auto proxy = launchGain(folder);
    ASSERT_TRUE(proxy);
    auto length = proxy->parameterTree()->parameterWithAddress(gain::kContextLength);
    proxy->setContextName("standalone");
    ASSERT_TRUE(eventually([&] { return length->value() == 10.0f; }));  // the unit there saw it
    EXPECT_EQ(proxy->contextName(), "standalone");

    std::atomic<int> changes{0};
    proxy->observeContextName([&] { ++changes; });
    proxy->setContextName(std::string(gain::kRenameMe));
    ASSERT_TRUE(eventually([&] { return proxy->contextName() == std::string(gain::kRenamed); }));
    ASSERT_TRUE(eventually([&] { return length->value() == static_cast<AUValue>(std::string(gain::kRenamed).size()); }));
    // The name is stored before its observers are called: wait for them, then count.
    ASSERT_TRUE(eventually([&] { return changes.load() >= 2; }));
    EXPECT_EQ(changes.load(), 2);  // this side's set and the unit's own rename, nothing echoed back
}

TEST_F(RemoteAudioUnitTest, KilledExtensionInvalidatesTheUnitWhichThenStaysSilentAndHarmless) {
    InvalidationRecorder invalidations;
    // A deadline far longer than any render here: the silent renders below return long before it.
    RemoteAudioUnit::Options options = withDeadline(5s);
    // Pings would notice the death only after the wait below, so only the process's end can.
    options.timing.unresponsive = 120s;
    auto proxy = launchGain(folder, options);
    ASSERT_TRUE(proxy);
    AnyUnitHost host(proxy);
    ASSERT_TRUE(host.allocate(48000, 2, 512));
    const Planes input = stereoNoise(512, 11);
    Planes output;
    ASSERT_EQ(host.render(input, 0, 512, output), noErr);
    ASSERT_EQ(output, input);

    ASSERT_EQ(kill(proxy->processIdentifier(), SIGKILL), 0);
    EXPECT_TRUE(invalidations.waitFor(proxy.get(), 30000ms));
    EXPECT_TRUE(proxy->isInvalidated());

    EXPECT_EQ(heapTrafficOfRenders(host.block(), 512, 10), 0u);
    for (int i = 0; i < 20; ++i) {
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(host.render(input, 0, 512, output), noErr);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
        EXPECT_EQ(output, Planes(2, std::vector<float>(512, 0.0f)));
    }
    // Writes stay on this side; nothing raises SIGPIPE or waits.
    for (int i = 0; i < 100; ++i) proxy->parameterTree()->parameterWithAddress(gain::kGain)->setValue(i / 50.0f);
    proxy->setContextName("after the crash");
    std::promise<std::shared_ptr<AUViewController>> view;
    proxy->requestViewControllerWithCompletionHandler([&](std::shared_ptr<AUViewController> c) { view.set_value(std::move(c)); });
    EXPECT_EQ(view.get_future().get(), nullptr);
    proxy->deallocateRenderResources();
    Error error;
    EXPECT_FALSE(proxy->allocateRenderResources(&error));
    EXPECT_EQ(error.code, kAudioComponentErr_InstanceInvalidated);
    EXPECT_EQ(invalidations.count(), 1u);
}

// A host that ends without a word (it crashed, or was killed) leaves the extension a closed
// socket; the extension then ends on its own instead of sleeping for ever beside nobody.
TEST(ExtensionProcessTest, EndsOnItsOwnWhenItsHostIsGone) {
    int fds[2];
    ASSERT_TRUE(remote::MessageSocket::makePair(fds));
    constexpr int kServedFd = 3;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], kServedFd);
    std::string program = TOLVANE_TEST_EXTENSION;
    std::string flag = "--serve-fd";
    std::string fd = std::to_string(kServedFd);
    char* argv[] = {program.data(), flag.data(), fd.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);

    // Its welcome says it is serving; then the host goes.
    pollfd welcome{fds[0], POLLIN, 0};
    ASSERT_EQ(poll(&welcome, 1, 60'000), 1);
    close(fds[0]);

    int status = 0;
    bool ended = false;
    for (const auto until = std::chrono::steady_clock::now() + 60s; !ended && std::chrono::steady_clock::now() < until;) {
        ended = waitpid(pid, &status, WNOHANG) == pid;
        if (!ended) std::this_thread::sleep_for(10ms);
    }
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(ended) << "the extension still ran a minute after its host was gone";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

// The gain extension writes what it is given, so the input puts any sample into the shared
// memory. Non-finite or absurd samples silence their block; loud but sane ones pass.
TEST_F(RemoteAudioUnitTest, BlocksWithNonFiniteOrAbsurdSamplesFromTheExtensionAreSilenced) {
    auto proxy = launchGain(folder, withDeadline(5s));
    ASSERT_TRUE(proxy);
    AnyUnitHost host(proxy);
    ASSERT_TRUE(host.allocate(48000, 2, 256));
    const Planes silence(2, std::vector<float>(256, 0.0f));
    Planes output;
    for (const float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), 1e30f,
                            -65.0f}) {
        Planes input = stereoNoise(256, 3);
        input[1][100] = bad;
        ASSERT_EQ(host.render(input, 0, 256, output), noErr);
        EXPECT_EQ(output, silence) << bad;
    }
    EXPECT_EQ(proxy->refusedBlocks(), 4u);
    Planes loud(2, std::vector<float>(256, -64.0f));
    loud[0][7] = 50.0f;
    ASSERT_EQ(host.render(loud, 0, 256, output), noErr);
    EXPECT_EQ(output, loud);
    EXPECT_EQ(proxy->refusedBlocks(), 4u);
    EXPECT_EQ(proxy->missedDeadlines(), 0u);
}

TEST_F(RemoteAudioUnitTest, StoppedExtensionMissesDeadlinesWithSilenceAndRecoversWhenContinued) {
    auto proxy = launchGain(folder, withPings(250ms, 60s));
    ASSERT_TRUE(proxy);
    proxy->setRenderDeadline(20ms);
    AnyUnitHost host(proxy);
    ASSERT_TRUE(host.allocate(44100, 2, 256));
    const Planes input = stereoNoise(256, 5);
    const Planes silence(2, std::vector<float>(256, 0.0f));
    Planes output;

    ASSERT_TRUE(stopProcess(proxy->processIdentifier()));
    EXPECT_EQ(heapTrafficOfRenders(host.block(), 256, 3), 0u);  // a missed deadline, then two skipped requests
    for (int i = 0; i < 10; ++i) {
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(host.render(input, 0, 256, output), noErr);
        // The request made above is still unanswered: these do not wait at all.
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
        EXPECT_EQ(output, silence);
    }
    EXPECT_EQ(proxy->missedDeadlines(), 13u);
    EXPECT_FALSE(proxy->isInvalidated());

    ASSERT_EQ(kill(proxy->processIdentifier(), SIGCONT), 0);
    ASSERT_TRUE(eventually([&] {
        return host.render(input, 0, 256, output) == noErr && output == input;
    }));
}

TEST_F(RemoteAudioUnitTest, ExtensionThatStopsAnsweringIsInvalidated) {
    InvalidationRecorder invalidations;
    auto proxy = launchGain(folder, withPings(20ms, 200ms));
    ASSERT_TRUE(proxy);
    const pid_t pid = proxy->processIdentifier();
    ASSERT_TRUE(stopProcess(pid));
    EXPECT_TRUE(invalidations.waitFor(proxy.get(), 30000ms));
    EXPECT_TRUE(proxy->isInvalidated());
    // The stopped process was killed and reaped.
    EXPECT_TRUE(eventually([&] { return kill(pid, 0) != 0; }));
}

TEST_F(RemoteAudioUnitTest, ExtensionsThatFailToStartReportAnErrorAndInvalidateNothing) {
    InvalidationRecorder invalidations;
    TempFolder scripts;
    const auto quits = scripts.write("quits", "#!/bin/sh\nexit 3\n");
    const auto hangs = scripts.write("hangs", "#!/bin/sh\nexec sleep 30\n");
    std::filesystem::permissions(quits, std::filesystem::perms::owner_all);
    std::filesystem::permissions(hangs, std::filesystem::perms::owner_all);

    Error error;
    ComponentFolder quitting(quits);
    EXPECT_FALSE(RemoteAudioUnit::launch(quitting.manifest(), 1, {}, &error));
    EXPECT_EQ(error.code, kAudioComponentErr_InstanceInvalidated);
    EXPECT_NE(error.localizedDescription.find("exited with status 3"), std::string::npos) << error.description();

    ComponentFolder hanging(hangs);
    const auto start = std::chrono::steady_clock::now();
    RemoteAudioUnit::Options impatient;
    impatient.timing.handshake = 300ms;
    EXPECT_FALSE(RemoteAudioUnit::launch(hanging.manifest(), 1, impatient, &error));
    EXPECT_EQ(error.code, kAudioComponentErr_InstanceTimedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);  // the hung process was not waited for
    EXPECT_EQ(invalidations.count(), 0u);
}

TEST_F(RemoteAudioUnitTest, InstantiationFindsTheComponentThroughTheRegistry) {
    const auto registry = folder.registry();
    std::promise<std::pair<std::shared_ptr<AVAudioUnit>, std::optional<Error>>> found, missing;
    AVAudioUnit::instantiateWithComponentDescription(
        {fourCharCode("aufx"), 0, fourCharCode("Test"), 0, 0}, 0, registry, {},
        [&](std::shared_ptr<AVAudioUnit> unit, std::optional<Error> error) { found.set_value({unit, error}); });
    AVAudioUnit::instantiateWithComponentDescription(
        {fourCharCode("aufx"), fourCharCode("vnyl"), fourCharCode("MrLw"), 0, 0}, 1, registry, {},
        [&](std::shared_ptr<AVAudioUnit> unit, std::optional<Error> error) { missing.set_value({unit, error}); });

    const auto [unit, error] = found.get_future().get();
    ASSERT_TRUE(unit) << error->description();
    EXPECT_EQ(unit->auAudioUnit()->audioUnitName(), "Gain");
    const auto [none, why] = missing.get_future().get();
    EXPECT_FALSE(none);
    ASSERT_TRUE(why);
    EXPECT_EQ(why->code, kAudioComponentErr_ComponentNotFound);
    EXPECT_NE(why->localizedDescription.find("aufx vnyl MrLw"), std::string::npos);
}

// The view lives in the extension: the host gets a controller of the view's size, and the view
// is shown in (and taken out of) the window the host hands over.
TEST(RemoteViewTest, ViewIsShownInsideTheHostsWindowByTheExtension) {
    ComponentFolder folder(TOLVANE_TEST_EXTENSION_WITH_VIEW);
    auto proxy = launchGain(folder);
    ASSERT_TRUE(proxy);
    std::promise<std::shared_ptr<AUViewController>> requested;
    proxy->requestViewControllerWithCompletionHandler(
        [&](std::shared_ptr<AUViewController> c) { requested.set_value(std::move(c)); });
    auto controller = std::dynamic_pointer_cast<remote::RemoteViewController>(requested.get_future().get());
    ASSERT_TRUE(controller);
    controller->loadViewIfNeeded();
    EXPECT_EQ(controller->preferredContentSize(), (CGSize{300, 200}));

    auto embed = [&](uint64_t parent) {
        std::promise<std::pair<std::optional<uint64_t>, Error>> done;
        controller->embedInParentWindow(parent, [&](std::optional<uint64_t> window, Error error) {
            done.set_value({window, error});
        });
        return done.get_future().get();
    };
    EXPECT_EQ(embed(77).first, 1077u);
    EXPECT_TRUE(eventually([&] { return proxy->contextName() == "embedded in 77"; }));
    controller->removeFromParentWindow();
    EXPECT_TRUE(eventually([&] { return proxy->contextName() == "removed"; }));
    const auto [none, why] = embed(0);
    EXPECT_FALSE(none);
    EXPECT_EQ(why.localizedDescription, "no parent window");

    proxy.reset();  // the controller outlives the unit harmlessly
    EXPECT_FALSE(embed(5).first);
}

TEST_F(RemoteAudioUnitTest, UnitWithoutAViewThereAnswersWithNone) {
    auto proxy = launchGain(folder);
    ASSERT_TRUE(proxy);
    std::promise<std::shared_ptr<AUViewController>> view;
    proxy->requestViewControllerWithCompletionHandler([&](std::shared_ptr<AUViewController> c) { view.set_value(std::move(c)); });
    EXPECT_EQ(view.get_future().get(), nullptr);
    std::promise<Error> embedded;
    proxy->embedView(42, [&](std::optional<uint64_t> window, Error error) {
        EXPECT_FALSE(window);
        embedded.set_value(error);
    });
    EXPECT_FALSE(embedded.get_future().get().localizedDescription.empty());
}

}  // namespace
}  // namespace tolvane::test
