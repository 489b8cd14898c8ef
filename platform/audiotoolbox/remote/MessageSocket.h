#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// One end of the control connection between a host and an extension process: a Unix
// sequenced-packet socket, one JSON message per packet, optionally carrying one descriptor.
namespace remote {

enum class SendResult { sent, wouldBlock, closed };

// Larger than any message the two sides exchange (the parameter tree is the largest).
inline constexpr std::size_t kMaxMessage = 1 << 20;

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

    // Receives one message; nothing at the end of the connection or on a broken one. A packet
    // larger than kMaxMessage, not JSON, or nested deeper than kMaxJSONNesting (the peer is
    // another program: a tree of untrusted depth would overflow the stack of whatever copies or
    // prints it) reads as a discarded value, and `malformed` says why. A passed descriptor lands
    // in `receivedFd` (else -1); the caller owns it.
    std::optional<nlohmann::json> receive(int* receivedFd = nullptr, std::string* malformed = nullptr);

    // Stops both directions; a thread blocked in receive() returns.
    void shutdown() const;

private:
    int fd_;
    std::vector<char> buffer_;
};

}  // namespace remote
