#pragma once

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace tolvane::test {

// How long the real-time soaks run: a few seconds in CI, as long as TOLVANE_SOAK_SECONDS asks
// (the run by hand is 60 s on an idle machine, where missed deadlines count as failures too).
inline std::chrono::seconds soakLength() {
    const char* text = std::getenv("TOLVANE_SOAK_SECONDS");
    return std::chrono::seconds(text ? std::max(1, std::atoi(text)) : 3);
}

inline bool isLongSoak() { return soakLength() >= std::chrono::seconds(60); }

// Sanitizer builds run code many times slower than real time; there a unit in another process
// misses its deadlines, and its output is silence.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kRunsInRealTime = false;
#else
inline constexpr bool kRunsInRealTime = true;
#endif

}  // namespace tolvane::test
