// The extension is another program: whatever it sends, the host goes on, and the unit either
// keeps working or fails the way a dead extension does.

#include "platform/audiotoolbox/remote/RemoteAudioUnit.h"
#include "tests/platform/remote/RemoteTestSupport.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace tolvane::test {
namespace {

using namespace std::chrono_literals;
using remote::RemoteAudioUnit;

const std::string kWelcome =
    R"({"op": "welcome", "protocol": 1, "name": "Scripted", "tree": [],
        "inputs": [{"format": {"rate": 48000, "channels": 2}}],
        "outputs": [{"format": {"rate": 48000, "channels": 2}}]})";

class MisbehavingExtensionTest : public ::testing::Test {
protected:
    // Launches the scripted extension sending `messages`, then answering requests with `reply`
    // except those whose op is in `ignored`, and those in `slow` late.
    std::shared_ptr<RemoteAudioUnit> launch(const std::vector<std::string>& messages, const std::string& reply,
                                            Error* error, RemoteAudioUnit::Options options = {},
                                            const std::vector<std::string>& ignored = {},
                                            const std::vector<std::string>& slow = {}) {
        AudioComponentManifest manifest = folder.manifest();
        for (const auto& message : messages) manifest.arguments.insert(manifest.arguments.end(), {"--send", message});
        if (!reply.empty()) manifest.arguments.insert(manifest.arguments.end(), {"--reply", reply});
        for (const auto& op : ignored) manifest.arguments.insert(manifest.arguments.end(), {"--ignore", op});
        for (const auto& op : slow) manifest.arguments.insert(manifest.arguments.end(), {"--slow", op});
        return RemoteAudioUnit::launch(manifest, kAudioComponentInstantiation_LoadOutOfProcess, options, error);
    }

    bool namesTheBundle(const Error& error) const {
        return error.localizedDescription.find(folder.bundle().string()) != std::string::npos;
    }

    std::shared_ptr<AUViewController> requestView(RemoteAudioUnit& unit) {
        std::promise<std::shared_ptr<AUViewController>> view;
        unit.requestViewControllerWithCompletionHandler([&](std::shared_ptr<AUViewController> c) { view.set_value(c); });
        auto answered = view.get_future();
        EXPECT_EQ(answered.wait_for(10s), std::future_status::ready) << "the view request was never answered";
        return answered.valid() && answered.wait_for(0s) == std::future_status::ready ? answered.get() : nullptr;
    }

    ComponentFolder folder{TOLVANE_SCRIPTED_EXTENSION};
    InvalidationRecorder invalidations;
};

TEST_F(MisbehavingExtensionTest, WelcomeWithFieldsOfTheWrongTypeFailsTheLaunch) {
    for (const auto& [key, wrong] : std::vector<std::pair<std::string, nlohmann::json>>{
             {"name", 5}, {"protocol", "one"}, {"latency", "long"}, {"channelCapabilities", "all"}}) {
        nlohmann::json welcome = nlohmann::json::parse(kWelcome);
        welcome[key] = wrong;
        Error error;
        EXPECT_FALSE(launch({welcome.dump()}, "", &error)) << key;
        EXPECT_EQ(error.code, kAudioComponentErr_InstanceInvalidated) << key;
    }
    EXPECT_EQ(invalidations.count(), 0u);
}

// The engine holds pointers into the buses, and the names are read without a lock: a later
// welcome must change neither.
TEST_F(MisbehavingExtensionTest, OnlyTheFirstWelcomeDescribesTheUnit) {
    const std::string other =
        R"({"op": "welcome", "protocol": 1, "name": "Other", "tree": [],
            "inputs": [{"format": {"rate": 44100, "channels": 1}}],
            "outputs": [{"format": {"rate": 44100, "channels": 1}}]})";
    // Messages are handled in order: once the context name arrives, so has the second welcome.
    const std::string marker = R"({"op": "context", "name": "after the second welcome"})";
    Error error;
    const auto unit = launch({kWelcome, other, marker}, "", &error);
    ASSERT_TRUE(unit) << error.description();
    AUAudioUnitBusArray* const outputs = unit->outputBusses();
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (unit->contextName() != "after the second welcome" && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(unit->contextName(), "after the second welcome");
    EXPECT_EQ(unit->audioUnitName(), "Scripted");
    EXPECT_EQ(unit->outputBusses(), outputs);
    EXPECT_EQ((*unit->outputBusses())[0].format(), *AVAudioFormat::standardFormat(48000, 2));
    EXPECT_FALSE(unit->isInvalidated());
}

// Replies of the right shape with values of the wrong types: each request fails on its own
// and the unit stays usable.
TEST_F(MisbehavingExtensionTest, RepliesWithValuesOfTheWrongTypeFailOnlyTheirRequest) {
    Error error;
    const auto unit = launch(
        {kWelcome}, R"({"op": "reply", "ok": "yes", "latency": "long", "available": 1, "width": "wide", "window": -1})",
        &error);
    ASSERT_TRUE(unit) << error.description();

    Error refused;
    EXPECT_FALSE(unit->allocateRenderResources(&refused));
    EXPECT_FALSE(unit->renderResourcesAllocated());
    EXPECT_NE(refused.code, 0);

    EXPECT_EQ(requestView(*unit), nullptr);
    std::promise<std::optional<uint64_t>> embedded;
    unit->embedView(7, [&](std::optional<uint64_t> window, Error) { embedded.set_value(window); });
    auto window = embedded.get_future();
    ASSERT_EQ(window.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(window.get());
    EXPECT_FALSE(unit->isInvalidated());
}

// A reply whose id is not a number cannot be matched to anything: the extension is cut off, and
// what waited for it is answered.
TEST_F(MisbehavingExtensionTest, UnreadableReplyEndsTheConnectionAndAnswersWhatWaited) {
    Error error;
    const auto unit = launch({kWelcome}, R"({"op": "reply", "id": "seven"})", &error);
    ASSERT_TRUE(unit) << error.description();
    EXPECT_EQ(requestView(*unit), nullptr);
    EXPECT_TRUE(invalidations.waitFor(unit.get(), 30000ms));
    EXPECT_TRUE(unit->isInvalidated());
    EXPECT_FALSE(unit->allocateRenderResources(&error));
    EXPECT_EQ(error.code, kAudioComponentErr_InstanceInvalidated);
}

// Numbers a field cannot hold used to wrap or convert out of range (maxFrames 1e30 became 0,
// channels 2^32 + 2 became 2); now they make the message malformed.
TEST_F(MisbehavingExtensionTest, NumbersOutOfRangeAreMalformed) {
    for (const auto& [key, wrong] : std::vector<std::pair<std::string, nlohmann::json>>{
             {"maxFrames", 1e30}, {"maxFrames", -1}, {"maxFrames", 2.5}, {"channelCapabilities", {1, 4294967298}}}) {
        nlohmann::json welcome = nlohmann::json::parse(kWelcome);
        welcome[key] = wrong;
        Error error;
        EXPECT_FALSE(launch({welcome.dump()}, "", &error)) << key << " " << wrong;
        EXPECT_EQ(error.code, kAudioComponentErr_InstanceInvalidated) << key;
        EXPECT_TRUE(namesTheBundle(error)) << error.description();
    }
    nlohmann::json wideBus = nlohmann::json::parse(kWelcome);
    wideBus["outputs"][0]["format"]["channels"] = 4294967298;
    Error error;
    EXPECT_FALSE(launch({wideBus.dump()}, "", &error));

    // After the welcome, a value no parameter can take ends the connection. Sent as the answer to
    // a request, so that it surely comes after the unit was handed out.
    const auto unit = launch({kWelcome}, R"({"op": "set", "address": 0, "value": 1e300})", &error);
    ASSERT_TRUE(unit) << error.description();
    EXPECT_EQ(requestView(*unit), nullptr);
    EXPECT_TRUE(invalidations.waitFor(unit.get(), 10000ms));
    EXPECT_EQ(invalidations.count(), 1u);
}

// Its main thread stuck in allocation, an extension still answers pings. The caller (the
// studio's main thread) waited for the whole request timeout, twice per Play, and the unit
// lived on. Now the caller waits a moment; the request stays open, and left unanswered it ends
// the connection as an unanswered ping does.
TEST_F(MisbehavingExtensionTest, AllocationKeepsTheCallerOnlyAMomentAndAnUnansweredOneEndsTheExtension) {
    RemoteAudioUnit::Options patient;
    patient.timing.response = 60s;  // the whole request timeout, which the caller no longer waits for
    Error error;
    const auto stuck = launch({kWelcome}, R"({"op": "reply", "ok": true})", &error, patient, {"allocate"});
    ASSERT_TRUE(stuck) << error.description();
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto start = std::chrono::steady_clock::now();
        Error refused;
        EXPECT_FALSE(stuck->allocateRenderResources(&refused));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);  // the wait is a second; generous here
        EXPECT_EQ(refused.code, kAudioComponentErr_InstanceTimedOut);
        EXPECT_NE(refused.localizedDescription.find("has not finished allocating"), std::string::npos) << refused.description();
        EXPECT_TRUE(namesTheBundle(refused)) << refused.description();
    }

    RemoteAudioUnit::Options quick;
    quick.timing.response = 1500ms;
    const auto hung = launch({kWelcome}, R"({"op": "reply", "ok": true})", &error, quick, {"allocate"});
    ASSERT_TRUE(hung) << error.description();
    const pid_t pid = hung->processIdentifier();
    EXPECT_FALSE(hung->allocateRenderResources(&error));
    EXPECT_TRUE(invalidations.waitFor(hung.get(), 10000ms));
    EXPECT_EQ(kill(pid, 0), -1);  // killed and reaped
    EXPECT_FALSE(hung->allocateRenderResources(&error));
    EXPECT_EQ(error.code, kAudioComponentErr_InstanceInvalidated);
    EXPECT_NE(error.localizedDescription.find("did not answer a request within 1500 ms"), std::string::npos)
        << error.description();
}

// An extension that allocates for longer than the caller waits is not lost for it: a later
// call with the same formats takes the answer of the request still open, where a new request
// would take as long again.
TEST_F(MisbehavingExtensionTest, SlowAllocationIsTakenOverByTheNextCall) {
    Error error;
    const auto unit = launch({kWelcome}, R"({"op": "reply", "ok": true})", &error, {}, {}, {"allocate"});
    ASSERT_TRUE(unit) << error.description();
    ASSERT_FALSE(unit->allocateRenderResources(&error));
    EXPECT_EQ(error.code, kAudioComponentErr_InstanceTimedOut);
    bool allocated = false;
    for (int attempt = 0; attempt < 20 && !allocated; ++attempt) allocated = unit->allocateRenderResources(&error);
    EXPECT_TRUE(allocated) << error.description();
    EXPECT_TRUE(unit->renderResourcesAllocated());
    EXPECT_FALSE(unit->isInvalidated());
}

// Formats or a block size that this side refuses before asking the extension: the failure
// named no bundle, where every other one does.
TEST_F(MisbehavingExtensionTest, AllocationRefusedHereNamesTheBundle) {
    Error error;
    const auto unit = launch({kWelcome}, R"({"op": "reply", "ok": true})", &error);
    ASSERT_TRUE(unit) << error.description();
    ASSERT_TRUE((*unit->inputBusses())[0].setFormat(*AVAudioFormat::standardFormat(44100, 2), &error));
    Error rates;
    EXPECT_FALSE(unit->allocateRenderResources(&rates));
    EXPECT_NE(rates.localizedDescription.find("different sample rates"), std::string::npos) << rates.description();
    EXPECT_TRUE(namesTheBundle(rates)) << rates.description();

    ASSERT_TRUE((*unit->inputBusses())[0].setFormat(*AVAudioFormat::standardFormat(48000, 2), &error));
    ASSERT_TRUE(unit->setMaximumFramesToRender(1u << 20));
    Error block;
    EXPECT_FALSE(unit->allocateRenderResources(&block));
    EXPECT_NE(block.localizedDescription.find("unsupported block size"), std::string::npos) << block.description();
    EXPECT_TRUE(namesTheBundle(block)) << block.description();
    EXPECT_FALSE(unit->isInvalidated());
}

// Copying or printing a tree recurses once per level: a welcome, reply or values message nested
// 200,000 deep overflowed the stack of the host's connection thread and took the whole host
// down. Now such a message is malformed on arrival, and only the unit is lost.
TEST_F(MisbehavingExtensionTest, MessagesNestedBeyondAnyTreeEndOnlyTheConnection) {
    nlohmann::json deepWelcome = nlohmann::json::parse(kWelcome);
    deepWelcome["tree"] = "DEEP";
    AudioComponentManifest manifest = folder.manifest();
    manifest.arguments = {"--deep", "200000", "--send", deepWelcome.dump()};
    Error error;
    EXPECT_FALSE(RemoteAudioUnit::launch(manifest, kAudioComponentInstantiation_LoadOutOfProcess, {}, &error));
    EXPECT_EQ(error.code, kAudioComponentErr_InstanceInvalidated);
    EXPECT_NE(error.localizedDescription.find("nested deeper than 64 levels"), std::string::npos) << error.description();
    EXPECT_TRUE(namesTheBundle(error)) << error.description();

    // After the welcome, as the answer to a request: a reply, and a values message.
    for (const std::string reply : {R"({"op": "reply", "available": "DEEP"})", R"({"op": "values", "values": "DEEP"})"}) {
        manifest.arguments = {"--deep", "200000", "--send", kWelcome, "--reply", reply};
        const auto unit = RemoteAudioUnit::launch(manifest, kAudioComponentInstantiation_LoadOutOfProcess, {}, &error);
        ASSERT_TRUE(unit) << error.description();
        EXPECT_EQ(requestView(*unit), nullptr) << reply;
        EXPECT_TRUE(invalidations.waitFor(unit.get(), 30000ms)) << reply;
        EXPECT_FALSE(unit->allocateRenderResources(&error));
        EXPECT_NE(error.localizedDescription.find("malformed message"), std::string::npos) << error.description();
    }
}

// Taking the view down waits a second for the extension's word; an extension busy for longer
// was killed for it, with a message quoting the ten seconds of the ordinary request timeout.
// Busy is not hung: it lives on, and its next answer still arrives.
TEST_F(MisbehavingExtensionTest, ViewTakenDownWhileTheExtensionIsBusyLeavesItRunning) {
    Error error;
    const auto unit = launch({kWelcome}, R"({"op": "reply", "ok": true, "window": 5})", &error, {}, {}, {"unembed"});
    ASSERT_TRUE(unit) << error.description();
    const pid_t pid = unit->processIdentifier();
    unit->removeView();  // answered after 1.5 s; the host stops waiting before

    std::promise<std::optional<uint64_t>> embedded;
    unit->embedView(7, [&](std::optional<uint64_t> window, Error) { embedded.set_value(window); });
    auto window = embedded.get_future();
    ASSERT_EQ(window.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(window.get(), std::optional<uint64_t>(5));
    EXPECT_FALSE(unit->isInvalidated());
    EXPECT_EQ(kill(pid, 0), 0);
    EXPECT_EQ(invalidations.count(), 0u);
}

// Each failure says what happened, and in which bundle.
TEST_F(MisbehavingExtensionTest, FailuresSayWhatHappened) {
    RemoteAudioUnit::Options impatient;
    impatient.timing.pingInterval = 20ms;
    impatient.timing.unresponsive = 200ms;
    Error error;
    EXPECT_FALSE(launch({}, "", &error, impatient, {"ping"}));  // neither a welcome nor a pong
    EXPECT_EQ(error.code, kAudioComponentErr_InstanceInvalidated);
    EXPECT_NE(error.localizedDescription.find("did not answer a ping within 200 ms"), std::string::npos)
        << error.description();
    EXPECT_TRUE(namesTheBundle(error)) << error.description();

    const auto unit = launch({kWelcome}, R"({"op": "reply", "id": "seven"})", &error);
    ASSERT_TRUE(unit) << error.description();
    EXPECT_FALSE(unit->allocateRenderResources(&error));
    EXPECT_EQ(error.code, kAudioComponentErr_InstanceInvalidated);
    EXPECT_NE(error.localizedDescription.find("malformed message"), std::string::npos) << error.description();
    EXPECT_TRUE(namesTheBundle(error)) << error.description();
}

}  // namespace
}  // namespace tolvane::test
