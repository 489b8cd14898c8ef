#include "effect/dsp/ChunkMath.h"

// This file is built without GCC's uninitialised-value warnings (effect/CMakeLists.txt): once
// Eigen's 16-wide logarithm, exponential and sine are expanded here, GCC 12 reports the
// deliberately undefined pass-through operand inside its own AVX-512 intrinsics as uninitialised.
namespace dsp {

namespace {
constexpr float kDbPerNeper = 8.685889638f;    // 20 / ln 10
constexpr float kNepersPerDb = 0.1151292546f;  // ln 10 / 20
}  // namespace

Chunk levelsDb(const Chunk& x, float floorLevel) noexcept { return x.abs().max(floorLevel).log() * kDbPerNeper; }

Chunk dbToGains(const Chunk& db) noexcept { return (db * kNepersPerDb).exp(); }

Chunk sines(const Chunk& angle) noexcept { return angle.sin(); }

Chunk fractionalParts(const Chunk& x) noexcept { return x - x.floor(); }

}  // namespace dsp
