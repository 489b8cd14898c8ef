#include "effect/Latency.h"

#include "effect/stages/VinylStage.h"

#include <algorithm>

namespace {
// The wow and flutter line is read at the nominal delay; a read at d is d - 1 samples behind.
constexpr int64_t kVinylLineDelay = 512 - 1;
constexpr std::size_t kMask = LatencyAlignment::kCapacity - 1;
static_assert((LatencyAlignment::kCapacity & kMask) == 0, "the alignment ring must be a power of two");
}  // namespace

int64_t effectLatencyFrames(float sampleRate) noexcept { return kVinylLineDelay + compressorLookahead(sampleRate); }

void LatencyAlignment::clear() noexcept {
    left_.fill(0.0f);
    right_.fill(0.0f);
    write_ = 0;
}

void LatencyAlignment::process(float* L, float* R, uint32_t n, int64_t frames) noexcept {
    const auto delay = static_cast<std::size_t>(std::clamp<int64_t>(frames, 0, kCapacity - 1));
    if (delay == 0) return;
    std::size_t write = write_;
    for (uint32_t i = 0; i < n; ++i) {
        const std::size_t read = (write - delay) & kMask;
        left_[write] = L[i];
        L[i] = left_[read];
        if (R) {
            right_[write] = R[i];
            R[i] = right_[read];
        }
        write = (write + 1) & kMask;
    }
    write_ = write;
}
