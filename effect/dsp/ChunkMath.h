#pragma once

#include <Eigen/Core>

#include <cstdint>

// Level conversions and sines of a chunk of samples at once, through the vector library: the
// stages call them on whole chunks only (lanes past a block's end hold a harmless value), so
// every sample gets the same arithmetic wherever the host's block boundaries fall. Results agree
// with the C library's to within a unit or two in the last place.
namespace dsp {

inline constexpr uint32_t kChunk = 16;
using Chunk = Eigen::Array<float, kChunk, 1>;

// 20·log10(max(floorLevel, |x|)) of every lane.
Chunk levelsDb(const Chunk& x, float floorLevel) noexcept;
// 10^(dB/20) of every lane.
Chunk dbToGains(const Chunk& db) noexcept;
// sin of every lane (angles in radians, up to a few thousand).
Chunk sines(const Chunk& angle) noexcept;
// x - floor(x) of every lane.
Chunk fractionalParts(const Chunk& x) noexcept;

}  // namespace dsp
