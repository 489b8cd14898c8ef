#include "studio/SimplePlayEngine.h"

#include "platform/coreaudiokit/AUGenericViewController.h"
#include "platform/dispatch/MainLoop.h"
#include "tests/platform/remote/GainTestUnit.h"
#include "tests/platform/remote/RemoteTestSupport.h"

#include <gtest/gtest.h>

#include <thread>

namespace tolvane::studio {
namespace {

using namespace std::chrono_literals;
using test::GainTestUnit;

std::string failureLine(int64_t attempt) {
    return "Tolvane: Failed to instantiate AU: " +
           Error{"Fake", -attempt, "attempt " + std::to_string(attempt)}.description();
}

AudioComponentDescription given() { return {fourCharCode("aufx").value(), fourCharCode("vnyl").value(), fourCharCode("MrLw").value(), 0, 0}; }
// What the registry lists for it: the same codes with a flag, so the two are told apart.
AudioComponentDescription listed() { return {given().componentType, given().componentSubType, given().componentManufacturer, 1, 0}; }

// A unit that offers the given controller (or none) as its own view.
class ViewUnit : public GainTestUnit {
public:
    std::shared_ptr<AUViewController> own;
    void requestViewControllerWithCompletionHandler(std::function<void(std::shared_ptr<AUViewController>)> completion) override {
        completion(own);
    }
};

std::shared_ptr<ViewUnit> makeViewUnit() {
    auto unit = std::make_shared<ViewUnit>();
    unit->initWithComponentDescription(test::gainDescription(), 0, nullptr);
    return unit;
}

// Records each instantiation attempt with the virtual time it was made at, and answers as told.
class FakeComponents : public ComponentSystem {
public:
    struct Attempt {
        AudioComponentDescription description;
        AudioComponentInstantiationOptions options;
        std::chrono::nanoseconds at;
    };

    explicit FakeComponents(ManualMainExecutor& main) : main_(main) {}

    std::vector<AudioComponentDescription> componentsMatchingDescription(const AudioComponentDescription&) override {
        return registered;
    }
    void instantiate(const AudioComponentDescription& description, AudioComponentInstantiationOptions options,
                     AVAudioUnit::Completion completion) override {
        attempts.push_back({description, options, main_.now()});
        if (succeeds && succeeds(attempts.back())) {
            unit = makeViewUnit();
            unit->own = ownView;
            completion(std::make_shared<AVAudioUnit>(unit), std::nullopt);
        } else {
            completion(nullptr, Error{"Fake", -static_cast<int64_t>(attempts.size()), "attempt " + std::to_string(attempts.size())});
        }
    }

    std::vector<AudioComponentDescription> registered;
    std::function<bool(const Attempt&)> succeeds;
    std::vector<Attempt> attempts;
    std::shared_ptr<ViewUnit> unit;
    std::shared_ptr<AUViewController> ownView;  // what the units made here offer as their view

private:
    ManualMainExecutor& main_;
};

class SimplePlayEngineTest : public ::testing::Test {
protected:
    ManualMainExecutor main;
    std::shared_ptr<FakeComponents> components = std::make_shared<FakeComponents>(main);
    std::shared_ptr<SimplePlayEngine> engine =
        std::make_shared<SimplePlayEngine>(main, components, Bundle(TOLVANE_STUDIO_RESOURCE_DIR));

    struct Load {
        bool done = false;
        std::shared_ptr<AUViewController> controller;
    };
    // Loads and runs the virtual clock until the load completes.
    Load load() {
        Load result;
        engine->loadAudioUnit("aufx", "vnyl", "MrLw", [&](std::shared_ptr<AUViewController> c) {
            result.done = true;
            result.controller = std::move(c);
        });
        main.runUntilWithTimers([&] { return result.done; }, 0ms);
        return result;
    }
};

TEST(FourCharCodeTest, OnlyFourOneByteCharacters) {
    EXPECT_EQ(fourCharCode("aufx"), 0x61756678u);
    EXPECT_EQ(fourCharCode("MrLw"), 0x4D724C77u);
    EXPECT_EQ(fourCharCode("auf"), std::nullopt);
    EXPECT_EQ(fourCharCode("aufxx"), std::nullopt);
    EXPECT_EQ(fourCharCode("auf\xC3\xA9"), std::nullopt);  // "aufé": four characters, five bytes
    EXPECT_EQ(fourCharCode("au\xC3\xA9"), std::nullopt);   // "aué": three characters, four bytes
}

TEST_F(SimplePlayEngineTest, OpensTheTestFileAndStartsWithNoUnit) {
    ASSERT_TRUE(engine->file());
    EXPECT_GT(engine->file()->length(), 0);
    EXPECT_FALSE(engine->avAudioUnit());
    EXPECT_FALSE(engine->lastLoadErrorMessage());
    EXPECT_FALSE(engine->isPlaying());
    EXPECT_FALSE(engine->useLiveInput());
    EXPECT_EQ(engine->midiOutBlock()(0, 0, 0, nullptr), 0);
}

TEST_F(SimplePlayEngineTest, RegisteredComponentIsRetriedWithTheRegistrysDescriptionInTheSamePass) {
    components->registered = {listed()};
    components->succeeds = [](const FakeComponents::Attempt& a) { return a.description == listed(); };
    components->ownView = std::make_shared<AUViewController>();
    const Load result = load();

    ASSERT_EQ(components->attempts.size(), 2u);
    EXPECT_EQ(components->attempts[0].description, given());
    EXPECT_EQ(components->attempts[1].description, listed());
    for (const auto& a : components->attempts) {
        EXPECT_EQ(a.options, kAudioComponentInstantiation_LoadOutOfProcess);
        EXPECT_EQ(a.at, 0ns);
    }
    ASSERT_TRUE(engine->avAudioUnit());
    EXPECT_EQ(engine->avAudioUnit()->auAudioUnit(), components->unit);
    EXPECT_EQ(components->unit->contextName(), "standalone");
    EXPECT_FALSE(engine->lastLoadErrorMessage());
    EXPECT_EQ(result.controller, components->ownView);  // the unit's own view, not the generic one
}

TEST_F(SimplePlayEngineTest, UnregisteredComponentGetsFourPassesAndReportsTheLastError) {
    testing::internal::CaptureStdout();
    const Load result = load();
    const std::string console = testing::internal::GetCapturedStdout();

    ASSERT_EQ(components->attempts.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(components->attempts[i].description, given());
        EXPECT_EQ(components->attempts[i].options, kAudioComponentInstantiation_LoadOutOfProcess);
        EXPECT_EQ(components->attempts[i].at, std::chrono::milliseconds(500 * i));  // three pauses of half a second
    }
    const std::string expected = failureLine(4);
    EXPECT_EQ(engine->lastLoadErrorMessage(), expected);
    EXPECT_EQ(console, expected + "\n");
    EXPECT_TRUE(result.done);
    EXPECT_FALSE(result.controller);
    EXPECT_FALSE(engine->avAudioUnit());
}

TEST_F(SimplePlayEngineTest, LastPassFallsBackToDefaultOptions) {
    components->registered = {listed()};
    components->succeeds = [](const FakeComponents::Attempt& a) { return a.options == 0; };
    const Load result = load();

    ASSERT_EQ(components->attempts.size(), 9u);  // four passes of two attempts, then the default one
    const auto& last = components->attempts.back();
    EXPECT_EQ(last.description, listed());
    EXPECT_EQ(last.options, 0u);
    EXPECT_EQ(last.at, 1500ms);
    ASSERT_TRUE(engine->avAudioUnit());
    EXPECT_EQ(components->unit->contextName(), "standalone");
    EXPECT_TRUE(result.controller);

    // When that attempt fails too, its error is the one reported.
    auto failing = std::make_shared<SimplePlayEngine>(main, components, Bundle(TOLVANE_STUDIO_RESOURCE_DIR));
    components->attempts.clear();
    components->succeeds = nullptr;
    bool done = false;
    testing::internal::CaptureStdout();
    failing->loadAudioUnit("aufx", "vnyl", "MrLw", [&](std::shared_ptr<AUViewController>) { done = true; });
    main.runUntilWithTimers([&] { return done; }, 0ms);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(failing->lastLoadErrorMessage(), failureLine(9));
}

TEST_F(SimplePlayEngineTest, EachLoadClearsTheLastErrorFirst) {
    testing::internal::CaptureStdout();
    load();
    ASSERT_TRUE(engine->lastLoadErrorMessage());
    components->attempts.clear();
    bool done = false;
    engine->loadAudioUnit("aufx", "vnyl", "MrLw", [&](std::shared_ptr<AUViewController>) { done = true; });
    EXPECT_FALSE(engine->lastLoadErrorMessage());  // cleared before the first attempt completes
    main.runUntilWithTimers([&] { return done; }, 0ms);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(engine->lastLoadErrorMessage(), failureLine(4));
}

TEST_F(SimplePlayEngineTest, UnitWithoutAViewGetsTheGenericViewBoundToIt) {
    components->succeeds = [](const FakeComponents::Attempt&) { return true; };
    const Load result = load();
    auto generic = std::dynamic_pointer_cast<AUGenericViewController>(result.controller);
    ASSERT_TRUE(generic);
    EXPECT_EQ(generic->auAudioUnit(), components->unit);
}

TEST_F(SimplePlayEngineTest, EngineGoneMidLoadCompletesNothing) {
    bool called = false;
    engine->loadAudioUnit("aufx", "vnyl", "MrLw", [&](std::shared_ptr<AUViewController>) { called = true; });
    engine.reset();
    main.runUntilWithTimers([] { return false; }, 0ms);
    EXPECT_FALSE(called);
}

using SimplePlayEngineDeathTest = SimplePlayEngineTest;

TEST(SimplePlayEngineDeathTest, MissingTestFileStopsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Folders made by the build: a scratch folder made here would be made again in each child,
    // which dies before removing it.
    ManualMainExecutor main;
    EXPECT_DEATH(SimplePlayEngine(main, std::make_shared<PlatformComponentSystem>(), Bundle(TOLVANE_EMPTY_BUNDLE_DIR)),
                 "\"Synth.aif\" could not be opened.");
    EXPECT_DEATH(SimplePlayEngine(main, std::make_shared<PlatformComponentSystem>(), Bundle(TOLVANE_NOT_AUDIO_BUNDLE_DIR)),
                 "\"Synth.aif\" could not be opened.");
}

// The whole way, on the application's real main loop: the registry in a plug-in folder, the
// extension process, "standalone" arriving in the unit there, and the generic view for a unit
// without one of its own.
TEST(SimplePlayEngineOutOfProcessTest, LoadsTheInstalledComponent) {
    test::ComponentFolder folder(TOLVANE_TEST_EXTENSION);
    MainLoop main;
    auto engine = std::make_shared<SimplePlayEngine>(main, std::make_shared<PlatformComponentSystem>(folder.registry()),
                                                     Bundle(TOLVANE_STUDIO_RESOURCE_DIR));
    std::shared_ptr<AUViewController> controller;
    engine->loadAudioUnit("aufx", "gain", "Test", [&](std::shared_ptr<AUViewController> c) { controller = std::move(c); });
    ASSERT_TRUE(main.runUntil([&] { return controller != nullptr; }, 20s));
    const auto unit = engine->avAudioUnit()->auAudioUnit();
    EXPECT_TRUE(std::dynamic_pointer_cast<remote::RemoteAudioUnit>(unit));
    const auto length = unit->parameterTree()->parameterWithAddress(test::gain::kContextLength);
    // The value comes back on the connection's thread, not through the loop: polled.
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (length->value() != 10.0f && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(length->value(), 10.0f);
    auto generic = std::dynamic_pointer_cast<AUGenericViewController>(controller);
    ASSERT_TRUE(generic);
    EXPECT_EQ(generic->rows().size(), 5u);
}

// An effect whose extension is stuck in allocation (it still answers pings) froze the window
// for the whole request timeout, twice per Play, and was never marked crashed. Now the main
// loop keeps turning while Play waits for it, and the extension counts as hung once the request
// has gone unanswered.
TEST(SimplePlayEngineOutOfProcessTest, PlayKeepsTheMainLoopTurningWhileTheExtensionIsStuckInAllocation) {
    const std::string welcome =
        R"({"op": "welcome", "protocol": 1, "name": "Stuck", "tree": [],
            "inputs": [{"format": {"rate": 44100, "channels": 2}}], "outputs": [{"format": {"rate": 44100, "channels": 2}}]})";
    test::ComponentFolder folder(TOLVANE_SCRIPTED_EXTENSION, "gain", "Test",
                                 {"--send", welcome, "--reply", R"({"op": "reply", "ok": true})", "--ignore", "allocate"});
    test::InvalidationRecorder invalidations;
    MainLoop main;
    auto engine = std::make_shared<SimplePlayEngine>(main, std::make_shared<PlatformComponentSystem>(folder.registry()),
                                                     Bundle(TOLVANE_STUDIO_RESOURCE_DIR));
    bool loaded = false;
    engine->loadAudioUnit("aufx", "gain", "Test", [&](std::shared_ptr<AUViewController>) { loaded = true; });
    ASSERT_TRUE(main.runUntil([&] { return loaded; }, 20s));
    ASSERT_TRUE(engine->avAudioUnit());

    // A tick every 20 ms on the loop; the longest gap between two is how long the window froze.
    auto last = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration longestGap{};
    std::function<void()> tick = [&] {
        const auto now = std::chrono::steady_clock::now();
        longestGap = std::max(longestGap, now - last);
        last = now;
        main.postAfter(20ms, tick);
    };
    main.post(tick);
    main.post([&] { engine->startPlaying(); });
    const auto unit = engine->avAudioUnit()->auAudioUnit();
    EXPECT_TRUE(main.runUntil([&] { return invalidations.count() > 0; }, 60s));
    EXPECT_FALSE(engine->isPlaying());
    EXPECT_LT(longestGap, 5s);  // about a second at most; the request timeout alone is 10 s
    testing::internal::CaptureStdout();
    main.runUntil([] { return false; }, 300ms);  // the retry after the invalidation gives up
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(engine->isPlaying());
}

// The studio with an effect whose extension answers an allocation only when the host next sends
// it a context name, and tells of each deallocation it gets through the context name.
class HeldAllocationTest : public testing::Test {
protected:
    void SetUp() override {
        // A caller that waits for the allocation waits longer than the checks below allow.
        remote::RemoteAudioUnit::Options waiting;
        waiting.timing.allocationWait = 60s;
        waiting.timing.response = 120s;
        engine = std::make_shared<SimplePlayEngine>(main, std::make_shared<PlatformComponentSystem>(folder.registry(), waiting),
                                                    Bundle(TOLVANE_STUDIO_RESOURCE_DIR));
        bool loaded = false;
        engine->loadAudioUnit("aufx", "gain", "Test", [&](std::shared_ptr<AUViewController>) { loaded = true; });
        ASSERT_TRUE(main.runUntil([&] { return loaded; }, 20s));
        ASSERT_TRUE(engine->avAudioUnit());
        unit = engine->avAudioUnit()->auAudioUnit();
    }

    // Lets the extension answer the allocation it holds.
    void release() { unit->setContextName("answer now"); }

    const std::string welcome =
        R"({"op": "welcome", "protocol": 1, "name": "Held", "tree": [],
            "inputs": [{"format": {"rate": 44100, "channels": 2}}], "outputs": [{"format": {"rate": 44100, "channels": 2}}]})";
    test::ComponentFolder folder{TOLVANE_SCRIPTED_EXTENSION, "gain", "Test",
                                 {"--send", welcome, "--reply", R"({"op": "reply", "ok": true})", "--hold", "allocate",
                                  "--echo", "deallocate"}};
    MainLoop main;
    std::shared_ptr<SimplePlayEngine> engine;
    std::shared_ptr<AUAudioUnit> unit;
};

// Play waited on the main loop for the allocation (a second per try by default), so nothing
// else ran there meanwhile. Now the loop goes on at once, and Play completes from the loop when
// the answer comes; here the answer can only come after work posted behind Play has run.
TEST_F(HeldAllocationTest, WorkPostedBehindPlayRunsWhileTheEffectAllocates) {
    bool ranWhileAllocating = false;
    main.post([&] { engine->startPlaying(); });
    main.post([&] {
        ranWhileAllocating = !engine->isPlaying() && !unit->renderResourcesAllocated();
        release();
    });
    EXPECT_TRUE(main.runUntil([&] { return engine->isPlaying(); }, 30s));
    EXPECT_TRUE(ranWhileAllocating);
    EXPECT_TRUE(unit->renderResourcesAllocated());
    engine->stopPlaying();
}

// Stop pressed while the effect allocates: the answer that comes later is for no start, and the
// extension is told to let go of what it allocated instead of holding it for nothing.
TEST_F(HeldAllocationTest, AnswerAfterStopDeallocatesTheExtension) {
    // The name arrives on the connection's thread: the loop is woken to look.
    const auto token = unit->observeContextName([&] { main.post([] {}); });
    main.post([&] { engine->startPlaying(); });
    main.post([&] {
        engine->stopPlaying();
        release();
    });
    EXPECT_TRUE(main.runUntil([&] { return unit->contextName() == "got deallocate"; }, 30s)) << unit->contextName().value_or("");
    EXPECT_FALSE(engine->isPlaying());
    EXPECT_FALSE(unit->renderResourcesAllocated());
    unit->removeContextNameObserver(token);
}

}  // namespace
}  // namespace tolvane::studio
