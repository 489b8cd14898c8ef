#pragma once

#include <cmath>
#include <cstdint>

namespace tolvane::resources {

// A small permuted congruential generator. Written here rather than taken from <random> so that
// every build, on every standard library, draws exactly the same numbers from the same seed.
class Random {
public:
    explicit Random(uint64_t seed, uint64_t stream = 0x5851f42d4c957f2dULL)
        : state_(0), increment_((stream << 1u) | 1u) {
        next();
        state_ += seed;
        next();
    }

    uint32_t next() {
        const uint64_t old = state_;
        state_ = old * 6364136223846793005ULL + increment_;
        const auto xorshifted = static_cast<uint32_t>(((old >> 18u) ^ old) >> 27u);
        const auto rotation = static_cast<uint32_t>(old >> 59u);
        return (xorshifted >> rotation) | (xorshifted << ((32u - rotation) & 31u));
    }

    // Uniform in [0, 1), 32 bits of resolution.
    double uniform() { return next() * (1.0 / 4294967296.0); }
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    // Uniform integer in [0, n).
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(uniform() * n); }
    bool chance(double p) { return uniform() < p; }
    double sign() { return chance(0.5) ? 1.0 : -1.0; }

    // Standard normal deviate (Box-Muller; one of the pair is dropped to keep the stream simple).
    double gaussian() {
        const double u1 = 1.0 - uniform();  // (0, 1]
        const double u2 = uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    }

    // Exponential deviate with the given mean (waiting times of a Poisson process).
    double exponential(double mean) { return -mean * std::log(1.0 - uniform()); }

private:
    uint64_t state_;
    uint64_t increment_;
};

}  // namespace tolvane::resources
