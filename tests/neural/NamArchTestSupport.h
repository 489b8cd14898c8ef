#pragma once

// Helpers of the architecture tests: seeded random data, a naive double-precision grouped
// convolution written with plain loops (the reference the layers are checked against), and
// block-split streaming of float matrices.

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include <Eigen/Dense>
#include <gtest/gtest.h>

#include "tests/support/Signals.h"

namespace nam_test {

// Signals of the references: signal[channel][frame], in double.
using Signal = std::vector<std::vector<double>>;

inline std::vector<float> seededWeights(size_t n, unsigned seed, float scale = 0.5f) {
    return tolvane::test::noise(n, seed, scale);
}

inline Signal seededSignal(int channels, int frames, unsigned seed, double scale = 1.0) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> dist(-scale, scale);
    Signal s(channels, std::vector<double>(frames));
    for (auto& channel : s)
        for (auto& value : channel) value = static_cast<float>(dist(rng));  // representable in float
    return s;
}

inline Eigen::MatrixXf toMatrix(const Signal& s) {
    Eigen::MatrixXf m(static_cast<Eigen::Index>(s.size()), static_cast<Eigen::Index>(s.front().size()));
    for (size_t c = 0; c < s.size(); ++c)
        for (size_t t = 0; t < s[c].size(); ++t) m(c, t) = static_cast<float>(s[c][t]);
    return m;
}

// A grouped, dilated causal convolution read straight from a flat weight list in the file's
// order (per group, output row, input column, tap; then the bias), frames before 0 silent:
//     y[o][t] = b[o] + sum over i in o's group, k of w(o, i, k) x[i][t - (K-1-k) d]
struct ConvReference {
    int in, out, kernel, dilation, groups;
    bool bias;

    size_t weightCount() const { return size_t(kernel) * out * in / groups + (bias ? out : 0); }

    // Consumes weightCount() values from `weights` starting at `pos`.
    Signal run(const std::vector<float>& weights, size_t& pos, const Signal& x) const {
        const int frames = static_cast<int>(x.front().size());
        const int outPerGroup = out / groups, inPerGroup = in / groups;
        // w[o][i][k] over full channel indices; zero outside the group blocks.
        std::vector<std::vector<std::vector<double>>> w(
            out, std::vector<std::vector<double>>(in, std::vector<double>(kernel, 0.0)));
        for (int g = 0; g < groups; ++g)
            for (int o = 0; o < outPerGroup; ++o)
                for (int i = 0; i < inPerGroup; ++i)
                    for (int k = 0; k < kernel; ++k) w[g * outPerGroup + o][g * inPerGroup + i][k] = weights[pos++];
        std::vector<double> b(out, 0.0);
        if (bias)
            for (int o = 0; o < out; ++o) b[o] = weights[pos++];
        Signal y(out, std::vector<double>(frames, 0.0));
        for (int o = 0; o < out; ++o)
            for (int t = 0; t < frames; ++t) {
                double sum = b[o];
                for (int i = 0; i < in; ++i)
                    for (int k = 0; k < kernel; ++k) {
                        const long source = long(t) - long(kernel - 1 - k) * dilation;
                        if (source >= 0) sum += w[o][i][k] * x[i][source];
                    }
                y[o][t] = sum;
            }
        return y;
    }
};

// Block lengths that cover `frames` with the given split (the last block may be shorter).
inline std::vector<int> blockLengths(int frames, int split) {
    std::vector<int> lengths;
    for (int done = 0; done < frames; done += split) lengths.push_back(std::min(split, frames - done));
    return lengths;
}

// Irregular block lengths in [1, maxBlock], seeded.
inline std::vector<int> irregularBlockLengths(int frames, int maxBlock, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> dist(1, maxBlock);
    std::vector<int> lengths;
    for (int done = 0; done < frames;) {
        const int n = std::min(dist(rng), frames - done);
        lengths.push_back(n);
        done += n;
    }
    return lengths;
}

// Largest |a - b| relative to max(1, |b|) over all samples.
inline double maxRelativeError(const Eigen::MatrixXf& actual, const Signal& expected) {
    double worst = 0.0;
    for (size_t c = 0; c < expected.size(); ++c)
        for (size_t t = 0; t < expected[c].size(); ++t) {
            const double e = expected[c][t];
            worst = std::max(worst, std::fabs(actual(c, t) - e) / std::max(1.0, std::fabs(e)));
        }
    return worst;
}

}  // namespace nam_test
