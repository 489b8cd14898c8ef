#pragma once

namespace tolvane::test {

// A second-order section in double precision, transposed direct form II, for the references the
// tests work out themselves; the coefficients are normalised (a0 = 1).
struct ReferenceBiquad {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0, z1 = 0, z2 = 0;

    // From coefficients as the cookbook forms give them, before the division by a0.
    static ReferenceBiquad normalised(double b0, double b1, double b2, double a0, double a1, double a2) {
        return {b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0};
    }

    double tick(double x) {
        const double y = b0 * x + z1;
        z1 = b1 * x - a1 * y + z2;
        z2 = b2 * x - a2 * y;
        return y;
    }
};

}  // namespace tolvane::test
