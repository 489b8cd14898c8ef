#pragma once

// A naive double-precision WaveNet, written from the model-file format alone: whole signals as
// nested vectors, plain loops, zero history before the first sample. It reads the "config"
// object and the flat weight list itself (its own defaults, its own weight order), so it checks
// the engine rather than restating it.

#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace wavenet_ref {

using nlohmann::json;
using Signal = std::vector<std::vector<double>>;  // [channel][frame]

inline Signal zeros(size_t channels, size_t frames) {
    Signal signal(channels);
    for (auto& row : signal) row.assign(frames, 0.0);
    return signal;
}

// Hands out the weights in order; without a list it only counts.
class Reader {
public:
    explicit Reader(const std::vector<float>* weights) : weights_(weights) {}
    double next() {
        if (!weights_) return static_cast<double>(count_++);
        if (count_ >= weights_->size()) throw std::runtime_error("reference ran out of weights");
        return (*weights_)[count_++];
    }
    size_t count() const { return count_; }

private:
    const std::vector<float>* weights_;
    size_t count_ = 0;
};

// A grouped causal convolution with kernel K and dilation d (K = 1 for a 1x1), dense storage with
// zeros outside the diagonal group blocks.
struct Conv {
    int in = 0, out = 0, kernel = 1, dilation = 1;
    std::vector<std::vector<double>> taps;  // [k][o * in + i]
    std::vector<double> bias;               // empty without bias

    Conv(int in_, int out_, int kernel_, int dilation_, int groups, bool with_bias, Reader& reader)
        : in(in_), out(out_), kernel(kernel_), dilation(dilation_),
          taps(kernel_, std::vector<double>(static_cast<size_t>(in_ * out_), 0.0)) {
        const int out_per_group = out / groups, in_per_group = in / groups;
        if (in == out && in == groups) {  // depthwise: per channel, its taps
            for (int c = 0; c < in; ++c)
                for (int k = 0; k < kernel; ++k) taps[k][c * in + c] = reader.next();
        } else {
            for (int g = 0; g < groups; ++g)
                for (int o = 0; o < out_per_group; ++o)
                    for (int i = 0; i < in_per_group; ++i)
                        for (int k = 0; k < kernel; ++k)
                            taps[k][(g * out_per_group + o) * in + g * in_per_group + i] = reader.next();
        }
        if (with_bias)
            for (int o = 0; o < out; ++o) bias.push_back(reader.next());
    }

    Signal operator()(const Signal& x) const {
        const size_t frames = x.at(0).size();
        Signal y = zeros(out, frames);
        for (size_t t = 0; t < frames; ++t)
            for (int o = 0; o < out; ++o) {
                double sum = bias.empty() ? 0.0 : bias[o];
                for (int k = 0; k < kernel; ++k) {
                    const long back = static_cast<long>(kernel - 1 - k) * dilation;
                    if (static_cast<long>(t) < back) continue;
                    for (int i = 0; i < in; ++i) sum += taps[k][o * in + i] * x[i][t - back];
                }
                y[o][t] = sum;
            }
        return y;
    }
};

inline double activate(const json& config, double x) {
    const std::string name = config.is_string() ? config.get<std::string>() : config.at("type").get<std::string>();
    if (name == "Tanh") return std::tanh(x);
    if (name == "Sigmoid") return 1.0 / (1.0 + std::exp(-x));
    if (name == "ReLU") return x > 0 ? x : 0.0;
    if (name == "Hardtanh") return x < -1 ? -1 : (x > 1 ? 1 : x);
    if (name == "Softsign") return x / (1.0 + std::fabs(x));
    if (name == "SiLU") return x / (1.0 + std::exp(-x));
    throw std::runtime_error("reference has no activation " + name);
}

inline Signal activate(const json& config, Signal x) {
    for (auto& row : x)
        for (double& v : row) v = activate(config, v);
    return x;
}

inline Signal rows(const Signal& x, size_t first, size_t count) {
    return Signal(x.begin() + static_cast<long>(first), x.begin() + static_cast<long>(first + count));
}

inline void add_into(Signal& into, const Signal& x) {
    for (size_t c = 0; c < into.size(); ++c)
        for (size_t t = 0; t < into[c].size(); ++t) into[c][t] += x[c][t];
}

// Scale (and shift) from the condition, applied frame by frame.
struct Film {
    bool shift = true;
    int dim = 0;
    Conv conv;

    Film(const json& params, int condition_size, int dim_, Reader& reader)
        : shift(params.value("shift", true)), dim(dim_),
          conv(condition_size, shift ? 2 * dim_ : dim_, 1, 1, params.value("groups", 1), true, reader) {}

    Signal operator()(const Signal& x, const Signal& condition) const {
        const Signal m = conv(condition);
        Signal y = x;
        for (int c = 0; c < dim; ++c)
            for (size_t t = 0; t < y[c].size(); ++t) y[c][t] = x[c][t] * m[c][t] + (shift ? m[dim + c][t] : 0.0);
        return y;
    }
};

inline bool film_active(const json& array, const char* key) {
    return array.contains(key) && !array.at(key).is_null() && array.at(key).value("active", true);
}

struct Layer {
    std::string mode = "none";
    json activation, secondary;
    int bottleneck = 0;
    Conv conv, mixin;
    std::vector<Conv> layer1x1, head1x1;  // zero or one each
    std::vector<Film> films[8];

    static constexpr const char* kFilmKeys[8] = {"conv_pre_film",       "conv_post_film",   "input_mixin_pre_film",
                                                 "input_mixin_post_film", "activation_pre_film", "activation_post_film",
                                                 "layer1x1_post_film",  "head1x1_post_film"};

    Layer(const json& a, int dilation, size_t index, Reader& reader)
        : mode(gating_mode(a, index)),
          activation(a.at("activation").is_array() ? a.at("activation")[index] : a.at("activation")),
          secondary(secondary_activation(a, index)),
          bottleneck(a.value("bottleneck", a.at("channels").get<int>())),
          conv(a.at("channels"), mixed(), a.at("kernel_size"), dilation, a.value("groups_input", 1), true, reader),
          mixin(a.at("condition_size"), mixed(), 1, 1, a.value("groups_input_mixin", 1), false, reader) {
        const int channels = a.at("channels");
        const int condition = a.at("condition_size");
        const json l1 = a.value("layer1x1", json{{"active", true}, {"groups", 1}});
        const json h1 = a.value("head1x1", json{{"active", false}, {"out_channels", channels}, {"groups", 1}});
        if (l1.at("active").get<bool>()) layer1x1.emplace_back(bottleneck, channels, 1, 1, l1.at("groups"), true, reader);
        if (h1.at("active").get<bool>())
            head1x1.emplace_back(bottleneck, h1.at("out_channels"), 1, 1, h1.at("groups"), true, reader);
        const int dims[8] = {channels, mixed(), condition, mixed(), mixed(), bottleneck, channels,
                             h1.at("out_channels").get<int>()};
        for (int s = 0; s < 8; ++s)
            if (film_active(a, kFilmKeys[s])) films[s].emplace_back(a.at(kFilmKeys[s]), condition, dims[s], reader);
    }

    int mixed() const { return mode == "none" ? bottleneck : 2 * bottleneck; }

    static std::string gating_mode(const json& a, size_t index) {
        if (a.contains("gating_mode")) {
            const json& m = a.at("gating_mode");
            return m.is_array() ? m[index].get<std::string>() : m.get<std::string>();
        }
        return a.value("gated", false) ? "gated" : "none";
    }
    static json secondary_activation(const json& a, size_t index) {
        if (!a.contains("gating_mode") || !a.contains("secondary_activation")) return "Sigmoid";
        const json& s = a.at("secondary_activation");
        return s.is_array() ? s[index] : s;
    }

    Signal film(int slot, const Signal& x, const Signal& condition) const {
        return films[slot].empty() ? x : films[slot][0](x, condition);
    }

    // Returns the residual output; adds the head contribution into head_sum.
    Signal operator()(const Signal& x, const Signal& condition, Signal& head_sum) const {
        const Signal conv_out = film(1, conv(film(0, x, condition)), condition);
        const Signal mixin_out = film(3, mixin(film(2, condition, condition)), condition);
        Signal z = conv_out;
        add_into(z, mixin_out);
        z = film(4, z, condition);

        Signal a;
        if (mode == "none") {
            a = activate(activation, z);
        } else {
            const Signal top = rows(z, 0, bottleneck);
            const Signal act = activate(activation, top);
            const Signal second = activate(secondary, rows(z, bottleneck, bottleneck));
            a = top;
            for (int c = 0; c < bottleneck; ++c)
                for (size_t t = 0; t < a[c].size(); ++t)
                    a[c][t] = mode == "gated" ? act[c][t] * second[c][t]
                                              : (1.0 - second[c][t]) * top[c][t] + second[c][t] * act[c][t];
        }
        a = film(5, a, condition);

        add_into(head_sum, head1x1.empty() ? a : film(7, head1x1[0](a), condition));
        if (layer1x1.empty()) return x;
        Signal residual = x;
        add_into(residual, film(6, layer1x1[0](a), condition));
        return residual;
    }
};

struct LayerArray {
    Conv input_projection;
    std::vector<Layer> layers;
    int head_rows = 0;
    std::vector<Conv> head_projection;  // built after the layers, in weight order

    LayerArray(const json& a, Reader& reader)
        : input_projection(a.at("input_size"), a.at("channels"), 1, 1, 1, false, reader) {
        const std::vector<int> dilations = a.at("dilations");
        for (size_t i = 0; i < dilations.size(); ++i) layers.emplace_back(a, dilations[i], i, reader);
        const json h1 = a.value("head1x1", json{{"active", false}});
        head_rows = h1.at("active").get<bool>() ? h1.at("out_channels").get<int>()
                                                 : a.value("bottleneck", a.at("channels").get<int>());
        head_projection.emplace_back(head_rows, a.at("head_size"), 1, 1, 1, a.at("head_bias").get<bool>(), reader);
    }

    // Returns the head outputs; x becomes the last residual.
    Signal operator()(Signal& x, const Signal& condition, const Signal* head_inputs) const {
        Signal head_sum = head_inputs ? *head_inputs : zeros(head_rows, x.at(0).size());
        x = input_projection(x);
        for (const Layer& layer : layers) x = layer(x, condition, head_sum);
        return head_projection[0](head_sum);
    }
};

struct Model;
inline Signal run(const json& model, const Signal& input);

// A whole model object: "architecture" WaveNet (possibly conditioned) or Linear (as a simple
// conditioning model).
struct Model {
    json file;
    std::vector<LayerArray> arrays;
    double head_scale = 0.0;
    size_t weight_count = 0;

    Model(const json& model_file, const std::vector<float>* weights) : file(model_file) {
        Reader reader(weights);
        for (const json& a : file.at("config").at("layers")) arrays.emplace_back(a, reader);
        head_scale = reader.next();
        weight_count = reader.count();
    }

    Signal operator()(const Signal& input) const {
        const json& config = file.at("config");
        const Signal condition =
            config.contains("condition_dsp") && !config.at("condition_dsp").is_null() ? run(config.at("condition_dsp"), input) : input;
        Signal x = input;
        Signal head = arrays[0](x, condition, nullptr);
        for (size_t i = 1; i < arrays.size(); ++i) head = arrays[i](x, condition, &head);
        for (auto& row : head)
            for (double& v : row) v *= head_scale;
        return head;
    }
};

// Weights a WaveNet "config" object asks for (arrays plus the head scale).
inline size_t weight_count(const json& config) {
    const json file = {{"config", config}};
    return Model(file, nullptr).weight_count;
}

inline Signal run(const json& model, const Signal& input) {
    const std::vector<float> weights = model.at("weights");
    if (model.at("architecture") == "Linear") {  // y = bias + sum_k t[k] x[t - k]
        const int rf = model.at("config").at("receptive_field");
        const bool bias = model.at("config").at("bias");
        Signal y = zeros(1, input[0].size());
        for (size_t t = 0; t < y[0].size(); ++t) {
            double sum = bias ? weights[rf] : 0.0;
            for (int k = 0; k < rf && k <= static_cast<int>(t); ++k) sum += weights[k] * input[0][t - k];
            y[0][t] = sum;
        }
        return y;
    }
    const Model reference(model, &weights);
    if (reference.weight_count != weights.size()) throw std::runtime_error("reference weight count differs");
    return reference(input);
}

}  // namespace wavenet_ref
