#pragma once

#include "effect/RenderState.h"
#include "effect/ResourceSlot.h"
#include "tests/support/Beds.h"
#include "tests/support/ReferenceBiquad.h"
#include "tests/support/Signals.h"

#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

// Helpers shared by the RADIO stage tests: beds made in memory, noise, and a double-precision
// second-order section for the references.
namespace radio_test {

inline std::shared_ptr<AVAudioPCMBuffer> monoBed(const std::vector<float>& samples) {
    return tolvane::test::bedFrom({samples}, 48000);
}

inline std::shared_ptr<std::vector<float>> response(std::vector<float> taps) {
    return std::make_shared<std::vector<float>>(std::move(taps));
}

using tolvane::test::noise;

// A programme-like test signal: two tones and some noise.
inline std::vector<float> programme(std::size_t n, unsigned seed, float amplitude) {
    auto v = noise(n, seed, amplitude * 0.3f);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / 44100.0;
        v[i] += static_cast<float>(amplitude * 0.4 * std::sin(2 * std::numbers::pi * 220 * t) +
                                   amplitude * 0.3 * std::sin(2 * std::numbers::pi * 3100 * t));
    }
    return v;
}

// Cookbook sections for the references.
struct RefBiquad : tolvane::test::ReferenceBiquad {
    static RefBiquad lowPass(double hz, double fs, double alphaDivisor) {
        const double w = 2 * std::numbers::pi * hz / fs, c = std::cos(w), alpha = std::sin(w) / alphaDivisor;
        const double a0 = 1 + alpha;
        return {{(1 - c) / 2 / a0, (1 - c) / a0, (1 - c) / 2 / a0, -2 * c / a0, (1 - alpha) / a0}};
    }
    static RefBiquad highPass(double hz, double fs, double alphaDivisor) {
        const double w = 2 * std::numbers::pi * hz / fs, c = std::cos(w), alpha = std::sin(w) / alphaDivisor;
        const double a0 = 1 + alpha;
        return {{(1 + c) / 2 / a0, -(1 + c) / a0, (1 + c) / 2 / a0, -2 * c / a0, (1 - alpha) / a0}};
    }
    static RefBiquad peaking(double hz, double fs, double alphaDivisor, double db) {
        const double w = 2 * std::numbers::pi * hz / fs, c = std::cos(w), alpha = std::sin(w) / alphaDivisor;
        const double A = std::pow(10.0, db / 40), a0 = 1 + alpha / A;
        return {{(1 + alpha * A) / a0, -2 * c / a0, (1 - alpha * A) / a0, -2 * c / a0, (1 - alpha / A) / a0}};
    }
};

inline double coefficient(double seconds, double fs) { return std::exp(-1.0 / (seconds * fs)); }

// The static compressor: 20:1 above -28 dB on a peak follower.
inline double refDuck(double& envelope, double peak, double fs) {
    const double k = envelope < peak ? coefficient(0.001, fs) : coefficient(0.1, fs);
    envelope = envelope * k + (1 - k) * peak;
    const double d = 20 * std::log10(std::max(envelope, 1e-6));
    return d > -28 ? std::pow(10.0, ((d + 28) / 20 - 28 - d) / 20) : 1.0;
}

}  // namespace radio_test
