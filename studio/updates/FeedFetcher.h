#pragma once

#include <atomic>
#include <cstddef>
#include <string>

// Fetches the update feed's text. Runs on the updater's worker thread.
class FeedFetcher {
public:
    struct Result {
        bool ok = false;
        std::string body;   // the feed's text when ok
        std::string error;  // why not, as a phrase ("HTTP 404", "Couldn't connect to server")
    };

    virtual ~FeedFetcher() = default;
    // Gives up soon after `cancelled` turns true.
    virtual Result fetch(const std::string& url, const std::atomic<bool>& cancelled) = 0;
};

// Fetches over HTTPS with libcurl. Plain HTTP is accepted only from this machine (a feed served
// locally for testing); redirects must stay on HTTPS. Feeds larger than kMaxFeedBytes, transfers
// slower than the time limits and HTTP error statuses fail.
class CurlFeedFetcher final : public FeedFetcher {
public:
    static constexpr std::size_t kMaxFeedBytes = 1 << 20;

    explicit CurlFeedFetcher(std::string userAgent);
    Result fetch(const std::string& url, const std::atomic<bool>& cancelled) override;

private:
    std::string userAgent_;
};
