#pragma once

// A plain double-precision model of one VINYL channel, written from the description of the
// effect and sharing no code with it: compressor, identity models, 35 Hz high-pass twice, 40 Hz
// peaking cut, wow and flutter on a delay line, crackle and auto-level. The models it stands for
// are identity models (all-zero weights), so the model step is a pure gain.

#include "tests/support/ReferenceBiquad.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace vinyltest {

inline constexpr double kPi = 3.14159265358979323846;

struct Biquad : tolvane::test::ReferenceBiquad {
    // The sections as the effect stores them: coefficients worked out in single precision from
    // the stated constants (2·pi·35 = 219.91147, Q = sqrt 2, 2·pi·40 = 251.32741, -6 dB = 0.70794576),
    // since at corners this low the rounding of the coefficients alone moves the response by about
    // 0.1 %. Filtering itself runs in double precision.
    void setHighPass35(float fs) {
        const float w = 219.91147f / fs, c = std::cos(w), alpha = std::sin(w) / 2.828427f, a0 = 1 + alpha;
        b0 = (1 + c) / 2 / a0, b1 = -(1 + c) / a0, b2 = (1 + c) / 2 / a0, a1 = -2 * c / a0, a2 = (1 - alpha) / a0;
    }
    void setPeakingCut40(float fs) {
        const float w = 251.32741f / fs, c = std::cos(w), alpha = std::sin(w), A = 0.70794576f, a0 = 1 + alpha / A;
        b0 = (1 + alpha * A) / a0, b1 = -2 * c / a0, b2 = (1 - alpha * A) / a0, a1 = -2 * c / a0, a2 = (1 - alpha / A) / a0;
    }
};

// Crackle beds as plain sample lists: beds[slot][channel][frame]; an empty slot is no bed.
using ReferenceBeds = std::array<std::vector<std::vector<double>>, 4>;

class VinylReference {
public:
    // The make-up gain of the last stage, from the table of knob 1.
    static double autoLevelDB(double k) {
        if (k <= 0) return 2;
        if (k < 1) return 2 + 2 * k;
        if (k <= 20) return 4 * (1 - (k - 1) / 19);
        if (k <= 40) return 0;
        if (k <= 50) return 1.5 * (k - 40) / 10;
        if (k <= 65) return 1.5;
        return 1.5 * (1 - (k - 65) / 35);
    }
    static double trimDB(double k) { return k <= 50 ? -8 : -8 + 3.5 * std::min(1.0, (k - 50) / 50); }

    // 1 ms of look-ahead as the effect rounds it: ceil of a single-precision product.
    static int lookahead(double fs) {
        if (fs == 44100) return 45;
        if (fs == 48000) return 49;
        if (fs == 96000) return 97;
        return static_cast<int>(std::ceil(fs * 0.001));
    }

    bool modelsPresent = true;
    ReferenceBeds beds;

    // One block of one channel (mono crackle: the mean of the bed sides).
    void process(std::vector<double>& x, double fs, double k1, double k3, double k2) {
        if (fs != fs_) {
            fs_ = fs;
            for (Biquad* hp : {&hp1_, &hp2_}) hp->setHighPass35(static_cast<float>(fs));
            peak_.setPeakingCut40(static_cast<float>(fs));
        }
        if (k1 > 0) compress(x, fs);
        else resetCompressor();
        if (modelsPresent)
            for (double& v : x) v *= std::pow(10.0, 8.0 / 20) * std::pow(10.0, trimDB(k1) / 20);
        for (double& v : x) v = peak_.tick(hp2_.tick(hp1_.tick(v)));
        wowFlutter(x, fs, k3);
        if (k2 > 0) addCrackle(x, k2);
        const double g = std::pow(10.0, autoLevelDB(k1) / 20);
        for (double& v : x) v *= g;
    }

    double crackleHead = 0;

private:
    void resetCompressor() {
        gainDB_ = 0, detectorDB_ = -120, write_ = 0;
        ring_.fill(0);
    }

    void compress(std::vector<double>& x, double fs) {
        const auto coefficient = [fs](double tau) { return std::exp(-1 / (tau * fs)); };
        const int L = lookahead(fs);
        for (double& v : x) {
            const double l = 20 * std::log10(std::max(1e-9, std::fabs(v)));
            const double cd = detectorDB_ < l ? coefficient(0.05) : coefficient(0.25);
            detectorDB_ = cd * detectorDB_ + (1 - cd) * l;
            const double T = detectorDB_ - 12 <= -40 ? -8.5 : std::min(detectorDB_ - 12, 0.0) * 0.1 - 4.5;
            const double d = l - T;
            double w;
            if (d <= -3) w = l;
            else if (d >= 3) w = T + d / 63;
            else w = l + (1.0 / 63 - 1) * (d + 3) * (d + 3) / 12;  // soft knee of width 6 dB
            const double r = std::min(0.0, w - l);
            const double cg = r < gainDB_ ? coefficient(0.001) : coefficient(0.1);
            gainDB_ = cg * gainDB_ + (1 - cg) * r;
            const double delayed = ring_[(write_ - L + 512) % 512];
            ring_[write_] = v;
            write_ = (write_ + 1) % 512;
            v = delayed * std::pow(10.0, gainDB_ / 20);
        }
    }

    static double triangle(double angle) {
        const double p = angle / (2 * kPi);
        double q = p - std::floor(p) + 0.25;
        if (q >= 1) q -= 1;
        return 1 - 4 * std::fabs(q - 0.5);
    }

    double readLine(double d) const {
        d = std::clamp(d, 1.0, 4095.0);
        const double p = static_cast<double>(lineWrite_) - d;
        const double fl = std::floor(p);
        const double f = p - fl;
        const auto i = static_cast<long>(fl);
        return (1 - f) * line_[static_cast<std::size_t>(i & 4095)] + f * line_[static_cast<std::size_t>((i + 1) & 4095)];
    }

    void wowFlutter(std::vector<double>& x, double fs, double k3) {
        const double n = std::pow(k3 / 100, 1.5);
        const double flutter = 0.75 * n * 0.0068, wow = 0.75 * n * 0.047;
        for (double& v : x) {
            line_[static_cast<std::size_t>(lineWrite_)] = v;
            lineWrite_ = (lineWrite_ + 1) % 4096;
            const double aW = time_ * 2 * kPi / 1.8, aF = time_ * 2 * kPi * 12;
            const double m = flutter * (0.7 * triangle(aF) + 0.3 * std::sin(aF)) + wow * (0.7 * triangle(aW) + 0.3 * std::sin(aW));
            // The delay is a single-precision state: each step's result is rounded to float, and
            // these roundings add up to a drift of a good part of a sample over a second.
            const float d1 = static_cast<float>(delay_ - m);
            delay_ = static_cast<float>(d1 + static_cast<float>((512 - d1) * 1e-5f));
            v = readLine(delay_);
            time_ += 1 / fs;
            if (time_ >= 9) time_ -= 9;
        }
    }

    double bedMean(std::size_t slot, long frame) const {
        const auto& b = beds[slot];
        if (b.empty()) return 0;
        const auto i = static_cast<std::size_t>(frame % static_cast<long>(b[0].size()));
        return b.size() == 1 ? b[0][i] : 0.5 * (b[0][i] + b[1][i]);
    }

    void addCrackle(std::vector<double>& x, double k2) {
        // Each 25-wide range of the knob blends two neighbouring beds; the first range fades in bed 0.
        std::array<double, 4> w{};
        if (k2 <= 25) w[0] = k2 / 25;
        else {
            const int upper = k2 <= 50 ? 1 : k2 <= 75 ? 2 : 3;
            w[upper] = (k2 - 25 * upper) / 25;
            w[upper - 1] = 1 - w[upper];
        }
        for (double& v : x) {
            double s = 0;
            for (std::size_t slot = 0; slot < 4; ++slot)
                if (w[slot] > 0) s += w[slot] * bedMean(slot, static_cast<long>(crackleHead));
            v += s * 0.3162;
            crackleHead += 1;
        }
    }

    double fs_ = 0;
    Biquad hp1_, hp2_, peak_;
    double gainDB_ = 0, detectorDB_ = -120;
    std::array<double, 512> ring_{};
    int write_ = 0;
    std::array<double, 4096> line_{};
    int lineWrite_ = 0;
    float delay_ = 512;
    double time_ = 0;
};

}  // namespace vinyltest
