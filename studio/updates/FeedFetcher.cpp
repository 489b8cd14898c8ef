#include "studio/updates/FeedFetcher.h"

#include "platform/foundation/URL.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <optional>

namespace {

constexpr long kConnectTimeoutSeconds = 10;
constexpr long kTransferTimeoutSeconds = 30;

struct Transfer {
    std::string body;
    bool tooLarge = false;
    const std::atomic<bool>* cancelled = nullptr;
};

size_t appendBody(char* data, size_t size, size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    if (transfer.body.size() + bytes > CurlFeedFetcher::kMaxFeedBytes) {
        transfer.tooLarge = true;
        return 0;  // makes libcurl stop with a write error
    }
    transfer.body.append(data, bytes);
    return bytes;
}

int checkCancelled(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto& transfer = *static_cast<Transfer*>(user);
    return transfer.cancelled->load(std::memory_order_relaxed) ? 1 : 0;
}

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

FeedFetcher::Result failure(std::string why) { return {false, {}, std::move(why)}; }

}  // namespace

CurlFeedFetcher::CurlFeedFetcher(std::string userAgent) : userAgent_(std::move(userAgent)) { initialiseCurlOnce(); }

FeedFetcher::Result CurlFeedFetcher::fetch(const std::string& url, const std::atomic<bool>& cancelled) {
    const std::optional<URL> parsed = URL::fromString(url);
    if (!parsed || !(parsed->scheme == "https" || (parsed->scheme == "http" && parsed->isLoopback()))) {
        return failure("the feed address must be an https address");
    }
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) return failure("the network library could not start");

    Transfer transfer;
    transfer.cancelled = &cancelled;
    char errorText[CURL_ERROR_SIZE] = {};
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    // A feed on this machine never goes through a proxy the environment names.
    curl_easy_setopt(handle, CURLOPT_NOPROXY, "localhost,127.0.0.0/8,::1");
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, kTransferTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_USERAGENT, userAgent_.c_str());
    curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, checkCancelled);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);

    const CURLcode code = curl_easy_perform(handle);
    if (transfer.tooLarge) return failure("the feed is larger than " + std::to_string(kMaxFeedBytes / 1024) + " KiB");
    if (code == CURLE_ABORTED_BY_CALLBACK) return failure("the check was cancelled");
    if (code != CURLE_OK) return failure(errorText[0] != '\0' ? errorText : curl_easy_strerror(code));
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 400) return failure("the server answered HTTP " + std::to_string(status));
    return {true, std::move(transfer.body), {}};
}
