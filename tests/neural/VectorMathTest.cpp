// The packet activations of the hand-written kernels against double-precision references over
// the whole float range, and the agreement of the packet widths lane by lane.

#include "neural/VectorMath.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace {

namespace vec = tolvane::vec;

// Arguments from 1e-30 to 3e38 in both signs, geometrically spaced (about 4000 per decade), with
// zeros, subnormals, the largest float and the infinities.
std::vector<float> wholeRange() {
    std::vector<float> x = {0.0f, -0.0f, std::numeric_limits<float>::denorm_min(), 1e-40f, -1e-40f,
                            std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()};
    for (double v = 1e-30; v < 3e38; v *= 1.0006) {
        x.push_back(static_cast<float>(v));
        x.push_back(static_cast<float>(-v));
    }
    while (x.size() % vec::kWidth != 0) x.push_back(0.5f);
    return x;
}

template <class P, class F>
std::vector<float> applied(const std::vector<float>& x, F&& f) {
    constexpr std::size_t width = sizeof(P) / sizeof(float);
    std::vector<float> y(x.size());
    for (std::size_t i = 0; i + width <= x.size(); i += width) vec::store(y.data() + i, f(vec::load<P>(x.data() + i)));
    return y;
}

TEST(VectorMath, TanhIsWithinAFewUnitsInTheLastPlaceOverTheWholeRange) {
    const std::vector<float> x = wholeRange();
    const std::vector<float> plain = applied<vec::Packet>(x, [](const vec::Packet& p) { return vec::tanh(p); });
    const std::vector<float> saturating =
        applied<vec::Packet>(x, [](const vec::Packet& p) { return vec::saturatingTanh(p); });
    // The two differ only in what a NaN gives.
    ASSERT_EQ(std::memcmp(plain.data(), saturating.data(), x.size() * sizeof(float)), 0);
    double worstAbsolute = 0, worstRelative = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double exact = std::tanh(static_cast<double>(x[i]));
        ASSERT_TRUE(std::isfinite(plain[i])) << x[i];
        ASSERT_LE(std::fabs(plain[i]), 1.0f) << x[i];
        ASSERT_EQ(std::signbit(plain[i]), std::signbit(x[i])) << x[i];
        worstAbsolute = std::max(worstAbsolute, std::fabs(plain[i] - exact));
        if (std::fabs(exact) > 1e-37)
            worstRelative = std::max(worstRelative, std::fabs(plain[i] - exact) / std::fabs(exact));
    }
    // A few units in the last place (2^-24 of 1), also where multiply-adds are not fused.
    EXPECT_LT(worstAbsolute, 4e-7);
    EXPECT_LT(worstRelative, 4e-7);
}

TEST(VectorMath, SigmoidIsWithinTwoTenMillionthsOverTheWholeRange) {
    const std::vector<float> x = wholeRange();
    // The kernels feed half the argument.
    std::vector<float> half(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) half[i] = 0.5f * x[i];
    const std::vector<float> y = applied<vec::Packet>(half, [](const vec::Packet& p) { return vec::sigmoidOfTwice(p); });
    double worst = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double exact = 1.0 / (1.0 + std::exp(-static_cast<double>(x[i])));
        ASSERT_TRUE(y[i] >= 0.0f && y[i] <= 1.0f) << x[i];
        worst = std::max(worst, std::fabs(y[i] - exact));
    }
    EXPECT_LT(worst, 2e-7);
}

// tanh keeps a NaN; the recurrent kernel's saturating forms make it ±1 (0 or 1 for the sigmoid)
// by its sign bit. Every packet width gives the same lanes.
TEST(VectorMath, NaNStaysNaNOrSaturatesAndEveryPacketWidthGivesTheSameLanes) {
    std::vector<float> x = wholeRange();
    x[3] = std::numeric_limits<float>::quiet_NaN();
    x[4] = -std::numeric_limits<float>::quiet_NaN();
    const auto viaPacket = applied<vec::Packet>(x, [](const vec::Packet& p) { return vec::tanh(p); });
    const auto viaHalf = applied<vec::HalfPacket>(x, [](const vec::HalfPacket& p) { return vec::tanh(p); });
    EXPECT_TRUE(std::isnan(viaPacket[3]));
    EXPECT_EQ(std::memcmp(viaPacket.data(), viaHalf.data(), x.size() * sizeof(float)), 0);

    const auto saturating = applied<vec::Packet>(x, [](const vec::Packet& p) { return vec::saturatingTanh(p); });
    const auto saturatingHalf =
        applied<vec::HalfPacket>(x, [](const vec::HalfPacket& p) { return vec::saturatingTanh(p); });
    const auto sigmoid = applied<vec::Packet>(x, [](const vec::Packet& p) { return vec::sigmoidOfTwice(p); });
    EXPECT_NEAR(saturating[3], 1.0f, 2.4e-7);
    EXPECT_NEAR(saturating[4], -1.0f, 2.4e-7);
    EXPECT_NEAR(sigmoid[3], 1.0f, 2e-7);
    EXPECT_NEAR(sigmoid[4], 0.0f, 2e-7);
    EXPECT_EQ(std::memcmp(saturating.data(), saturatingHalf.data(), x.size() * sizeof(float)), 0);

    const auto clamped = applied<vec::Packet>(x, [](const vec::Packet& p) { return vec::hardTanh(p); });
    const auto rectified = applied<vec::Packet>(x, [](const vec::Packet& p) { return vec::relu(p); });
    EXPECT_TRUE(std::isnan(clamped[3]));
    EXPECT_EQ(rectified[3], 0.0f);  // as the activation objects do
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (i == 3 || i == 4) continue;
        ASSERT_EQ(clamped[i], std::fmax(-1.0f, std::fmin(1.0f, x[i]))) << x[i];
        ASSERT_EQ(rectified[i], x[i] > 0.0f ? x[i] : 0.0f) << x[i];
    }
}

}  // namespace
