#include "platform/audiotoolbox/remote/ExtensionConnection.h"

#include "platform/audiotoolbox/remote/ExtensionProtocol.h"
#include "platform/audiotoolbox/remote/MessageSocket.h"
#include "platform/os/Log.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace remote {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kChildSocketFd = 3;
constexpr auto kExitGrace = std::chrono::milliseconds(1000);

void setErrno(Error* error, std::string what, int code) {
    setError(error, "ExtensionConnection", -1, std::move(what) + ": " + std::strerror(code));
}

const OSLog& connectionLog() {
    static const OSLog log("com.marlowen.tolvane", "ExtensionConnection");
    return log;
}

int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

struct Outgoing {
    std::string text;
    int fd = -1;  // owned
};

struct Pending {
    Clock::time_point deadline;
    RequestLimit limit;
    ExtensionConnection::ReplyHandler onReply;
};

// How a process that ended on its own ended, from its wait status.
std::string describeExit(int status) {
    if (WIFEXITED(status)) return "the extension process exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "the extension process was ended by signal " + std::to_string(WTERMSIG(status));
    return "the extension process ended";
}

}  // namespace

struct ExtensionConnection::State {
    State(int socketFd, pid_t childPid, ConnectionTiming connectionTiming, MessageHandler message, LostHandler lost)
        : socket(socketFd), pid(childPid), timing(connectionTiming), onMessage(std::move(message)),
          onLost(std::move(lost)) {
        wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        pidFd = openPidfd(pid);
    }
    ~State() {
        if (wakeFd >= 0) ::close(wakeFd);
        if (pidFd >= 0) ::close(pidFd);
        for (auto& item : outgoing)
            if (item.fd >= 0) ::close(item.fd);
    }

    void wake() const {
        const uint64_t one = 1;
        (void)!write(wakeFd, &one, sizeof one);
    }

    void enqueue(std::string text, int fd) {
        {
            std::lock_guard lock(mutex);
            if (alive) {
                outgoing.push_back({std::move(text), fd});
                fd = -1;
            }
        }
        if (fd >= 0) ::close(fd);
        wake();
    }

    // Nothing once the connection is lost: markLost has failed the pending requests already, so
    // one added now would never be answered. `onReply` is left to the caller then.
    std::optional<uint64_t> addPending(RequestLimit limit, ReplyHandler& onReply) {
        std::lock_guard lock(mutex);
        if (!alive) return std::nullopt;
        const uint64_t id = nextId++;
        pending.emplace(id, Pending{Clock::now() + limit.wait, limit, std::move(onReply)});
        return id;
    }

    ReplyHandler takePending(uint64_t id) {
        std::lock_guard lock(mutex);
        const auto found = pending.find(id);
        if (found == pending.end()) return {};
        ReplyHandler handler = std::move(found->second.onReply);
        pending.erase(found);
        return handler;
    }

    void run();
    void flushOutgoing();
    void receiveOne();
    void dispatch(json message);
    void expirePending();
    void pingIfDue();
    std::optional<Clock::time_point> nextWake() const;
    void markLost(std::string reason);
    void markClosed();
    std::optional<int> reapChild(bool giveGrace);

    MessageSocket socket;
    const pid_t pid;
    const ConnectionTiming timing;
    const MessageHandler onMessage;
    const LostHandler onLost;
    int wakeFd = -1;
    int pidFd = -1;
    std::thread thread;
    std::atomic<std::thread::id> threadId{};  // set by the thread itself
    std::atomic<bool> closing{false};
    bool lostOnThread = false;  // connection thread only
    bool reaped = false;        // connection thread only

    mutable std::mutex mutex;
    bool alive = true;
    std::string lostReason;
    std::deque<Outgoing> outgoing;
    std::map<uint64_t, Pending> pending;
    uint64_t nextId = 1;

    // Pings (connection thread only).
    Clock::time_point nextPing = Clock::now();
    std::optional<uint64_t> pingId;
    Clock::time_point pingSentAt;
};

void ExtensionConnection::State::flushOutgoing() {
    for (;;) {
        Outgoing item;
        {
            std::lock_guard lock(mutex);
            if (outgoing.empty()) return;
            item = std::move(outgoing.front());
            outgoing.pop_front();
        }
        const SendResult result = socket.sendText(item.text, item.fd, /*wait=*/false);
        if (result == SendResult::wouldBlock) {
            std::lock_guard lock(mutex);
            outgoing.push_front(std::move(item));
            return;
        }
        if (item.fd >= 0) ::close(item.fd);
        if (result == SendResult::closed) {
            markClosed();
            return;
        }
    }
}

// Taken by value: a reply moves on to its handler instead of being copied.
void ExtensionConnection::State::dispatch(json message) {
    const std::string kind = opOf(message);
    if (kind == op::pong) {
        if (pingId && message.value("id", uint64_t{0}) == *pingId) pingId.reset();
        return;
    }
    if (kind == op::reply) {
        const uint64_t id = message.value("id", uint64_t{0});
        if (ReplyHandler handler = takePending(id)) handler(std::move(message));
        return;
    }
    if (!kind.empty() && onMessage) onMessage(message);
}

void ExtensionConnection::State::receiveOne() {
    int passedFd = -1;
    std::string unreadable;
    auto message = socket.receive(&passedFd, &unreadable);
    if (passedFd >= 0) ::close(passedFd);  // the extension has no descriptors to give
    if (!message) {
        markClosed();
        return;
    }
    // Nothing it sends after a malformed message can be trusted: it does not speak the protocol.
    if (message->is_discarded()) {
        markLost("the extension sent a malformed message (" + unreadable + "); the host ended it");
        return;
    }
    try {
        dispatch(std::move(*message));
    } catch (const std::exception& e) {
        // A field of the wrong type, or a number its field cannot hold.
        markLost(std::string("the extension sent a malformed message (") + e.what() + "); the host ended it");
    }
}

void ExtensionConnection::State::expirePending() {
    std::vector<ReplyHandler> expired;
    std::optional<std::chrono::milliseconds> hungFor;  // the wait of an expiry that ends the connection
    {
        std::lock_guard lock(mutex);
        const auto now = Clock::now();
        for (auto it = pending.begin(); it != pending.end();) {
            if (it->second.deadline > now) {
                ++it;
                continue;
            }
            if (it->second.limit.onExpiry == RequestLimit::OnExpiry::endConnection)
                hungFor = std::max(hungFor.value_or(it->second.limit.wait), it->second.limit.wait);
            else
                connectionLog().info("process " + std::to_string(pid) + ": a request went unanswered within " +
                                     inMilliseconds(it->second.limit.wait) + "; it failed, the extension goes on");
            expired.push_back(std::move(it->second.onReply));
            it = pending.erase(it);
        }
    }
    // It answers pings but not its requests (its main thread is stuck, say): as useless as one
    // that answers nothing.
    if (hungFor)
        markLost("the extension did not answer a request within " + inMilliseconds(*hungFor) + "; the host ended it");
    for (auto& handler : expired)
        if (handler) handler(std::nullopt);
}

void ExtensionConnection::State::pingIfDue() {
    const auto now = Clock::now();
    if (pingId) {
        if (now - pingSentAt >= timing.unresponsive)
            markLost("the extension did not answer a ping within " + inMilliseconds(timing.unresponsive) +
                     "; the host ended it");
        return;
    }
    if (now < nextPing) return;
    uint64_t id = 0;
    {
        std::lock_guard lock(mutex);
        id = nextId++;
    }
    pingId = id;
    pingSentAt = now;
    nextPing = now + timing.pingInterval;
    enqueue(json{{"op", op::ping}, {"id", id}}.dump(), -1);
}

std::optional<Clock::time_point> ExtensionConnection::State::nextWake() const {
    Clock::time_point next = pingId ? pingSentAt + timing.unresponsive : nextPing;
    std::lock_guard lock(mutex);
    for (const auto& [id, entry] : pending) next = std::min(next, entry.deadline);
    return next;
}

// The socket ended or refused a send: the process is ending, or it closed the connection.
// Given a moment to exit, an ended process says how it ended.
void ExtensionConnection::State::markClosed() {
    if (lostOnThread) return;
    const std::optional<int> status = reapChild(/*giveGrace=*/true);
    markLost(status ? describeExit(*status) : "the extension closed its connection; the host ended it");
}

void ExtensionConnection::State::markLost(std::string reason) {
    if (lostOnThread) return;
    lostOnThread = true;
    // A process that stopped answering is of no use any more; one that exited is reaped here.
    if (const std::optional<int> status = reapChild(/*giveGrace=*/false); status && reason.empty())
        reason = describeExit(*status);
    if (reason.empty()) reason = "the extension process ended";
    connectionLog().error("process " + std::to_string(pid) + ": " + reason);
    std::map<uint64_t, Pending> failed;
    {
        std::lock_guard lock(mutex);
        alive = false;
        lostReason = std::move(reason);
        failed.swap(pending);
        for (auto& item : outgoing)
            if (item.fd >= 0) ::close(item.fd);
        outgoing.clear();
    }
    for (auto& [id, entry] : failed)
        if (entry.onReply) entry.onReply(std::nullopt);
    if (!closing.load() && onLost) onLost();
}

// The wait status of a process that ended on its own (within the grace, when given one);
// nothing when it had to be killed or was reaped before.
std::optional<int> ExtensionConnection::State::reapChild(bool giveGrace) {
    if (reaped) return std::nullopt;
    reaped = true;
    socket.shutdown();
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    if (giveGrace) {
        const auto until = Clock::now() + kExitGrace;
        while (Clock::now() < until) {
            if (waitpid(pid, &status, WNOHANG) == pid) return status;
            if (pidFd >= 0) {
                pollfd exited{pidFd, POLLIN, 0};
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
                (void)poll(&exited, 1, static_cast<int>(std::max<int64_t>(left.count(), 1)));
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
    }
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return std::nullopt;
}

void ExtensionConnection::State::run() {
    threadId.store(std::this_thread::get_id());
    while (!closing.load()) {
        if (!lostOnThread) {
            flushOutgoing();
            expirePending();
            pingIfDue();
        }
        pollfd fds[3] = {{wakeFd, POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}};
        nfds_t count = 1;
        if (!lostOnThread) {
            bool wantWrite = false;
            {
                std::lock_guard lock(mutex);
                wantWrite = !outgoing.empty();
            }
            fds[count++] = {socket.fd(), static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0};
            if (pidFd >= 0) fds[count++] = {pidFd, POLLIN, 0};
        }
        int waitMs = -1;
        if (!lostOnThread) {
            if (const auto next = nextWake()) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
                waitMs = static_cast<int>(std::clamp<int64_t>(left.count(), 0, 60'000));
            }
        }
        if (poll(fds, count, waitMs) < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) {
            uint64_t drained = 0;
            (void)!read(wakeFd, &drained, sizeof drained);
        }
        if (lostOnThread || closing.load()) continue;
        if (fds[1].revents & POLLIN) receiveOne();
        else if (fds[1].revents & (POLLHUP | POLLERR)) markClosed();
        if (!lostOnThread && count > 2 && (fds[2].revents & POLLIN)) {
            // The process is gone; read what it managed to send first.
            pollfd rest{socket.fd(), POLLIN, 0};
            while (!lostOnThread && poll(&rest, 1, 0) > 0 && (rest.revents & POLLIN)) receiveOne();
            markLost("");
        }
    }
    if (!lostOnThread) {
        std::map<uint64_t, Pending> failed;
        {
            std::lock_guard lock(mutex);
            alive = false;
            failed.swap(pending);
        }
        for (auto& [id, entry] : failed)
            if (entry.onReply) entry.onReply(std::nullopt);
    }
    reapChild(/*giveGrace=*/true);
}

std::string inMilliseconds(std::chrono::milliseconds span) { return std::to_string(span.count()) + " ms"; }

ExtensionConnection::ExtensionConnection(std::shared_ptr<State> state) : state_(std::move(state)) {}

std::unique_ptr<ExtensionConnection> ExtensionConnection::launch(const std::filesystem::path& executable,
                                                                 const std::vector<std::string>& arguments,
                                                                 ConnectionTiming timing, MessageHandler onMessage,
                                                                 LostHandler onLost, Error* error) {
    int fds[2];
    if (!MessageSocket::makePair(fds)) {
        setErrno(error, "cannot create the control socket", errno);
        return nullptr;
    }
    // The child's end must not already sit where it is to be moved, or dup2 would keep it
    // close-on-exec.
    if (fds[1] == kChildSocketFd) {
        const int moved = fcntl(fds[1], F_DUPFD_CLOEXEC, kChildSocketFd + 1);
        ::close(fds[1]);
        fds[1] = moved;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], kChildSocketFd);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    std::vector<std::string> argumentTexts{executable.string(), "--serve-fd", std::to_string(kChildSocketFd)};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& text : argumentTexts) argv.push_back(text.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, executable.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        setErrno(error, "cannot start " + executable.string(), spawned);
        return nullptr;
    }
    auto state = std::make_shared<State>(fds[0], pid, timing, std::move(onMessage), std::move(onLost));
    state->thread = std::thread([state] { state->run(); });
    return std::unique_ptr<ExtensionConnection>(new ExtensionConnection(state));
}

ExtensionConnection::~ExtensionConnection() {
    state_->closing.store(true);
    state_->wake();
    if (onConnectionThread()) {
        // Destroyed from one of its own handlers: the thread finishes and reaps on its own.
        state_->thread.detach();
    } else {
        state_->thread.join();
    }
}

void ExtensionConnection::send(json message, int passedFd) {
    const int fd = passedFd >= 0 ? fcntl(passedFd, F_DUPFD_CLOEXEC, 0) : -1;
    state_->enqueue(message.dump(), fd);
}

void ExtensionConnection::request(json message, RequestLimit limit, ReplyHandler onReply, int passedFd) {
    const auto id = state_->addPending(limit, onReply);
    if (!id) {
        if (onReply) onReply(std::nullopt);
        return;
    }
    message["id"] = *id;
    send(std::move(message), passedFd);
}

std::optional<json> ExtensionConnection::requestAndWait(json message, RequestLimit limit, int passedFd) {
    if (onConnectionThread()) return std::nullopt;
    struct Waiter {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        std::optional<json> reply;
    };
    auto waiter = std::make_shared<Waiter>();
    request(
        std::move(message), limit,
        [waiter](std::optional<json> reply) {
            std::lock_guard lock(waiter->mutex);
            waiter->reply = std::move(reply);
            waiter->finished = true;
            waiter->done.notify_all();
        },
        passedFd);
    std::unique_lock lock(waiter->mutex);
    waiter->done.wait(lock, [&] { return waiter->finished; });
    return std::move(waiter->reply);
}

std::string ExtensionConnection::lostReason() const {
    std::lock_guard lock(state_->mutex);
    return state_->lostReason;
}

bool ExtensionConnection::isAlive() const {
    std::lock_guard lock(state_->mutex);
    return state_->alive;
}

pid_t ExtensionConnection::processIdentifier() const { return state_->pid; }

const ConnectionTiming& ExtensionConnection::timing() const { return state_->timing; }

bool ExtensionConnection::onConnectionThread() const { return state_->threadId.load() == std::this_thread::get_id(); }

}  // namespace remote
