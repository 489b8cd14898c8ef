// The chunk functions against the C library, in double precision, over the ranges the stages
// feed them, and every lane alike (which is what keeps the stages' output independent of block
// boundaries).

#include "effect/dsp/ChunkMath.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

namespace {

using dsp::Chunk;
using dsp::kChunk;

// f applied to `values` a chunk at a time, each value also placed in every lane on its own.
std::vector<float> chunked(const std::vector<float>& values, const std::function<Chunk(const Chunk&)>& f) {
    std::vector<float> out(values.size());
    for (std::size_t at = 0; at < values.size(); at += kChunk) {
        Chunk x = Chunk::Zero();
        for (std::size_t i = 0; i < kChunk && at + i < values.size(); ++i) x[static_cast<int>(i)] = values[at + i];
        const Chunk y = f(x);
        for (std::size_t i = 0; i < kChunk && at + i < values.size(); ++i) out[at + i] = y[static_cast<int>(i)];
    }
    for (std::size_t v = 0; v < values.size(); v += 97) {
        const Chunk same = f(Chunk::Constant(values[v]));
        for (int lane = 0; lane < static_cast<int>(kChunk); ++lane)
            if (same[lane] != out[v]) ADD_FAILURE() << "lane " << lane << " differs for " << values[v];
    }
    return out;
}

std::vector<float> spread(float from, float to, int count) {
    std::vector<float> v(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) v[static_cast<std::size_t>(i)] = from + (to - from) * static_cast<float>(i) / static_cast<float>(count - 1);
    return v;
}

TEST(ChunkMath, LevelsGainsAndSinesAgreeWithTheCLibrary) {
    std::vector<float> levels;
    for (float e = -12.0f; e <= 4.0f; e += 0.0037f) levels.push_back((levels.size() % 2 ? -1.0f : 1.0f) * std::pow(10.0f, e));
    levels.push_back(0.0f);
    const auto db = chunked(levels, [](const Chunk& x) { return dsp::levelsDb(x, 1e-9f); });
    for (std::size_t i = 0; i < levels.size(); ++i) {
        const double exact = 20.0 * std::log10(std::max(1e-9, std::fabs(static_cast<double>(levels[i]))));
        ASSERT_NEAR(db[i], exact, 1e-6 + 2e-7 * std::fabs(exact)) << levels[i];  // a unit or two in the last place
    }

    const std::vector<float> dbs = spread(-200.0f, 24.0f, 5001);
    const auto gains = chunked(dbs, [](const Chunk& x) { return dsp::dbToGains(x); });
    // The exponent is rounded to float first, so the bound grows with it.
    for (std::size_t i = 0; i < dbs.size(); ++i)
        ASSERT_NEAR(gains[i] / std::pow(10.0, dbs[i] / 20.0), 1.0, 2e-7 * (1.0 + std::fabs(dbs[i]) / 10.0)) << dbs[i];

    const std::vector<float> angles = spread(0.0f, 680.0f, 20001);  // the flutter's 12 Hz over 9 s
    const auto sines = chunked(angles, [](const Chunk& x) { return dsp::sines(x); });
    const auto fractions = chunked(angles, [](const Chunk& x) { return dsp::fractionalParts(x); });
    for (std::size_t i = 0; i < angles.size(); ++i) {
        ASSERT_NEAR(sines[i], std::sin(static_cast<double>(angles[i])), 2e-7) << angles[i];
        ASSERT_EQ(fractions[i], angles[i] - std::floor(angles[i])) << angles[i];
    }
}

}  // namespace
