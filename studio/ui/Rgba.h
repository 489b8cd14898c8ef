#pragma once

namespace tolvane::studio {

// An sRGB colour with its opacity.
struct Rgba {
    double r = 0, g = 0, b = 0, a = 1;
    static constexpr Rgba grey(double white, double alpha = 1) { return {white, white, white, alpha}; }
    constexpr Rgba withAlpha(double alpha) const { return {r, g, b, a * alpha}; }
    bool operator==(const Rgba&) const = default;
};

}  // namespace tolvane::studio
