#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <Eigen/Dense>
#include <nlohmann/json.hpp>

// Element-wise nonlinearities of every layer, applied in place in single precision. Stateless
// activations are shared default instances; layers hold them through std::shared_ptr. Nothing
// here allocates while applying; every bad configuration is refused when it is parsed or built.
namespace nam::activations {

enum class ActivationType {
    Tanh = 0,
    Hardtanh,
    Fasttanh,
    ReLU,
    LeakyReLU,
    PReLU,
    Sigmoid,
    SiLU,
    Hardswish,
    LeakyHardtanh,
    Softsign,
};

// How a model file chooses an activation: a name, or an object with "type" and parameters.
struct ActivationConfig {
    ActivationType type = ActivationType::Tanh;
    std::optional<float> negative_slope;
    std::optional<std::vector<float>> negative_slopes;
    std::optional<float> min_val;
    std::optional<float> max_val;
    std::optional<float> min_slope;
    std::optional<float> max_slope;

    static ActivationConfig simple(ActivationType type);
    // Throws std::runtime_error "Unknown activation type: <name>" for an unknown spelling,
    // "Invalid activation config: expected string or object" for any other JSON kind, and
    // refuses a PReLU with an empty "negative_slopes".
    static ActivationConfig from_json(const nlohmann::json& j);
};

class Activation {
public:
    using Ptr = std::shared_ptr<Activation>;

    Activation() = default;
    virtual ~Activation() = default;
    Activation(const Activation&) = delete;
    Activation& operator=(const Activation&) = delete;

    virtual void apply(Eigen::MatrixXf& matrix) { apply(matrix.data(), matrix.rows() * matrix.cols()); }
    // A general block (for example topRows of a taller matrix) need not be contiguous: it is
    // transformed column by column, each column being contiguous.
    virtual void apply(Eigen::Block<Eigen::MatrixXf> block);
    // A block of whole columns (leftCols, middleCols) is contiguous.
    virtual void apply(Eigen::Block<Eigen::MatrixXf, -1, -1, true> block) {
        apply(block.data(), block.rows() * block.cols());
    }
    virtual void apply(float* data, long size) = 0;

    // Builds the activation a record asks for: the shared default for parameterless types,
    // a new object for parameterised ones. Throws for a type outside the enumeration and for
    // a PReLU with an empty slope list.
    static Ptr get_activation(const ActivationConfig& config);
    // The current default-table entry under exactly that name, or an empty pointer.
    static Ptr get_activation(const std::string& name);

    static void enable_fast_tanh();
    static void disable_fast_tanh();
    static void enable_lut(const std::string& function_name, float min, float max, std::size_t num_points);
    static void disable_lut(const std::string& function_name);

    // Read by recurrent layers that evaluate tanh themselves. Written only by the switches,
    // which must not run while a model is being built.
    static inline bool using_fast_tanh = false;

protected:
    // The table of defaults by name, filled on first use.
    static std::unordered_map<std::string, Ptr>& _activations();
};

class ActivationTanh : public Activation {
public:
    using Activation::apply;
    void apply(float* data, long size) override;
};

class ActivationHardTanh : public Activation {
public:
    using Activation::apply;
    void apply(float* data, long size) override;
};

class ActivationFastTanh : public Activation {
public:
    using Activation::apply;
    void apply(float* data, long size) override;
};

class ActivationReLU : public Activation {
public:
    using Activation::apply;
    void apply(float* data, long size) override;
};

class ActivationLeakyReLU : public Activation {
public:
    explicit ActivationLeakyReLU(float negative_slope) : _negative_slope(negative_slope) {}
    using Activation::apply;
    void apply(float* data, long size) override;
    float negative_slope() const { return _negative_slope; }

private:
    float _negative_slope;
};

// Per-channel slopes: in a column-major block of n rows, element i uses slope[i mod n].
class ActivationPReLU : public Activation {
public:
    explicit ActivationPReLU(float negative_slope);
    // Throws std::invalid_argument for an empty list.
    explicit ActivationPReLU(std::vector<float> negative_slopes);
    using Activation::apply;
    // Throws std::invalid_argument "PReLU: Received <rows> channels, but activation has <n> channels".
    void apply(Eigen::MatrixXf& matrix) override;
    // Throws std::invalid_argument when size is not a multiple of the slope count.
    void apply(float* data, long size) override;
    const std::vector<float>& negative_slopes() const { return _negative_slopes; }

private:
    std::vector<float> _negative_slopes;
};

class ActivationSigmoid : public Activation {
public:
    using Activation::apply;
    void apply(float* data, long size) override;
};

class ActivationSwish : public Activation {
public:
    using Activation::apply;
    void apply(float* data, long size) override;
};

class ActivationHardSwish : public Activation {
public:
    using Activation::apply;
    void apply(float* data, long size) override;
};

class ActivationLeakyHardTanh : public Activation {
public:
    ActivationLeakyHardTanh(float min_val, float max_val, float min_slope, float max_slope)
        : _min_val(min_val), _max_val(max_val), _min_slope(min_slope), _max_slope(max_slope) {}
    using Activation::apply;
    void apply(float* data, long size) override;

private:
    float _min_val, _max_val, _min_slope, _max_slope;
};

class ActivationSoftsign : public Activation {
public:
    using Activation::apply;
    void apply(float* data, long size) override;
};

// A function tabulated at evenly spaced points on [min_x, max_x] and interpolated linearly;
// inputs outside the range give the end values.
class FastLUTActivation : public Activation {
public:
    // Throws std::invalid_argument for fewer than two points or a range that is not finite with
    // min_x < max_x.
    FastLUTActivation(float min_x, float max_x, std::size_t size, const std::function<float(float)>& f);
    using Activation::apply;
    void apply(float* data, long size) override;
    float lookup(float x) const;

private:
    float _min_x, _max_x, _step, _inv_step;
    std::size_t _size;
    std::vector<float> _table;
};

}  // namespace nam::activations
