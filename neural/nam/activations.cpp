#include "neural/nam/activations.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "neural/VectorMath.h"
#include "neural/nam/config_values.h"

namespace nam::activations {
namespace {

using ArrayMap = Eigen::Map<Eigen::ArrayXf>;

constexpr float kDefaultNegativeSlope = 0.01f;
constexpr float kDefaultHardtanhMin = -1.0f;
constexpr float kDefaultHardtanhMax = 1.0f;
constexpr float kDefaultHardtanhSlope = 0.01f;
constexpr std::size_t kMaxLutPoints = std::size_t{1} << 20;

// Shares a default instance that lives for the whole process; the pointer never frees it.
template <typename T>
Activation::Ptr make_singleton_ptr(T& instance) {
    return Activation::Ptr(&instance, [](Activation*) {});
}

struct DefaultTable {
    std::unordered_map<std::string, Activation::Ptr> entries;
    Activation::Ptr tanh_bak;
    Activation::Ptr sigmoid_bak;
    Activation::Ptr silu_bak;
};

DefaultTable& defaults() {
    static ActivationTanh tanh_default;
    static ActivationHardTanh hardtanh_default;
    static ActivationFastTanh fasttanh_default;
    static ActivationReLU relu_default;
    static ActivationLeakyReLU leaky_relu_default(kDefaultNegativeSlope);
    static ActivationSigmoid sigmoid_default;
    static ActivationSwish silu_default;
    static ActivationHardSwish hardswish_default;
    static ActivationLeakyHardTanh leaky_hardtanh_default(kDefaultHardtanhMin, kDefaultHardtanhMax,
                                                          kDefaultHardtanhSlope, kDefaultHardtanhSlope);
    static ActivationPReLU prelu_default(kDefaultNegativeSlope);
    static ActivationSoftsign softsign_default;
    static DefaultTable table{{
        {"Tanh", make_singleton_ptr(tanh_default)},
        {"Hardtanh", make_singleton_ptr(hardtanh_default)},
        {"Fasttanh", make_singleton_ptr(fasttanh_default)},
        {"ReLU", make_singleton_ptr(relu_default)},
        {"LeakyReLU", make_singleton_ptr(leaky_relu_default)},
        {"Sigmoid", make_singleton_ptr(sigmoid_default)},
        {"SiLU", make_singleton_ptr(silu_default)},
        {"Hardswish", make_singleton_ptr(hardswish_default)},
        {"LeakyHardtanh", make_singleton_ptr(leaky_hardtanh_default)},
        {"PReLU", make_singleton_ptr(prelu_default)},
        {"Softsign", make_singleton_ptr(softsign_default)},
    }, nullptr, nullptr, nullptr};
    return table;
}

const std::unordered_map<std::string, ActivationType>& type_names() {
    static const std::unordered_map<std::string, ActivationType> names{
        {"Tanh", ActivationType::Tanh},
        {"Hardtanh", ActivationType::Hardtanh},
        {"Fasttanh", ActivationType::Fasttanh},
        {"ReLU", ActivationType::ReLU},
        {"LeakyReLU", ActivationType::LeakyReLU},
        {"PReLU", ActivationType::PReLU},
        {"Sigmoid", ActivationType::Sigmoid},
        {"SiLU", ActivationType::SiLU},
        {"Hardswish", ActivationType::Hardswish},
        {"LeakyHardtanh", ActivationType::LeakyHardtanh},
        {"LeakyHardTanh", ActivationType::LeakyHardtanh},
        {"Softsign", ActivationType::Softsign},
    };
    return names;
}

ActivationType type_from_name(const std::string& name) {
    const auto found = type_names().find(name);
    if (found == type_names().end()) throw std::runtime_error("Unknown activation type: " + name);
    return found->second;
}

// Canonical table names of the parameterless types, or nullptr for the parameterised ones.
const char* shared_entry_name(ActivationType type) {
    switch (type) {
        case ActivationType::Tanh: return "Tanh";
        case ActivationType::Hardtanh: return "Hardtanh";
        case ActivationType::Fasttanh: return "Fasttanh";
        case ActivationType::ReLU: return "ReLU";
        case ActivationType::Sigmoid: return "Sigmoid";
        case ActivationType::SiLU: return "SiLU";
        case ActivationType::Hardswish: return "Hardswish";
        case ActivationType::Softsign: return "Softsign";
        default: return nullptr;
    }
}

std::optional<float> optional_float(const nlohmann::json& j, const char* key) {
    if (!j.contains(key)) return std::nullopt;
    return config::get_float(j, key);
}

std::vector<float> prelu_slopes_from_json(const nlohmann::json& values) {
    if (!values.is_array() || values.empty())
        throw std::runtime_error("PReLU negative_slopes must be a non-empty array of numbers");
    std::vector<float> slopes;
    slopes.reserve(values.size());
    for (const auto& value : values) slopes.push_back(config::to_float(value, "PReLU negative slope"));
    return slopes;
}

Activation::Ptr& lut_backup(DefaultTable& table, const std::string& function_name, const char* failure) {
    if (function_name == "Tanh") return table.tanh_bak;
    if (function_name == "Sigmoid") return table.sigmoid_bak;
    if (function_name == "SiLU") return table.silu_bak;
    throw std::runtime_error(failure);
}

std::function<float(float)> lut_function(const std::string& function_name) {
    if (function_name == "Tanh") return [](float x) { return std::tanh(x); };
    if (function_name == "Sigmoid") return [](float x) { return 1.0f / (std::exp(-x) + 1.0f); };
    return [](float x) { return (1.0f / (std::exp(-x) + 1.0f)) * x; };
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Configuration

ActivationConfig ActivationConfig::simple(ActivationType type) {
    ActivationConfig config;
    config.type = type;
    return config;
}

ActivationConfig ActivationConfig::from_json(const nlohmann::json& j) {
    if (j.is_string()) return simple(type_from_name(j.get<std::string>()));
    if (!j.is_object()) throw std::runtime_error("Invalid activation config: expected string or object");

    ActivationConfig config = simple(type_from_name(j.at("type").get<std::string>()));
    switch (config.type) {
        case ActivationType::LeakyReLU:
            config.negative_slope = optional_float(j, "negative_slope").value_or(kDefaultNegativeSlope);
            break;
        case ActivationType::LeakyHardtanh:
            config.min_val = optional_float(j, "min_val").value_or(kDefaultHardtanhMin);
            config.max_val = optional_float(j, "max_val").value_or(kDefaultHardtanhMax);
            config.min_slope = optional_float(j, "min_slope").value_or(kDefaultHardtanhSlope);
            config.max_slope = optional_float(j, "max_slope").value_or(kDefaultHardtanhSlope);
            break;
        case ActivationType::PReLU:
            if (j.contains("negative_slope"))
                config.negative_slope = config::get_float(j, "negative_slope");
            else if (j.contains("negative_slopes"))
                config.negative_slopes = prelu_slopes_from_json(j.at("negative_slopes"));
            break;
        default:
            break;
    }
    return config;
}

// ---------------------------------------------------------------------------------------------
// Factory and switches

std::unordered_map<std::string, Activation::Ptr>& Activation::_activations() { return defaults().entries; }

Activation::Ptr Activation::get_activation(const ActivationConfig& config) {
    if (const char* name = shared_entry_name(config.type)) return _activations().at(name);
    switch (config.type) {
        case ActivationType::LeakyReLU:
            if (!config.negative_slope) return _activations().at("LeakyReLU");
            return std::make_shared<ActivationLeakyReLU>(*config.negative_slope);
        case ActivationType::PReLU:
            if (config.negative_slopes) return std::make_shared<ActivationPReLU>(*config.negative_slopes);
            return std::make_shared<ActivationPReLU>(config.negative_slope.value_or(kDefaultNegativeSlope));
        case ActivationType::LeakyHardtanh:
            return std::make_shared<ActivationLeakyHardTanh>(
                config.min_val.value_or(kDefaultHardtanhMin), config.max_val.value_or(kDefaultHardtanhMax),
                config.min_slope.value_or(kDefaultHardtanhSlope), config.max_slope.value_or(kDefaultHardtanhSlope));
        default:
            throw std::runtime_error("Unknown activation type: " + std::to_string(static_cast<int>(config.type)));
    }
}

Activation::Ptr Activation::get_activation(const std::string& name) {
    const auto found = _activations().find(name);
    return found == _activations().end() ? nullptr : found->second;
}

void Activation::enable_fast_tanh() {
    using_fast_tanh = true;
    auto& table = defaults();
    if (table.entries.at("Tanh") != table.entries.at("Fasttanh")) {
        table.tanh_bak = table.entries.at("Tanh");
        table.entries["Tanh"] = table.entries.at("Fasttanh");
    }
}

void Activation::disable_fast_tanh() {
    using_fast_tanh = false;
    auto& table = defaults();
    if (table.entries.at("Tanh") == table.entries.at("Fasttanh") && table.tanh_bak)
        table.entries["Tanh"] = table.tanh_bak;
}

void Activation::enable_lut(const std::string& function_name, float min, float max, std::size_t num_points) {
    auto& table = defaults();
    Ptr& backup = lut_backup(table, function_name, "Tried to enable LUT for a function other than Tanh, Sigmoid, or SiLU");
    // Built first, so a refused table leaves the defaults as they were.
    auto lut = std::make_shared<FastLUTActivation>(min, max, num_points, lut_function(function_name));
    backup = table.entries.at(function_name);
    table.entries[function_name] = std::move(lut);
}

void Activation::disable_lut(const std::string& function_name) {
    auto& table = defaults();
    Ptr& backup =
        lut_backup(table, function_name, "Tried to disable LUT for a function other than Tanh, Sigmoid, or SiLU");
    // Without a backup there is nothing to restore; clearing the entry would hand out null.
    if (backup) table.entries[function_name] = backup;
}

// ---------------------------------------------------------------------------------------------
// Application

void Activation::apply(Eigen::Block<Eigen::MatrixXf> block) {
    if (block.outerStride() == block.rows()) {
        apply(block.data(), block.rows() * block.cols());
        return;
    }
    for (Eigen::Index c = 0; c < block.cols(); ++c) apply(block.col(c).data(), block.rows());
}

// GCC 12 reports its own AVX-512 intrinsics (_mm512_undefined_ps) as maybe-uninitialised when
// Eigen's vectorised tanh/exp are inlined here; the warning is a known false positive.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

void ActivationTanh::apply(float* data, long size) {
    namespace vec = tolvane::vec;
    long i = 0;
    for (; i + vec::kWidth <= size; i += vec::kWidth) vec::store(data + i, vec::tanh(vec::load(data + i)));
    if (i < size) {
        // The tail goes through a packet too: every element gets the same arithmetic wherever it
        // sits, so a model's output does not depend on how its input was split into blocks.
        float tail[vec::kWidth] = {};
        std::copy(data + i, data + size, tail);
        vec::store(tail, vec::tanh(vec::load(tail)));
        std::copy(tail, tail + (size - i), data + i);
    }
}

void ActivationSigmoid::apply(float* data, long size) {
    ArrayMap values(data, size);
    values = ((-values).exp() + 1.0f).inverse();
}

void ActivationSwish::apply(float* data, long size) {
    ArrayMap values(data, size);
    values = ((-values).exp() + 1.0f).inverse() * values;
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

void ActivationHardTanh::apply(float* data, long size) {
    for (long i = 0; i < size; ++i) data[i] = data[i] < -1.0f ? -1.0f : (data[i] > 1.0f ? 1.0f : data[i]);
}

void ActivationFastTanh::apply(float* data, long size) {
    for (long i = 0; i < size; ++i) {
        const float x = data[i];
        const float a = std::fabs(x);
        const float s = x * x;
        const float numerator = x * ((a * 0.821226656f + 0.893229842f) * s + (a * 2.45550752f + 2.45550752f));
        const float denominator = std::fabs(x * 0.814642727f * a + x) * (s + 2.44506645f) + 2.44506645f;
        data[i] = numerator / denominator;
    }
}

void ActivationReLU::apply(float* data, long size) {
    for (long i = 0; i < size; ++i) data[i] = data[i] > 0.0f ? data[i] : 0.0f;
}

void ActivationLeakyReLU::apply(float* data, long size) {
    for (long i = 0; i < size; ++i) data[i] = data[i] > 0.0f ? data[i] : _negative_slope * data[i];
}

ActivationPReLU::ActivationPReLU(float negative_slope) : _negative_slopes{negative_slope} {}

ActivationPReLU::ActivationPReLU(std::vector<float> negative_slopes) : _negative_slopes(std::move(negative_slopes)) {
    if (_negative_slopes.empty()) throw std::invalid_argument("PReLU needs at least one negative slope");
}

void ActivationPReLU::apply(Eigen::MatrixXf& matrix) {
    const auto channels = static_cast<Eigen::Index>(_negative_slopes.size());
    if (matrix.rows() != channels)
        throw std::invalid_argument("PReLU: Received " + std::to_string(matrix.rows()) + " channels, but activation has " +
                                    std::to_string(channels) + " channels");
    apply(matrix.data(), matrix.rows() * matrix.cols());
}

void ActivationPReLU::apply(float* data, long size) {
    const long channels = static_cast<long>(_negative_slopes.size());
    if (size % channels != 0)
        throw std::invalid_argument("PReLU.apply(*data, size) was given an array of size " + std::to_string(size) +
                                    " but the activation has " + std::to_string(channels) +
                                    " channels, which doesn't divide evenly.");
    for (long i = 0; i < size; ++i) {
        const float slope = _negative_slopes[static_cast<size_t>(i % channels)];
        data[i] = data[i] > 0.0f ? data[i] : slope * data[i];
    }
}

void ActivationHardSwish::apply(float* data, long size) {
    for (long i = 0; i < size; ++i) {
        const float x = data[i];
        const float t = x + 3.0f < 0.0f ? 0.0f : std::min(6.0f, x + 3.0f);
        data[i] = (t * x) * 0.16666667f;
    }
}

void ActivationLeakyHardTanh::apply(float* data, long size) {
    for (long i = 0; i < size; ++i) {
        const float x = data[i];
        if (x < _min_val)
            data[i] = (x - _min_val) * _min_slope + _min_val;
        else if (x > _max_val)
            data[i] = (x - _max_val) * _max_slope + _max_val;
    }
}

void ActivationSoftsign::apply(float* data, long size) {
    for (long i = 0; i < size; ++i) data[i] = data[i] / (std::fabs(data[i]) + 1.0f);
}

// ---------------------------------------------------------------------------------------------
// Lookup table

FastLUTActivation::FastLUTActivation(float min_x, float max_x, std::size_t size, const std::function<float(float)>& f)
    : _min_x(min_x), _max_x(max_x), _step(0.0f), _inv_step(0.0f), _size(size) {
    if (size < 2 || size > kMaxLutPoints || !std::isfinite(min_x) || !std::isfinite(max_x) || !(min_x < max_x) ||
        !std::isfinite(max_x - min_x))
        throw std::invalid_argument("Lookup table needs 2 to " + std::to_string(kMaxLutPoints) +
                                    " points on a finite range with min < max");
    _step = (max_x - min_x) / static_cast<float>(size - 1);
    _inv_step = 1.0f / _step;
    _table.reserve(size);
    for (std::size_t i = 0; i < size; ++i) _table.push_back(f(static_cast<float>(i) * _step + min_x));
}

float FastLUTActivation::lookup(float x) const {
    // Written so that NaN lands on an end value instead of reaching the integer conversion.
    const float clamped = x < _min_x ? _min_x : (x < _max_x ? x : _max_x);
    const float position = (clamped - _min_x) * _inv_step;
    const auto index = static_cast<std::size_t>(position);
    if (index < _size - 1) return _table[index] + (_table[index + 1] - _table[index]) * (position - index);
    return _table.back();
}

void FastLUTActivation::apply(float* data, long size) {
    for (long i = 0; i < size; ++i) data[i] = lookup(data[i]);
}

}  // namespace nam::activations
