#pragma once

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <optional>

// A span as the kernel's waits take it; a negative span is no wait.
inline timespec timespecFor(std::chrono::nanoseconds span) {
    span = std::max(span, std::chrono::nanoseconds{0});
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
    return {static_cast<time_t>(seconds.count()), static_cast<long>((span - seconds).count())};
}

// Waits until one of `entries` is ready, `timeout` has passed (for ever when there is none; a
// negative span is no wait) or a signal arrives: callers look again at what they wait for.
inline int pollFor(pollfd* entries, nfds_t count, std::optional<std::chrono::nanoseconds> timeout) {
    if (!timeout) return ::ppoll(entries, count, nullptr, nullptr);
    const timespec limit = timespecFor(*timeout);
    return ::ppoll(entries, count, &limit, nullptr);
}

// The same for one descriptor that becomes readable, such as a wake counter.
inline int pollReadable(int fd, std::optional<std::chrono::nanoseconds> timeout) {
    pollfd entry{fd, POLLIN, 0};
    return pollFor(&entry, 1, timeout);
}
