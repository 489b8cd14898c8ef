#include "platform/foundation/DarwinNotifyCenter.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tolvane::test::ChildProcess;

namespace {

// Records the names delivered to it, in order, and lets the test wait for one.
class Recorder {
public:
    static void callback(DarwinNotifyCenter*, void* observer, std::string_view name, const void* object,
                         const void* userInfo) {
        auto& self = *static_cast<Recorder*>(observer);
        std::lock_guard lock(self.mutex_);
        self.names_.emplace_back(name);
        self.payloadSeen_ = self.payloadSeen_ || object != nullptr || userInfo != nullptr;
        self.changed_.notify_all();
    }

    bool waitFor(const std::string& name) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 30s, [&] { return std::find(names_.begin(), names_.end(), name) != names_.end(); });
    }

    std::vector<std::string> names() const {
        std::lock_guard lock(mutex_);
        return names_;
    }
    bool payloadSeen() const {
        std::lock_guard lock(mutex_);
        return payloadSeen_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> names_;
    bool payloadSeen_ = false;
};

std::vector<std::string> socketFiles(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.is_socket()) names.push_back(entry.path().filename().string());
    }
    return names;
}

// The lines a peer prints up to and including `last`.
std::vector<std::string> linesUntil(ChildProcess& peer, const std::string& last) {
    std::vector<std::string> lines;
    while (const std::optional<std::string> line = peer.readLine()) {
        lines.push_back(*line);
        if (*line == last) break;
    }
    return lines;
}

class DarwinNotifyCenterTest : public testing::Test {
protected:
    ChildProcess startObserver(std::vector<std::string> names) {
        std::vector<std::string> arguments{TOLVANE_NOTIFY_PEER, "observe", folder.string()};
        arguments.insert(arguments.end(), names.begin(), names.end());
        return ChildProcess(arguments);
    }
    ChildProcess startPoster(int rounds, std::vector<std::string> names) {
        std::vector<std::string> arguments{TOLVANE_NOTIFY_PEER, "post", folder.string(), std::to_string(rounds)};
        arguments.insert(arguments.end(), names.begin(), names.end());
        return ChildProcess(arguments);
    }

    tolvane::test::TempFolder scratch;
    const fs::path folder = scratch.path() / "notify";
};

TEST_F(DarwinNotifyCenterTest, EachProcessGetsEachObservedNameOnceAndNothingElse) {
    DarwinNotifyCenter center(folder);
    Recorder recorder;
    for (const char* name : {"com.example.a", "com.example.b", "end"}) {
        ASSERT_TRUE(center.addObserver(&recorder, Recorder::callback, name));
    }
    // Registering again replaces, it does not double the delivery.
    ASSERT_TRUE(center.addObserver(&recorder, Recorder::callback, "com.example.a"));
    ChildProcess peer = startObserver({"com.example.a", "com.example.c", "end"});
    ASSERT_EQ(peer.readLine(), "ready");

    for (const char* name : {"com.example.a", "com.example.b", "com.example.c", "com.example.d", "end"}) {
        ASSERT_TRUE(center.post(name));
    }
    // Names from one poster arrive in order, so everything before "end" has arrived with it.
    EXPECT_EQ(linesUntil(peer, "end"), (std::vector<std::string>{"com.example.a", "com.example.c", "end"}));
    ASSERT_TRUE(recorder.waitFor("end"));
    EXPECT_EQ(recorder.names(), (std::vector<std::string>{"com.example.a", "com.example.b", "end"}));

    // And the other way: a process that only posts reaches this one and the observing peer.
    ASSERT_TRUE(center.addObserver(&recorder, Recorder::callback, "done"));
    ChildProcess poster = startPoster(1, {"com.example.b", "done"});
    ASSERT_EQ(poster.readLine(), "posted");
    ASSERT_TRUE(recorder.waitFor("done"));
    EXPECT_EQ(recorder.names(), (std::vector<std::string>{"com.example.a", "com.example.b", "end", "com.example.b", "done"}));
    EXPECT_FALSE(recorder.payloadSeen());
    EXPECT_EQ(poster.wait(), 0);
    // A poster never binds a socket of its own: only the two observers are in the folder.
    EXPECT_EQ(socketFiles(folder).size(), 2u);
}

TEST_F(DarwinNotifyCenterTest, PostingRemovesTheSocketsOfProcessesThatDied) {
    DarwinNotifyCenter center(folder);
    Recorder recorder;
    ASSERT_TRUE(center.addObserver(&recorder, Recorder::callback, "ping"));
    const std::vector<std::string> ownSocket = socketFiles(folder);
    ASSERT_EQ(ownSocket.size(), 1u);
    // Not sockets, or not named like ours: a post leaves them alone.
    scratch.write("notify/notes.sock", "x");
    scratch.write("notify/readme", "x");

    ChildProcess peer = startObserver({"ping"});
    ASSERT_EQ(peer.readLine(), "ready");
    ASSERT_EQ(socketFiles(folder).size(), 2u);
    peer.killNow();  // no chance to unbind: its socket file stays behind
    ASSERT_EQ(socketFiles(folder).size(), 2u);

    ASSERT_TRUE(center.post("ping"));
    EXPECT_EQ(socketFiles(folder), ownSocket);
    EXPECT_TRUE(fs::exists(folder / "notes.sock"));
    EXPECT_TRUE(fs::exists(folder / "readme"));
    ASSERT_TRUE(recorder.waitFor("ping"));

    // A peer that ends normally takes its socket with it.
    {
        ChildProcess tidy = startObserver({"ping"});
        ASSERT_EQ(tidy.readLine(), "ready");
        tidy.closeInput();
        EXPECT_EQ(tidy.wait(), 0);
    }
    EXPECT_EQ(socketFiles(folder), ownSocket);
}

// Sends `name` to the socket at `path` until its queue refuses one, from a fresh socket each
// time as a post does (so no sender's buffer runs out first); the number the queue took, or -1.
// How many names a queue holds is a kernel setting (10 here, 512 under systemd), so it is counted.
int fillQueue(const fs::path& path, std::string_view name) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string& text = path.native();
    if (text.size() >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    constexpr int kLimit = 1 << 16;
    for (int sent = 0; sent < kLimit;) {
        const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        const ssize_t n = sendto(fd, name.data(), name.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                 reinterpret_cast<const sockaddr*>(&address), sizeof address);
        const int error = errno;
        close(fd);
        if (n >= 0) {
            ++sent;
        } else if (error == EAGAIN || error == EWOULDBLOCK) {
            return sent;
        } else if (error != EINTR) {
            return -1;
        }
    }
    return -1;
}

// A stopped observer reads nothing, so its queue fills; posting must still not wait for it (the
// panel posts from its UI thread), every name posted to the full queue is missed, and once it
// runs again it gets what is posted then. Before, each post waited half a second for the queue.
TEST_F(DarwinNotifyCenterTest, StoppedObserverNeverHoldsPostsUp) {
    DarwinNotifyCenter center(folder);
    ChildProcess peer = startObserver({"tick", "after"});
    ASSERT_EQ(peer.readLine(), "ready");
    const std::vector<std::string> sockets = socketFiles(folder);
    ASSERT_EQ(sockets.size(), 1u);
    ASSERT_TRUE(tolvane::test::stopProcess(peer.pid()));
    const int queued = fillQueue(folder / sockets[0], "tick");
    ASSERT_GT(queued, 0) << "the observer's queue never filled";

    constexpr int kPosts = 100;
    const auto start = std::chrono::steady_clock::now();
    int refused = 0;
    testing::internal::CaptureStderr();
    for (int i = 0; i < kPosts; ++i) refused += center.post("tick") ? 0 : 1;
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(refused, 0);
    // Generous for a busy machine; waiting for the full queue took 45 s here.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    // One line says the receiver misses names, not one per post.
    EXPECT_EQ(std::ranges::count(log, '\n'), 1) << log;
    EXPECT_NE(log.find(sockets[0] + " is not reading"), std::string::npos) << log;

    // Running again, it drains its queue; a name posted once there is room arrives.
    ASSERT_EQ(kill(peer.pid(), SIGCONT), 0);
    int ticks = 0;
    bool arrived = false;
    for (const auto until = std::chrono::steady_clock::now() + 30s; !arrived && std::chrono::steady_clock::now() < until;) {
        ASSERT_TRUE(center.post("after"));
        while (const std::optional<std::string> line = peer.readLine(200ms)) {
            if (*line == "after") {
                arrived = true;
                break;
            }
            ++ticks;
        }
    }
    EXPECT_TRUE(arrived);
    EXPECT_EQ(ticks, queued);  // what the queue held, and none of the posts made while it was full
}

// An observer made, registered, removed and freed over and over while another process posts
// its name as fast as it can: no callback may reach an observer once its removal has returned
// (under AddressSanitizer a late one is also a use after free).
TEST_F(DarwinNotifyCenterTest, ObserverDestroyedWhilePostsArriveIsNeverCalledAgain) {
    struct Probe {
        std::atomic<int> calls{0};
        std::atomic<bool> removed{false};
    };
    static std::atomic<int> lateCalls;
    static std::atomic<int> totalCalls;
    lateCalls = 0;
    totalCalls = 0;
    const auto callback = [](DarwinNotifyCenter*, void* observer, std::string_view, const void*, const void*) {
        auto& probe = *static_cast<Probe*>(observer);
        if (probe.removed.load()) ++lateCalls;
        ++probe.calls;
        ++totalCalls;
        std::this_thread::sleep_for(20us);  // widen the window in which a removal meets a call
        if (probe.removed.load()) ++lateCalls;
    };

    DarwinNotifyCenter center(folder);
    // The centre listens before the poster starts, so the burst reaches it.
    Recorder recorder;
    ASSERT_TRUE(center.addObserver(&recorder, Recorder::callback, "unrelated"));
    ChildProcess poster = startPoster(20000, {"burst"});

    int rounds = 0;
    bool posterDone = false;
    while (!posterDone) {
        auto* probe = new Probe;
        ASSERT_TRUE(center.addObserver(probe, callback, "burst"));
        const auto until = std::chrono::steady_clock::now() + 2ms;
        while (probe->calls.load() == 0 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
        center.removeObserver(probe, "burst");
        probe->removed = true;
        delete probe;
        ++rounds;
        posterDone = rounds % 16 == 0 && poster.wait(0ms).has_value();
    }
    EXPECT_EQ(poster.wait(), 0);
    EXPECT_EQ(lateCalls.load(), 0);
    EXPECT_GT(totalCalls.load(), 0);
    EXPECT_GT(rounds, 1);
}

// Within one process: a removal waits for the callback in flight, a callback may remove itself or
// even destroy its centre, and one that throws does not stop later deliveries.
TEST_F(DarwinNotifyCenterTest, RemovalWaitsForTheCallbackInFlight) {
    struct Blocking {
        std::mutex mutex;
        std::condition_variable changed;
        bool entered = false;
        bool release = false;
        bool returned = false;
    };
    const auto blockingCallback = [](DarwinNotifyCenter*, void* observer, std::string_view, const void*, const void*) {
        auto& state = *static_cast<Blocking*>(observer);
        std::unique_lock lock(state.mutex);
        state.entered = true;
        state.changed.notify_all();
        state.changed.wait(lock, [&] { return state.release; });
        state.returned = true;
    };

    DarwinNotifyCenter center(folder);
    Blocking blocking;
    ASSERT_TRUE(center.addObserver(&blocking, blockingCallback, "hold"));
    ASSERT_TRUE(center.post("hold"));
    {
        std::unique_lock lock(blocking.mutex);
        ASSERT_TRUE(blocking.changed.wait_for(lock, 30s, [&] { return blocking.entered; }));
    }
    std::atomic<bool> removalReturned{false};
    std::thread remover([&] {
        center.removeObserver(&blocking, "hold");
        removalReturned = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(removalReturned.load());
    {
        std::lock_guard lock(blocking.mutex);
        blocking.release = true;
        blocking.changed.notify_all();
    }
    remover.join();
    EXPECT_TRUE(blocking.returned);
}

TEST_F(DarwinNotifyCenterTest, CallbacksMayRemoveThemselvesThrowOrDestroyTheirCentre) {
    Recorder recorder;
    auto* center = new DarwinNotifyCenter(folder);
    static std::atomic<int> selfRemovingCalls;
    selfRemovingCalls = 0;
    const auto removeSelf = [](DarwinNotifyCenter* centre, void* observer, std::string_view name, const void*, const void*) {
        ++selfRemovingCalls;
        centre->removeObserver(observer, name);
    };
    const auto thrower = [](DarwinNotifyCenter*, void*, std::string_view, const void*, const void*) {
        throw std::runtime_error("observer failed");
    };
    const auto destroyCentre = [](DarwinNotifyCenter* centre, void*, std::string_view, const void*, const void*) { delete centre; };
    int selfRemover = 0;
    int throwing = 0;
    int destroyer = 0;
    ASSERT_TRUE(center->addObserver(&selfRemover, removeSelf, "once"));
    ASSERT_TRUE(center->addObserver(&throwing, thrower, "once"));
    ASSERT_TRUE(center->addObserver(&recorder, Recorder::callback, "once"));
    ASSERT_TRUE(center->addObserver(&recorder, Recorder::callback, "marker"));
    ASSERT_TRUE(center->post("once"));
    ASSERT_TRUE(center->post("once"));
    ASSERT_TRUE(center->post("marker"));
    ASSERT_TRUE(recorder.waitFor("marker"));
    EXPECT_EQ(selfRemovingCalls.load(), 1);
    EXPECT_EQ(recorder.names(), (std::vector<std::string>{"once", "once", "marker"}));

    const fs::path socket = folder / socketFiles(folder).at(0);
    ASSERT_TRUE(center->addObserver(&destroyer, destroyCentre, "destroy"));
    ASSERT_TRUE(center->post("destroy"));
    // The centre is gone once its socket file is; nothing may be left running on freed state.
    const auto until = std::chrono::steady_clock::now() + 30s;
    while (fs::exists(socket) && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(fs::exists(socket));
}

TEST_F(DarwinNotifyCenterTest, RefusesFoldersOthersCouldWriteToAndBadNames) {
    const auto refused = [](const fs::path& path, const std::string& expected) {
        DarwinNotifyCenter center(path);
        int observer = 0;
        Error addError;
        Error postError;
        EXPECT_FALSE(center.addObserver(&observer, Recorder::callback, "x", NotificationSuspensionBehavior::deliverImmediately, &addError));
        EXPECT_FALSE(center.post("x", &postError));
        EXPECT_NE(addError.localizedDescription.find(expected), std::string::npos) << addError.localizedDescription;
        EXPECT_EQ(postError.localizedDescription, addError.localizedDescription);
    };
    const fs::path open = scratch.path() / "open";
    fs::create_directory(open);
    chmod(open.c_str(), 0755);
    refused(open, "has mode 0755, not 0700");

    const fs::path real = scratch.path() / "real";
    fs::create_directory(real);
    chmod(real.c_str(), 0700);
    fs::create_directory_symlink(real, scratch.path() / "link");
    refused(scratch.path() / "link", "is not a directory");
    refused(scratch.path() / "missing" / "notify", "Cannot create");

    if (geteuid() == 0) {  // only root can hand a folder to someone else
        const fs::path foreign = scratch.path() / "foreign";
        fs::create_directory(foreign);
        chmod(foreign.c_str(), 0700);
        ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
        refused(foreign, "belongs to another user");
    }

    // A folder it makes itself is private however loose the umask.
    const mode_t previous = umask(0);
    DarwinNotifyCenter fresh(folder);
    umask(previous);
    EXPECT_TRUE(fresh.post("x"));
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);

    int observer = 0;
    Error error;
    EXPECT_FALSE(fresh.addObserver(&observer, Recorder::callback, "", NotificationSuspensionBehavior::deliverImmediately, &error));
    EXPECT_FALSE(fresh.post(std::string(DarwinNotifyCenter::kMaxNameLength + 1, 'n')));
    EXPECT_FALSE(fresh.post(std::string("a\0b", 3)));
    EXPECT_TRUE(fresh.post(std::string(DarwinNotifyCenter::kMaxNameLength, 'n')));
}

TEST_F(DarwinNotifyCenterTest, DefaultFolderIsTheUsersRuntimeFolderElseAPerUserTemporaryOne) {
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string previous = saved ? saved : "";
    setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
    EXPECT_EQ(DarwinNotifyCenter::defaultFolder(), fs::path("/run/user/4242/tolvane-notify"));
    const fs::path fallback = fs::temp_directory_path() / ("tolvane-notify-" + std::to_string(geteuid()));
    setenv("XDG_RUNTIME_DIR", "relative/dir", 1);  // not absolute: ignored
    EXPECT_EQ(DarwinNotifyCenter::defaultFolder(), fallback);
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(DarwinNotifyCenter::defaultFolder(), fallback);
    if (saved) setenv("XDG_RUNTIME_DIR", previous.c_str(), 1);
}

}  // namespace
