#pragma once

// Test signals that are the same on every run, and the block splits they are played in.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

namespace tolvane::test {

// Uniform noise in [-amplitude, amplitude]: the same seed gives the same samples.
inline std::vector<float> noise(std::size_t n, unsigned seed, float amplitude = 0.5f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> d(-amplitude, amplitude);
    std::vector<float> v(n);
    for (float& x : v) x = d(rng);
    return v;
}

// amplitude · sin(2π · hz · i / fs), worked out in double precision.
inline std::vector<float> sine(std::size_t n, double hz, double fs, double amplitude = 0.5) {
    std::vector<float> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / fs));
    return v;
}

// amplitude · sin(step · i) for i = start, start + 1, ..., worked out in single precision.
inline std::vector<float> tone(std::size_t n, float amplitude, float step, std::size_t start = 0) {
    std::vector<float> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = amplitude * std::sin(static_cast<float>(start + i) * step);
    return v;
}

// Calls run(offset, frames) for consecutive blocks of `block` frames over [0, total); the last
// block may be shorter.
template <class Run>
void forEachBlock(std::size_t total, std::size_t block, Run&& run) {
    for (std::size_t at = 0; at < total; at += block) run(at, static_cast<uint32_t>(std::min(block, total - at)));
}

}  // namespace tolvane::test
