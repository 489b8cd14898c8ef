#pragma once

#include "platform/foundation/Error.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace remote {

// How long the host gives an extension process.
struct ConnectionTiming {
    std::chrono::milliseconds handshake{10'000};    // from start to the welcome
    std::chrono::milliseconds response{10'000};     // for a request's reply; none by then: it stopped answering
    std::chrono::milliseconds allocationWait{1'000};  // the longest a caller (a UI thread) waits for an allocation
    std::chrono::milliseconds pingInterval{250};    // how often the host asks whether it is there
    std::chrono::milliseconds unresponsive{3'000};  // an unanswered ping this old: it stopped answering
};

// A wait as failure messages quote it ("1500 ms").
std::string inMilliseconds(std::chrono::milliseconds span);

// How long a request waits for its reply, and what it means when none comes by then: the
// extension is hung and the connection ends (an allocation, say), or the request only fails (a
// view taken down while the extension is busy elsewhere is no reason to end it).
struct RequestLimit {
    enum class OnExpiry { endConnection, failRequest };
    // Not explicit: a plain wait is a request whose expiry ends the connection.
    RequestLimit(std::chrono::milliseconds span, OnExpiry expiry = OnExpiry::endConnection)
        : wait(span), onExpiry(expiry) {}
    std::chrono::milliseconds wait;
    OnExpiry onExpiry;
};

// The host's side of one extension process: starts the program, owns its control socket, and
// runs one thread that sends, receives, pings and watches the process.
//
// The connection is lost when the process exits, closes its socket, stops answering pings or a
// request whose expiry ends it, or sends a malformed message; then the lost handler runs once, pending requests
// fail, later sends are dropped and a process that still runs is killed. Handlers run on the
// connection's thread and must not wait for the connection (requestAndWait from a handler
// fails at once).
class ExtensionConnection {
public:
    using MessageHandler = std::function<void(const nlohmann::json&)>;
    using LostHandler = std::function<void()>;
    using ReplyHandler = std::function<void(std::optional<nlohmann::json>)>;

    // Starts `executable` with the control socket as descriptor 3 ("--serve-fd 3") followed by
    // `arguments`. Messages other than replies go to `onMessage`, in the order they arrive.
    static std::unique_ptr<ExtensionConnection> launch(const std::filesystem::path& executable,
                                                       const std::vector<std::string>& arguments,
                                                       ConnectionTiming timing, MessageHandler onMessage,
                                                       LostHandler onLost, Error* error);

    // Closes the socket, gives the process a moment to leave, then kills and reaps it.
    ~ExtensionConnection();
    ExtensionConnection(const ExtensionConnection&) = delete;
    ExtensionConnection& operator=(const ExtensionConnection&) = delete;

    // Queues a message (with a descriptor, duplicated here). Never waits; dropped once lost.
    void send(nlohmann::json message, int passedFd = -1);

    // Sends a request (an "id" is added) and calls `onReply` with the reply, or with nothing
    // when it does not come within the limit's wait or the connection is lost. A reply that
    // comes after the request failed is dropped.
    void request(nlohmann::json message, RequestLimit limit, ReplyHandler onReply, int passedFd = -1);

    // The same, waiting for the reply. Not on the connection's thread.
    std::optional<nlohmann::json> requestAndWait(nlohmann::json message, RequestLimit limit, int passedFd = -1);

    bool isAlive() const;
    // What ended the connection, in words ("the extension process exited with status 3");
    // empty while it lives.
    std::string lostReason() const;
    pid_t processIdentifier() const;
    const ConnectionTiming& timing() const;
    bool onConnectionThread() const;

private:
    struct State;
    explicit ExtensionConnection(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

}  // namespace remote
