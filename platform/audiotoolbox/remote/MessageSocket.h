#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <vector>

// One end of the control connection between a host and an extension process: a Unix
// sequenced-packet socket, one JSON message per packet, optionally carrying one descriptor.
namespace remote {

enum class SendResult { sent, wouldBlock, closed };

class MessageSocket {
public:
    // Creates a connected pair (both ends close-on-exec).
    static bool makePair(int fds[2]);

    explicit MessageSocket(int fd);
    ~MessageSocket();
    MessageSocket(const MessageSocket&) = delete;
    MessageSocket& operator=(const MessageSocket&) = delete;

    int fd() const { return fd_; }

    // Sends one message, never raising SIGPIPE. `wait` false returns wouldBlock instead of
    // waiting for room in the peer's queue.
    SendResult send(const nlohmann::json& message, int passedFd = -1, bool wait = true) const;
    SendResult sendText(const std::string& text, int passedFd, bool wait) const;

    // Receives one message; nothing at the end of the connection or on a broken one. A
    // malformed packet, or one nested deeper than kMaxJSONNesting, reads as a JSON value that is
    // not an object. A passed descriptor lands in `receivedFd` (else -1); the caller owns it.
    std::optional<nlohmann::json> receive(int* receivedFd = nullptr);

    // Stops both directions; a thread blocked in receive() returns.
    void shutdown() const;

private:
    int fd_;
    std::vector<char> buffer_;
};

}  // namespace remote
