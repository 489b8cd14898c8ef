#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

// Small double-precision building blocks shared by the bed, impulse-response and test-file makers.
namespace tolvane::resources {

inline constexpr double kPi = 3.14159265358979323846;
inline constexpr double kTwoPi = 2.0 * kPi;

using Signal = std::vector<double>;

// One second-order section (audio-EQ-cookbook designs), transposed direct form II.
struct Biquad {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    double z1 = 0, z2 = 0;

    double process(double x) {
        const double y = b0 * x + z1;
        z1 = b1 * x - a1 * y + z2;
        z2 = b2 * x - a2 * y;
        return y;
    }
    void clear() { z1 = z2 = 0; }

    static Biquad lowPass(double f, double q, double fs);
    static Biquad highPass(double f, double q, double fs);
    static Biquad bandPass(double f, double q, double fs);  // 0 dB peak gain
    static Biquad peaking(double f, double q, double gainDb, double fs);
};

// A chain of sections run one after the other.
struct FilterChain {
    std::vector<Biquad> sections;

    double process(double x) {
        for (Biquad& s : sections) x = s.process(x);
        return x;
    }
    void clear() {
        for (Biquad& s : sections) s.clear();
    }
};

// Filters a signal as if it repeated for ever: the chain runs over the signal twice and the
// second pass is kept, so the start continues the end without a seam (the chain's memory has
// decayed long before one period for the lengths used here).
Signal filterLooped(const Signal& input, FilterChain chain);

// Adds `event` into `target` starting at `start`, wrapping past the end to the beginning, so an
// event that rings over the loop point continues at the start.
void addWrapped(Signal& target, size_t start, const Signal& event, double gain = 1.0);

double rms(const Signal& s);
double peak(const Signal& s);
void scale(Signal& s, double gain);
// Scales so the RMS becomes the given level in dBFS.
void setRmsDb(Signal& s, double db);
inline double dbToGain(double db) { return std::pow(10.0, db / 20.0); }

// White Gaussian noise from the given seed.
Signal whiteNoise(size_t n, unsigned long long seed);

}  // namespace tolvane::resources
