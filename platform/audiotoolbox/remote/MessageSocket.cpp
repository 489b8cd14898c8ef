#include "platform/audiotoolbox/remote/MessageSocket.h"

#include "platform/foundation/JSONReading.h"

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

namespace remote {

bool MessageSocket::makePair(int fds[2]) { return socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) == 0; }

MessageSocket::MessageSocket(int fd) : fd_(fd), buffer_(kMaxMessage) {}

MessageSocket::~MessageSocket() {
    if (fd_ >= 0) close(fd_);
}

SendResult MessageSocket::send(const nlohmann::json& message, int passedFd, bool wait) const {
    return sendText(message.dump(), passedFd, wait);
}

SendResult MessageSocket::sendText(const std::string& text, int passedFd, bool wait) const {
    iovec part{const_cast<char*>(text.data()), text.size()};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (passedFd >= 0) {
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        cmsghdr* item = CMSG_FIRSTHDR(&header);
        item->cmsg_level = SOL_SOCKET;
        item->cmsg_type = SCM_RIGHTS;
        item->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(item), &passedFd, sizeof(int));
    }
    const int flags = MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT);
    for (;;) {
        if (sendmsg(fd_, &header, flags) >= 0) return SendResult::sent;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return SendResult::wouldBlock;
        return SendResult::closed;
    }
}

std::optional<nlohmann::json> MessageSocket::receive(int* receivedFd, std::string* malformed) {
    if (receivedFd) *receivedFd = -1;
    iovec part{buffer_.data(), buffer_.size()};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t length = 0;
    do {
        length = recvmsg(fd_, &header, MSG_CMSG_CLOEXEC);
    } while (length < 0 && errno == EINTR);
    if (length <= 0) return std::nullopt;

    for (cmsghdr* item = CMSG_FIRSTHDR(&header); item != nullptr; item = CMSG_NXTHDR(&header, item)) {
        if (item->cmsg_level != SOL_SOCKET || item->cmsg_type != SCM_RIGHTS) continue;
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(item), sizeof(int));
        if (receivedFd && *receivedFd < 0) *receivedFd = fd;
        else close(fd);
    }
    const auto refuse = [malformed](std::string why) {
        if (malformed) *malformed = std::move(why);
        return nlohmann::json(nlohmann::json::value_t::discarded);
    };
    if (header.msg_flags & MSG_TRUNC) return refuse("larger than " + std::to_string(kMaxMessage) + " bytes");
    if (header.msg_flags & MSG_CTRUNC) return refuse("more than one descriptor");
    auto message = parseBoundedJSON<nlohmann::json>(std::string_view(buffer_.data(), static_cast<std::size_t>(length)));
    if (message.is_discarded())
        return refuse("not JSON, or nested deeper than " + std::to_string(kMaxJSONNesting) + " levels");
    return message;
}

void MessageSocket::shutdown() const { ::shutdown(fd_, SHUT_RDWR); }

}  // namespace remote
