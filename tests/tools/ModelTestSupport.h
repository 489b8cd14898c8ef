#pragma once

// Independent double-precision readings of the generated model files, and the measurements the
// model tests make on any processor (these references or the real players).

#include "tests/tools/ResourceTestSupport.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>

namespace tolvane::test {

// A processor takes a whole mono signal from a fresh state and returns its output.
using Processor = std::function<std::vector<double>(const std::vector<double>&)>;

inline nlohmann::json readJson(const std::filesystem::path& path) {
    std::ifstream in(path);
    return nlohmann::json::parse(in);
}

inline constexpr std::array<int, 9> kProfileKnobs{0, 12, 25, 37, 50, 62, 75, 87, 100};
inline constexpr std::array<int, 7> kBitKnobs{0, 12, 25, 37, 50, 67, 75};

// The residual LSTM of the VINYL files, straight from the tensor layout (gate blocks i, f, g, o).
class ReferenceVinyl {
public:
    static constexpr int H = 40;

    explicit ReferenceVinyl(const nlohmann::json& file) {
        const auto& sd = file.at("state_dict");
        for (int r = 0; r < 4 * H; ++r) {
            inputWeight_[r] = sd.at("rec.weight_ih_l0")[r][0];
            bias_[r] = sd.at("rec.bias_ih_l0")[r].get<double>() + sd.at("rec.bias_hh_l0")[r].get<double>();
            for (int k = 0; k < H; ++k) recurrent_[r][k] = sd.at("rec.weight_hh_l0")[r][k];
        }
        for (int j = 0; j < H; ++j) dense_[j] = sd.at("lin.weight")[0][j];
        denseBias_ = sd.at("lin.bias")[0];
    }

    std::vector<double> operator()(const std::vector<double>& input) const {
        std::array<double, H> h{}, c{};
        std::array<double, 4 * H> z{};
        std::vector<double> out(input.size());
        for (size_t t = 0; t < input.size(); ++t) {
            for (int r = 0; r < 4 * H; ++r) {
                double v = inputWeight_[r] * input[t] + bias_[r];
                for (int k = 0; k < H; ++k) v += recurrent_[r][k] * h[k];
                z[r] = v;
            }
            double y = denseBias_;
            for (int j = 0; j < H; ++j) {
                c[j] = sigmoid(z[H + j]) * c[j] + sigmoid(z[j]) * std::tanh(z[2 * H + j]);
                h[j] = sigmoid(z[3 * H + j]) * std::tanh(c[j]);
                y += dense_[j] * h[j];
            }
            out[t] = input[t] + y;
        }
        return out;
    }

private:
    static double sigmoid(double v) { return 1.0 / (1.0 + std::exp(-v)); }
    std::array<double, 4 * H> inputWeight_{}, bias_{};
    std::array<std::array<double, H>, 4 * H> recurrent_{};
    std::array<double, H> dense_{};
    double denseBias_ = 0;
};

// A convolutional .nam model (kernel size 2 blocks, no batch norm), evaluated the plain way.
class ReferenceConvNet {
public:
    explicit ReferenceConvNet(const nlohmann::json& file) {
        const auto& config = file.at("config");
        channels_ = config.at("channels");
        dilations_ = config.at("dilations").get<std::vector<int>>();
        activation_ = config.at("activation").get<std::string>();
        weights_ = file.at("weights").get<std::vector<double>>();
    }

    std::vector<double> operator()(const std::vector<double>& input) const {
        size_t w = 0;
        std::vector<std::vector<double>> signal{input};
        for (size_t b = 0; b < dilations_.size(); ++b) {
            const size_t in = signal.size();
            std::vector<std::vector<std::array<double, 2>>> taps(channels_, std::vector<std::array<double, 2>>(in));
            for (int o = 0; o < channels_; ++o)
                for (size_t i = 0; i < in; ++i) taps[o][i] = {weights_[w++], weights_[w++]};
            std::vector<double> bias(weights_.begin() + w, weights_.begin() + w + channels_);
            w += channels_;
            std::vector<std::vector<double>> next(channels_, std::vector<double>(input.size()));
            const size_t d = dilations_[b];
            for (int o = 0; o < channels_; ++o) {
                for (size_t t = 0; t < input.size(); ++t) {
                    double v = bias[o];
                    for (size_t i = 0; i < in; ++i) {
                        v += taps[o][i][1] * signal[i][t] + taps[o][i][0] * (t >= d ? signal[i][t - d] : 0.0);
                    }
                    next[o][t] = activation_ == "Hardtanh" ? std::clamp(v, -1.0, 1.0) : std::tanh(v);
                }
            }
            signal = std::move(next);
        }
        std::vector<double> out(input.size(), weights_[w + channels_]);
        for (int o = 0; o < channels_; ++o)
            for (size_t t = 0; t < input.size(); ++t) out[t] += weights_[w + o] * signal[o][t];
        return out;
    }

    size_t expectedWeightCount() const {
        size_t n = 0, in = 1;
        for (size_t b = 0; b < dilations_.size(); ++b, in = channels_) n += 2 * channels_ * in + channels_;
        return n + channels_ + 1;
    }
    size_t weightCount() const { return weights_.size(); }

private:
    int channels_ = 0;
    std::vector<int> dilations_;
    std::string activation_;
    std::vector<double> weights_;
};

inline std::vector<double> sine(double hz, double amplitude, size_t n, double rate = 44100.0) {
    std::vector<double> s(n);
    for (size_t i = 0; i < n; ++i) s[i] = amplitude * std::sin(2.0 * M_PI * hz * i / rate);
    return s;
}

// Harmonic content of the steady response to a 1 kHz sine: the last 4410 samples hold exactly
// 100 periods, so every harmonic falls on its own DFT line.
struct Harmonics {
    std::array<double, 11> level{};  // magnitude of harmonic 1..10
    double thd() const {
        double sum = 0.0;
        for (size_t h = 2; h <= 10; ++h) sum += level[h] * level[h];
        return std::sqrt(sum) / level[1];
    }
};

inline Harmonics harmonicsOf(const Processor& process, double amplitude) {
    constexpr size_t kSettle = 8820, kWindow = 4410;
    const std::vector<double> out = process(sine(1000.0, amplitude, kSettle + kWindow));
    const std::vector<double> tail(out.end() - kWindow, out.end());
    Harmonics h;
    for (size_t k = 1; k <= 10; ++k) h.level[k] = std::abs(dftAt(tail, 1000.0 * k, 44100.0));
    return h;
}

// Gain of the steady response to a sine at a frequency that fits 4410 samples exactly.
inline double gainDb(const Processor& process, double hz, double amplitude) {
    constexpr size_t kSettle = 8820, kWindow = 4410;
    const std::vector<double> in = sine(hz, amplitude, kSettle + kWindow);
    const std::vector<double> out = process(in);
    const std::vector<double> a(in.end() - kWindow, in.end()), b(out.end() - kWindow, out.end());
    return toDb(std::abs(dftAt(b, hz, 44100.0))) - toDb(std::abs(dftAt(a, hz, 44100.0)));
}

// Levels held for at least eight samples of a slow ramp from -1.2 to 1.2: the steps a quantiser shows.
inline size_t heldLevels(const Processor& process) {
    constexpr size_t kRamp = 48000;
    std::vector<double> ramp(kRamp);
    for (size_t i = 0; i < kRamp; ++i) ramp[i] = -1.2 + 2.4 * i / (kRamp - 1);
    const std::vector<double> out = process(ramp);
    size_t levels = 0, run = 1;
    for (size_t i = 1; i <= out.size(); ++i) {
        if (i < out.size() && out[i] == out[i - 1]) {
            ++run;
            continue;
        }
        if (run >= 8) ++levels;
        run = 1;
    }
    return levels;
}

// Pink noise at -18 dBFS RMS, the programme level the players normalise to (own generator).
inline std::vector<double> pinkReference(size_t n) {
    uint64_t state = 0x9E3779B97F4A7C15ULL;
    auto white = [&state] {
        double sum = 0.0;
        for (int k = 0; k < 4; ++k) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            sum += (state >> 11) * (1.0 / 9007199254740992.0) - 0.5;
        }
        return sum * std::sqrt(3.0);
    };
    std::vector<double> s(n);
    double b0 = 0, b1 = 0, b2 = 0;
    for (double& x : s) {
        const double w = white();
        b0 = 0.99765 * b0 + w * 0.0990460;
        b1 = 0.96300 * b1 + w * 0.2965164;
        b2 = 0.57000 * b2 + w * 1.0526913;
        x = b0 + b1 + b2 + w * 0.1848;
    }
    const double gain = std::pow(10.0, -18.0 / 20.0) / rmsOf(s);
    for (double& x : s) x *= gain;
    return s;
}

}  // namespace tolvane::test
