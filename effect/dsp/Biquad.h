#pragma once

#include <cmath>
#include <cstdint>

// Second-order sections shared by every stage: cookbook coefficient sets normalised by a0 and
// the transposed direct form II step. Stages compute w0 and alpha themselves, because each one
// fixes its own constants and order of operations; these helpers only turn (w0, alpha, gain)
// into coefficients.
namespace dsp {

inline constexpr float kTwoPi = 6.283185f;

struct BiquadCoefficients {
    float b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;  // identity by default
};

inline BiquadCoefficients lowPass(float w0, float alpha) {
    const float c = std::cos(w0);
    const float a0 = 1.0f + alpha;
    return {0.5f * (1.0f - c) / a0, (1.0f - c) / a0, 0.5f * (1.0f - c) / a0, -2.0f * c / a0, (1.0f - alpha) / a0};
}

inline BiquadCoefficients highPass(float w0, float alpha) {
    const float c = std::cos(w0);
    const float a0 = 1.0f + alpha;
    return {0.5f * (1.0f + c) / a0, -(1.0f + c) / a0, 0.5f * (1.0f + c) / a0, -2.0f * c / a0, (1.0f - alpha) / a0};
}

// A = 10^(dB/40).
inline BiquadCoefficients peaking(float w0, float alpha, float A) {
    const float c = std::cos(w0);
    const float a0 = 1.0f + alpha / A;
    return {(1.0f + alpha * A) / a0, -2.0f * c / a0, (1.0f - alpha * A) / a0, -2.0f * c / a0, (1.0f - alpha / A) / a0};
}

// Shelves with slope 1 (they use 2·sqrt(A)·alpha); A = 10^(dB/40).
inline BiquadCoefficients lowShelf(float w0, float alpha, float A) {
    const float c = std::cos(w0);
    const float s = 2.0f * std::sqrt(A) * alpha;
    const float a0 = (A + 1.0f) + (A - 1.0f) * c + s;
    return {A * ((A + 1.0f) - (A - 1.0f) * c + s) / a0, 2.0f * A * ((A - 1.0f) - (A + 1.0f) * c) / a0,
            A * ((A + 1.0f) - (A - 1.0f) * c - s) / a0, -2.0f * ((A - 1.0f) + (A + 1.0f) * c) / a0,
            ((A + 1.0f) + (A - 1.0f) * c - s) / a0};
}

inline BiquadCoefficients highShelf(float w0, float alpha, float A) {
    const float c = std::cos(w0);
    const float s = 2.0f * std::sqrt(A) * alpha;
    const float a0 = (A + 1.0f) - (A - 1.0f) * c + s;
    return {A * ((A + 1.0f) + (A - 1.0f) * c + s) / a0, -2.0f * A * ((A - 1.0f) + (A + 1.0f) * c) / a0,
            A * ((A + 1.0f) + (A - 1.0f) * c - s) / a0, 2.0f * ((A - 1.0f) - (A + 1.0f) * c) / a0,
            ((A + 1.0f) - (A - 1.0f) * c - s) / a0};
}

// One sample through a section whose two states live wherever the caller keeps them.
inline float tick(const BiquadCoefficients& k, float x, float& z1, float& z2) {
    const float y = k.b0 * x + z1;
    z1 = k.b1 * x - k.a1 * y + z2;
    z2 = k.b2 * x - k.a2 * y;
    return y;
}

inline void processInPlace(const BiquadCoefficients& k, float* samples, uint32_t n, float& z1, float& z2) {
    float s1 = z1, s2 = z2;
    for (uint32_t i = 0; i < n; ++i) samples[i] = tick(k, samples[i], s1, s2);
    z1 = s1;
    z2 = s2;
}

}  // namespace dsp
