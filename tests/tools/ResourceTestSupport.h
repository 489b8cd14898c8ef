#pragma once

// Reading the generated resources and measuring them, for the resource tests.

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace tolvane::test {

inline std::filesystem::path resourceDir() { return TOLVANE_RESOURCE_DIR; }
inline std::filesystem::path studioResourceDir() { return TOLVANE_STUDIO_RESOURCE_DIR; }

struct Sound {
    double sampleRate = 0;
    std::vector<std::vector<double>> channels;

    size_t frames() const { return channels.empty() ? 0 : channels.front().size(); }
};

inline Sound readSound(const std::filesystem::path& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) throw std::runtime_error("cannot open " + path.string());
    std::vector<double> interleaved(static_cast<size_t>(info.frames * info.channels));
    const sf_count_t got = sf_readf_double(file, interleaved.data(), info.frames);
    sf_close(file);
    if (got != info.frames) throw std::runtime_error("short read of " + path.string());
    Sound sound;
    sound.sampleRate = info.samplerate;
    sound.channels.assign(static_cast<size_t>(info.channels), std::vector<double>(static_cast<size_t>(info.frames)));
    for (size_t i = 0; i < static_cast<size_t>(info.frames); ++i) {
        for (size_t c = 0; c < sound.channels.size(); ++c) sound.channels[c][i] = interleaved[i * sound.channels.size() + c];
    }
    return sound;
}

inline double rmsOf(const std::vector<double>& s, size_t begin = 0, size_t end = SIZE_MAX) {
    end = std::min(end, s.size());
    if (end <= begin) return 0.0;
    double sum = 0.0;
    for (size_t i = begin; i < end; ++i) sum += s[i] * s[i];
    return std::sqrt(sum / static_cast<double>(end - begin));
}

inline double peakOf(const std::vector<double>& s) {
    double p = 0.0;
    for (double x : s) p = std::max(p, std::abs(x));
    return p;
}

inline double toDb(double level) { return 20.0 * std::log10(std::max(level, 1e-12)); }

// One DFT coefficient, summed directly (the signals here are short).
inline std::complex<double> dftAt(const std::vector<double>& s, double hz, double sampleRate) {
    std::complex<double> sum = 0.0;
    const double w = -2.0 * M_PI * hz / sampleRate;
    for (size_t n = 0; n < s.size(); ++n) sum += s[n] * std::polar(1.0, w * static_cast<double>(n));
    return sum;
}

// Power-weighted mean frequency of a short response (its brightness), from a direct DFT.
inline double spectralCentroid(const std::vector<double>& s, double sampleRate) {
    double weighted = 0.0, total = 0.0;
    for (double hz = 20.0; hz < sampleRate / 2; hz += 20.0) {
        const double power = std::norm(dftAt(s, hz, sampleRate));
        weighted += hz * power;
        total += power;
    }
    return weighted / total;
}

// Energy of the second difference in a window, reading the signal as a loop: what a click adds.
inline double roughnessAround(const std::vector<double>& s, size_t centre, size_t halfWidth) {
    const size_t n = s.size();
    double sum = 0.0;
    for (size_t k = 0; k < 2 * halfWidth; ++k) {
        const size_t i = (centre + n - halfWidth + k) % n;
        const double d2 = s[(i + 1) % n] - 2.0 * s[i] + s[(i + n - 1) % n];
        sum += d2 * d2;
    }
    return sum;
}

// A click where the end joins the start: the roughness of a few samples across the seam against
// the roughest stretch of the same size within the surrounding 10 ms on either side. A seamless
// loop scores about 1 or below; a jump in otherwise smooth material scores far above.
inline double seamClickRatio(const std::vector<double>& s) {
    constexpr size_t kHalf = 4;
    const double seam = roughnessAround(s, 0, kHalf);
    double loudestNearby = 1e-30;
    for (size_t offset = 3 * kHalf; offset <= 440; offset += 2 * kHalf) {
        loudestNearby = std::max(loudestNearby, roughnessAround(s, offset, kHalf));
        loudestNearby = std::max(loudestNearby, roughnessAround(s, s.size() - offset, kHalf));
    }
    return seam / loudestNearby;
}

}  // namespace tolvane::test
