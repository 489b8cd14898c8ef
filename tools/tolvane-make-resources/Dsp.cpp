#include "tools/tolvane-make-resources/Dsp.h"

#include "tools/tolvane-make-resources/Random.h"

#include <algorithm>

namespace tolvane::resources {
namespace {

Biquad normalised(double b0, double b1, double b2, double a0, double a1, double a2) {
    Biquad q;
    q.b0 = b0 / a0;
    q.b1 = b1 / a0;
    q.b2 = b2 / a0;
    q.a1 = a1 / a0;
    q.a2 = a2 / a0;
    return q;
}

}  // namespace

Biquad Biquad::lowPass(double f, double q, double fs) {
    const double w = kTwoPi * f / fs, c = std::cos(w), alpha = std::sin(w) / (2.0 * q);
    return normalised((1 - c) / 2, 1 - c, (1 - c) / 2, 1 + alpha, -2 * c, 1 - alpha);
}

Biquad Biquad::highPass(double f, double q, double fs) {
    const double w = kTwoPi * f / fs, c = std::cos(w), alpha = std::sin(w) / (2.0 * q);
    return normalised((1 + c) / 2, -(1 + c), (1 + c) / 2, 1 + alpha, -2 * c, 1 - alpha);
}

Biquad Biquad::bandPass(double f, double q, double fs) {
    const double w = kTwoPi * f / fs, c = std::cos(w), alpha = std::sin(w) / (2.0 * q);
    return normalised(alpha, 0, -alpha, 1 + alpha, -2 * c, 1 - alpha);
}

Biquad Biquad::peaking(double f, double q, double gainDb, double fs) {
    const double w = kTwoPi * f / fs, c = std::cos(w), alpha = std::sin(w) / (2.0 * q);
    const double a = std::pow(10.0, gainDb / 40.0);
    return normalised(1 + alpha * a, -2 * c, 1 - alpha * a, 1 + alpha / a, -2 * c, 1 - alpha / a);
}

Signal filterLooped(const Signal& input, FilterChain chain) {
    chain.clear();
    for (double x : input) chain.process(x);
    Signal out(input.size());
    for (size_t i = 0; i < input.size(); ++i) out[i] = chain.process(input[i]);
    return out;
}

void addWrapped(Signal& target, size_t start, const Signal& event, double gain) {
    if (target.empty()) return;
    const size_t n = target.size();
    for (size_t i = 0; i < event.size(); ++i) target[(start + i) % n] += gain * event[i];
}

double rms(const Signal& s) {
    if (s.empty()) return 0.0;
    double sum = 0.0;
    for (double x : s) sum += x * x;
    return std::sqrt(sum / static_cast<double>(s.size()));
}

double peak(const Signal& s) {
    double p = 0.0;
    for (double x : s) p = std::max(p, std::abs(x));
    return p;
}

void scale(Signal& s, double gain) {
    for (double& x : s) x *= gain;
}

void setRmsDb(Signal& s, double db) {
    const double r = rms(s);
    if (r > 0.0) scale(s, dbToGain(db) / r);
}

Signal whiteNoise(size_t n, unsigned long long seed) {
    Random random(seed);
    Signal s(n);
    for (double& x : s) x = random.gaussian();
    return s;
}

}  // namespace tolvane::resources
