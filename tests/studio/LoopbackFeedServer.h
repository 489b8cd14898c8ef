#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tolvane::test {

// A plain HTTP server on 127.0.0.1 (an ephemeral port) that answers GET requests from a table of
// paths, one connection at a time, and stops with the test. Unknown paths get 404.
class LoopbackFeedServer {
public:
    struct Response {
        int status = 200;
        std::string body;
        std::chrono::milliseconds delay{0};  // before answering; cut short when the server stops
    };

    LoopbackFeedServer() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener_, 8) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot listen on 127.0.0.1");
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }

    ~LoopbackFeedServer() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
        close(listener_);
    }

    LoopbackFeedServer(const LoopbackFeedServer&) = delete;
    LoopbackFeedServer& operator=(const LoopbackFeedServer&) = delete;

    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

    void set(const std::string& path, Response response) {
        std::lock_guard lock(mutex_);
        responses_[path] = std::move(response);
    }

    std::vector<std::string> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    bool stopping() {
        std::lock_guard lock(mutex_);
        return stopping_;
    }

    void serve() {
        while (!stopping()) {
            pollfd ready{listener_, POLLIN, 0};
            if (poll(&ready, 1, 20) <= 0) continue;
            const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) continue;
            answer(connection);
            close(connection);
        }
    }

    void answer(int connection) {
        std::string request;
        char chunk[2048];
        while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
            pollfd ready{connection, POLLIN, 0};
            if (poll(&ready, 1, 5000) <= 0) return;
            const ssize_t n = read(connection, chunk, sizeof chunk);
            if (n <= 0) return;
            request.append(chunk, static_cast<std::size_t>(n));
        }
        const std::size_t pathStart = request.find(' ') + 1;
        const std::string path = request.substr(pathStart, request.find(' ', pathStart) - pathStart);
        Response response{404, "not found", {}};
        {
            std::unique_lock lock(mutex_);
            requests_.push_back(path);
            if (const auto found = responses_.find(path); found != responses_.end()) response = found->second;
            if (changed_.wait_for(lock, response.delay, [this] { return stopping_; })) return;
        }
        const std::string reply = "HTTP/1.1 " + std::to_string(response.status) + " X\r\nContent-Type: application/json\r\n" +
                                  "Content-Length: " + std::to_string(response.body.size()) +
                                  "\r\nConnection: close\r\n\r\n" + response.body;
        (void)!send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
    }

    int listener_ = -1;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::map<std::string, Response> responses_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

}  // namespace tolvane::test
