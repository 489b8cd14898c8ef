#pragma once

#include <Eigen/Core>

#include <cmath>

// Side-by-side arithmetic for the RADIO stage's FM path. The two channels, the three bands and
// the static ducker all do the same few steps on every frame, so they run in the lanes of one
// vector: the crossover sections of both channels in four lanes, the band compressors of both
// channels and the ducker in eight. Every lane does exactly the arithmetic a scalar version
// would do, in the same order; only the logarithm, the exponential and tanh are the vector
// library's, which agree with the C library's to within a unit or two in the last place.
namespace radio::lanes {

using Quad = Eigen::Array<float, 4, 1>;
using Bank = Eigen::Array<float, 8, 1>;

// A two-pole section per lane (transposed direct form II, as dsp::tick).
struct QuadSection {
    Quad b0, b1, b2, a1, a2;
    Quad z1 = Quad::Zero();
    Quad z2 = Quad::Zero();

    Quad tick(const Quad& x) noexcept {
        const Quad y = b0 * x + z1;
        z1 = b1 * x - a1 * y + z2;
        z2 = b2 * x - a2 * y;
        return y;
    }
};

// The chunk of frames whose compressor gains and saturations are computed together: their
// inputs do not depend on one another, so the logarithms, exponentials and tanh of a whole chunk
// run through the vector library at full width. Those functions always see whole chunks, never a
// scalar remainder, so every frame gets the same arithmetic however a host splits its blocks.
inline constexpr int kChunk = 32;
using BankChunk = Eigen::Array<float, 8, kChunk>;  // one column per frame
using QuadChunk = Eigen::Array<float, 4, kChunk>;

// Peak followers with static gain curves in dB, one per lane: above the threshold the level is
// brought down by the ratio, and the make-up is added throughout. A lane at or under its
// threshold gets `belowGain`, the make-up gain as the caller computed it once for the block.
struct CompressorBank {
    Bank attack, release, threshold, ratio, makeup, belowGain;
    Bank follower = Bank::Zero();

    static constexpr float kFloor = 1.0e-6f;               // levels are read in dB from -120 up
    static constexpr float kDbPerNeper = 8.685889638f;     // 20 / ln 10
    static constexpr float kNepersPerDb = 0.1151292546f;  // ln 10 / 20

    // Moves every follower towards its level (one frame; each depends on the last).
    const Bank& follow(const Bank& level) noexcept {
        const Bank k = (level > follower).select(attack, release);
        follower = follower * k + (1.0f - k) * level;
        return follower;
    }

    // The gains of a chunk of followed levels. (GCC 12 reports the deliberately undefined
    // pass-through operand inside its own AVX-512 intrinsics as uninitialised once Eigen's
    // 16-wide logarithm and exponential are inlined.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
    void gains(const BankChunk& followed, BankChunk& gain) const noexcept {
        const BankChunk db = followed.max(kFloor).log() * kDbPerNeper;
        BankChunk above;
        for (int c = 0; c < kChunk; ++c) above.col(c) = (db.col(c) - threshold) / ratio + threshold - db.col(c) + makeup;
        const BankChunk raised = (above * kNepersPerDb).exp();
        for (int c = 0; c < kChunk; ++c) gain.col(c) = (db.col(c) > threshold).select(raised.col(c), belowGain);
    }
#pragma GCC diagnostic pop
};

}  // namespace radio::lanes
