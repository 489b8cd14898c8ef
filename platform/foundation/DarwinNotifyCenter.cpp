#include "platform/foundation/DarwinNotifyCenter.h"

#include "platform/os/FileDescriptor.h"
#include "platform/os/Log.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* kErrorDomain = "DarwinNotifyCenter";
constexpr int64_t kFolderRefused = -1;
constexpr int64_t kSystemCallFailed = -2;
constexpr int64_t kInvalidName = -3;
constexpr std::string_view kSocketSuffix = ".sock";

const OSLog& notifyLog() {
    static const OSLog log("com.marlowen.tolvane", "DarwinNotifyCenter");
    return log;
}

std::string systemMessage(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

bool fail(Error* error, int64_t code, std::string message) {
    setError(error, kErrorDomain, code, std::move(message));
    return false;
}

bool isValidName(std::string_view name) {
    return !name.empty() && name.size() <= DarwinNotifyCenter::kMaxNameLength &&
           name.find('\0') == std::string_view::npos;
}

bool invalidName(std::string_view name, Error* error) {
    return fail(error, kInvalidName,
                "A notification name must have 1 to " + std::to_string(DarwinNotifyCenter::kMaxNameLength) +
                    " bytes and no NUL byte; got " + std::to_string(name.size()) + " bytes");
}

// Makes the folder when missing and accepts it only as a real directory of this user with mode
// 0700: whoever can write into it can post to every observer.
bool preparePrivateFolder(const fs::path& folder, Error* error) {
    if (mkdir(folder.c_str(), 0700) == 0) {
        // The umask may have taken bits away; the folder must still be usable by us.
        if (chmod(folder.c_str(), 0700) != 0) {
            return fail(error, kSystemCallFailed, systemMessage("Cannot set the mode of " + folder.string(), errno));
        }
    } else if (errno != EEXIST) {
        return fail(error, kSystemCallFailed, systemMessage("Cannot create the notification folder " + folder.string(), errno));
    }
    struct stat info{};
    if (lstat(folder.c_str(), &info) != 0) {
        return fail(error, kSystemCallFailed, systemMessage("Cannot examine " + folder.string(), errno));
    }
    if (!S_ISDIR(info.st_mode)) {
        return fail(error, kFolderRefused, "The notification folder " + folder.string() + " is not a directory");
    }
    if (info.st_uid != geteuid()) {
        return fail(error, kFolderRefused, "The notification folder " + folder.string() + " belongs to another user");
    }
    if ((info.st_mode & 07777) != 0700) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        return fail(error, kFolderRefused,
                    "The notification folder " + folder.string() + " has mode " + mode + ", not 0700");
    }
    return true;
}

bool socketAddress(const fs::path& path, sockaddr_un& address, Error* error) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    const std::string& text = path.native();
    if (text.size() >= sizeof address.sun_path) {
        return fail(error, kFolderRefused, "The socket path " + text + " is too long for a Unix socket");
    }
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return true;
}

std::string uniqueSocketName() {
    std::random_device entropy;
    const uint64_t tag = (static_cast<uint64_t>(entropy()) << 32) ^ entropy();
    char name[64];
    std::snprintf(name, sizeof name, "%d-%016llx", static_cast<int>(getpid()), static_cast<unsigned long long>(tag));
    return name + std::string(kSocketSuffix);
}

enum class SendOutcome { delivered, stale, gone, full, failed };

struct SendResult {
    SendOutcome outcome;
    int error = 0;  // errno when the outcome is `failed`
};

// Sends one name to one receiver's socket. A socket file that nobody has bound any more refuses
// the connection: that is a stale receiver.
SendResult sendName(const fs::path& path, std::string_view name) {
    sockaddr_un address;
    if (!socketAddress(path, address, nullptr)) return {SendOutcome::failed, ENAMETOOLONG};
    FileDescriptor fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) return {SendOutcome::failed, errno};
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == ECONNREFUSED) return {SendOutcome::stale};
        if (errno == ENOENT) return {SendOutcome::gone};
        return {SendOutcome::failed, errno};
    }
    // Never waits: the panel posts from its UI thread, and a receiver that does not read (a
    // stopped process, say) must not hold every post up. Such a receiver misses the name.
    for (;;) {
        if (send(fd.get(), name.data(), name.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return {SendOutcome::delivered};
        if (errno == EINTR) continue;
        if (errno == ECONNREFUSED) return {SendOutcome::stale};
        if (errno == EAGAIN || errno == EWOULDBLOCK) return {SendOutcome::full};
        return {SendOutcome::failed, errno};
    }
}

bool hasSocketSuffix(std::string_view fileName) {
    return fileName.size() > kSocketSuffix.size() && fileName.ends_with(kSocketSuffix);
}

// The sockets in the folder that this user made; anything else there is left alone.
std::vector<fs::path> receiverSockets(const fs::path& folder, Error* error) {
    std::vector<fs::path> sockets;
    DIR* directory = opendir(folder.c_str());
    if (directory == nullptr) {
        fail(error, kSystemCallFailed, systemMessage("Cannot list " + folder.string(), errno));
        return sockets;
    }
    while (const dirent* entry = readdir(directory)) {
        if (!hasSocketSuffix(entry->d_name)) continue;
        fs::path path = folder / entry->d_name;
        struct stat info{};
        if (lstat(path.c_str(), &info) != 0) continue;
        if (S_ISSOCK(info.st_mode) && info.st_uid == geteuid()) sockets.push_back(std::move(path));
    }
    closedir(directory);
    return sockets;
}

}  // namespace

struct DarwinNotifyCenter::State : std::enable_shared_from_this<State> {
    struct Registration {
        uint64_t id = 0;
        void* observer = nullptr;
        Callback callback = nullptr;
        std::string name;
    };

    explicit State(fs::path folderPath) : folder(std::move(folderPath)) {}

    ~State() {
        // The delivery thread has ended (joined, or it held the last reference itself).
        if (!socketPath.empty()) unlink(socketPath.c_str());
    }

    bool startListening(Error* error);  // with `mutex` held
    void deliveryLoop();
    void deliver(const std::string& name);
    void stop();

    const fs::path folder;
    std::mutex mutex;
    std::condition_variable callbackReturned;
    std::vector<Registration> registrations;
    uint64_t nextId = 1;
    DarwinNotifyCenter* owner = nullptr;
    void* observerInCallback = nullptr;
    bool stopping = false;
    FileDescriptor receiver;
    FileDescriptor wake;
    fs::path socketPath;
    std::thread deliveryThread;
    std::thread::id deliveryThreadId;

    // The receivers this centre's posts last found full, with the names each missed since: a
    // stopped one is logged once, not once per post, until it reads again.
    std::mutex missingMutex;
    std::map<fs::path, uint64_t> missing;
};

bool DarwinNotifyCenter::State::startListening(Error* error) {
    if (deliveryThread.joinable()) return true;
    if (!preparePrivateFolder(folder, error)) return false;
    const fs::path path = folder / uniqueSocketName();
    sockaddr_un address;
    if (!socketAddress(path, address, error)) return false;
    FileDescriptor fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) return fail(error, kSystemCallFailed, systemMessage("Cannot make a notification socket", errno));
    if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return fail(error, kSystemCallFailed, systemMessage("Cannot bind " + path.string(), errno));
    }
    FileDescriptor wakeFd(eventfd(0, EFD_CLOEXEC));
    if (wakeFd.get() < 0) {
        unlink(path.c_str());
        return fail(error, kSystemCallFailed, systemMessage("Cannot make a wake-up descriptor", errno));
    }
    receiver.reset(fd.release());
    wake.reset(wakeFd.release());
    socketPath = path;
    deliveryThread = std::thread([self = shared_from_this()] { self->deliveryLoop(); });
    deliveryThreadId = deliveryThread.get_id();
    return true;
}

void DarwinNotifyCenter::State::deliveryLoop() {
    std::array<char, kMaxNameLength + 1> buffer;
    for (;;) {
        std::array<pollfd, 2> ready{pollfd{receiver.get(), POLLIN, 0}, pollfd{wake.get(), POLLIN, 0}};
        if (poll(ready.data(), ready.size(), -1) < 0) {
            if (errno == EINTR) continue;
            notifyLog().error(systemMessage("Notification delivery stopped", errno));
            return;
        }
        if (ready[1].revents != 0) return;
        if ((ready[0].revents & POLLIN) == 0) continue;
        // MSG_TRUNC makes recv report a datagram's full length, so an oversized one is dropped whole.
        const ssize_t length = recv(receiver.get(), buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (length <= 0 || static_cast<std::size_t>(length) > kMaxNameLength) continue;
        const std::string name(buffer.data(), static_cast<std::size_t>(length));
        if (!isValidName(name)) continue;
        deliver(name);
        std::lock_guard lock(mutex);
        if (stopping) return;
    }
}

void DarwinNotifyCenter::State::deliver(const std::string& name) {
    std::unique_lock lock(mutex);
    std::vector<uint64_t> matching;
    for (const Registration& registration : registrations) {
        if (registration.name == name) matching.push_back(registration.id);
    }
    for (const uint64_t id : matching) {
        // An earlier callback may have removed this registration or destroyed the centre.
        if (stopping) return;
        const auto found = std::find_if(registrations.begin(), registrations.end(),
                                        [id](const Registration& r) { return r.id == id; });
        if (found == registrations.end()) continue;
        const Registration registration = *found;
        DarwinNotifyCenter* center = owner;
        observerInCallback = registration.observer;
        lock.unlock();
        try {
            registration.callback(center, registration.observer, name, nullptr, nullptr);
        } catch (const std::exception& e) {
            notifyLog().error("An observer of " + name + " threw: " + e.what());
        } catch (...) {
            notifyLog().error("An observer of " + name + " threw");
        }
        lock.lock();
        observerInCallback = nullptr;
        callbackReturned.notify_all();
    }
}

void DarwinNotifyCenter::State::stop() {
    std::thread::id deliveringOn;
    {
        std::lock_guard lock(mutex);
        owner = nullptr;
        stopping = true;
        registrations.clear();
        deliveringOn = deliveryThreadId;
    }
    if (!deliveryThread.joinable()) return;
    const uint64_t one = 1;
    (void)!write(wake.get(), &one, sizeof one);
    // A callback that destroys its own centre cannot wait for itself; the thread then ends on its
    // own after that callback and releases the state last.
    if (std::this_thread::get_id() == deliveringOn) {
        deliveryThread.detach();
    } else {
        deliveryThread.join();
    }
}

std::shared_ptr<DarwinNotifyCenter> DarwinNotifyCenter::getDarwinNotifyCenter() {
    static const std::shared_ptr<DarwinNotifyCenter> center = std::make_shared<DarwinNotifyCenter>(defaultFolder());
    return center;
}

fs::path DarwinNotifyCenter::defaultFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    // The variable must name an absolute path; anything else is ignored as the XDG rules say.
    if (runtime != nullptr && runtime[0] == '/') return fs::path(runtime) / "tolvane-notify";
    std::error_code ec;
    fs::path temporary = fs::temp_directory_path(ec);
    if (ec) temporary = "/tmp";
    return temporary / ("tolvane-notify-" + std::to_string(geteuid()));
}

DarwinNotifyCenter::DarwinNotifyCenter(fs::path folder) : state_(std::make_shared<State>(std::move(folder))) {
    state_->owner = this;
}

DarwinNotifyCenter::~DarwinNotifyCenter() { state_->stop(); }

const fs::path& DarwinNotifyCenter::folder() const { return state_->folder; }

bool DarwinNotifyCenter::addObserver(void* observer, Callback callback, std::string name,
                                     NotificationSuspensionBehavior /*behavior*/, Error* error) {
    if (!isValidName(name)) return invalidName(name, error);
    if (observer == nullptr || callback == nullptr) {
        return fail(error, kInvalidName, "An observer needs an address and a callback");
    }
    std::lock_guard lock(state_->mutex);
    if (!state_->startListening(error)) return false;
    auto& registrations = state_->registrations;
    const auto existing = std::find_if(registrations.begin(), registrations.end(), [&](const State::Registration& r) {
        return r.observer == observer && r.name == name;
    });
    if (existing != registrations.end()) {
        existing->callback = callback;
    } else {
        registrations.push_back({state_->nextId++, observer, callback, std::move(name)});
    }
    return true;
}

namespace {

template <class Matches>
void removeAndWait(DarwinNotifyCenter::State& state, void* observer, Matches matches) {
    std::unique_lock lock(state.mutex);
    std::erase_if(state.registrations, matches);
    if (std::this_thread::get_id() == state.deliveryThreadId) return;
    state.callbackReturned.wait(lock, [&] { return state.observerInCallback != observer; });
}

}  // namespace

void DarwinNotifyCenter::removeObserver(void* observer, std::string_view name) {
    removeAndWait(*state_, observer, [&](const State::Registration& r) { return r.observer == observer && r.name == name; });
}

void DarwinNotifyCenter::removeEveryObserver(void* observer) {
    removeAndWait(*state_, observer, [&](const State::Registration& r) { return r.observer == observer; });
}

namespace {

// With `missingMutex` held. The first name a full receiver misses is logged; later ones only count.
void noteMissed(DarwinNotifyCenter::State& state, const fs::path& receiver, std::string_view name) {
    if (state.missing[receiver]++ > 0) return;
    notifyLog().error("The receiver " + receiver.filename().string() + " is not reading; it misses " + std::string(name) +
                      " and what is posted to it until it reads again");
}

// With `missingMutex` held. A receiver that took a name again, or is gone, is no longer missing any.
void noteReading(DarwinNotifyCenter::State& state, const fs::path& receiver, bool tookName) {
    const auto found = state.missing.find(receiver);
    if (found == state.missing.end()) return;
    if (tookName) {
        notifyLog().info("The receiver " + receiver.filename().string() + " reads again; names it missed: " +
                         std::to_string(found->second));
    }
    state.missing.erase(found);
}

}  // namespace

bool DarwinNotifyCenter::post(std::string_view name, Error* error) {
    if (!isValidName(name)) return invalidName(name, error);
    // A name posted to this centre may reach a callback that destroys it while this post runs.
    const std::shared_ptr<State> state = state_;
    if (!preparePrivateFolder(state->folder, error)) return false;
    Error listError;
    const std::vector<fs::path> sockets = receiverSockets(state->folder, &listError);
    if (!listError.domain.empty()) {
        if (error) *error = listError;
        return false;
    }
    std::lock_guard lock(state->missingMutex);
    std::erase_if(state->missing, [&](const auto& entry) { return std::ranges::find(sockets, entry.first) == sockets.end(); });
    for (const fs::path& socketPath : sockets) {
        const SendResult sent = sendName(socketPath, name);
        if (sent.outcome != SendOutcome::full) noteReading(*state, socketPath, sent.outcome == SendOutcome::delivered);
        switch (sent.outcome) {
            case SendOutcome::stale: unlink(socketPath.c_str()); break;
            case SendOutcome::full: noteMissed(*state, socketPath, name); break;
            case SendOutcome::failed:
                notifyLog().error(systemMessage("Cannot post " + std::string(name) + " to " + socketPath.string(), sent.error));
                break;
            case SendOutcome::delivered:
            case SendOutcome::gone: break;
        }
    }
    return true;
}

bool notify_post(std::string_view name, Error* error) {
    return DarwinNotifyCenter::getDarwinNotifyCenter()->post(name, error);
}
