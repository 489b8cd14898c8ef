#pragma once

// The machine's multiply-add rate, measured: the bound against which the model benchmarks state
// how far each player is from doing nothing but its multiply-adds.

#include "neural/VectorMath.h"

#include <Eigen/Core>

#include <algorithm>
#include <ctime>

namespace bench {

namespace detail {

inline double threadNow() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Multiply-adds per nanosecond of Packet arithmetic: 16 independent chains (more than the
// latency times the issue width of any current core), best of a few runs of about 20 ms.
template <class Packet>
double packetMultiplyAddRate() {
    using namespace Eigen::internal;
    constexpr int kChains = 16;
    constexpr long kRounds = 200000;
    const double lanes = static_cast<double>(sizeof(Packet) / sizeof(float));
    double best = 0;
    for (int run = 0; run < 5; ++run) {
        Packet acc[kChains];
        for (int c = 0; c < kChains; ++c) acc[c] = pset1<Packet>(0.001f * static_cast<float>(c));
        const Packet a = pset1<Packet>(0.999f);
        const Packet b = pset1<Packet>(1e-4f);
        const double start = threadNow();
        for (long r = 0; r < kRounds; ++r) {
            for (int c = 0; c < kChains; ++c) acc[c] = pmadd(acc[c], a, b);
            // Keeps the chains in registers and the loop from being folded away.
            asm volatile("" : "+v"(acc[0]), "+v"(acc[5]), "+v"(acc[10]), "+v"(acc[15]));
        }
        const double seconds = threadNow() - start;
        float sink = 0;
        for (int c = 0; c < kChains; ++c) sink += predux(acc[c]);
        asm volatile("" : : "v"(sink));
        best = std::max(best, static_cast<double>(kRounds) * kChains * lanes / (seconds * 1e9));
    }
    return best;
}

}  // namespace detail

// The best of the kernels' packets and Eigen's widest ones: some processors issue narrower
// packets on more ports, or at a higher clock.
inline double multiplyAddsPerNanosecond() {
    using Widest = Eigen::internal::packet_traits<float>::type;
    return std::max(detail::packetMultiplyAddRate<tolvane::vec::Packet>(), detail::packetMultiplyAddRate<Widest>());
}

}  // namespace bench
