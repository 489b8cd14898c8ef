#include "neural/nam/wavenet_layer.h"

#include <array>
#include <cassert>
#include <stdexcept>
#include <string>
#include <utility>

#include "neural/nam/config_values.h"
#include "neural/nam/conv_shape.h"
#include "neural/nam/limits.h"

namespace nam::wavenet {
namespace {

using config::checked_add;
using config::checked_mul;
using gating_activations::BlendingActivation;
using gating_activations::GatingActivation;

// --- Element-wise passes. Most blocks here are whole columns of a matrix (outer stride equal to
// the row count); those are run as one flat array, which vectorises as a single loop instead of
// one short loop per frame.

using Signal = Eigen::Ref<Eigen::MatrixXf>;

template <typename Block>
bool is_flat(const Block& block) {
    return block.outerStride() == block.rows();
}

Eigen::Map<Eigen::ArrayXf> flat(Signal& block) { return {block.data(), block.size()}; }
Eigen::Map<const Eigen::ArrayXf> flat(const ConstSignal& block) { return {block.data(), block.size()}; }

// out = a + b
void sum_into(Signal out, const ConstSignal& a, const ConstSignal& b) {
    if (is_flat(out) && is_flat(a) && is_flat(b))
        flat(out) = flat(a) + flat(b);
    else
        out = a + b;
}

// out += a
void add_into(Signal out, const ConstSignal& a) {
    if (is_flat(out) && is_flat(a))
        flat(out) += flat(a);
    else
        out += a;
}

// out = a
void copy_into(Signal out, const ConstSignal& a) {
    if (is_flat(out) && is_flat(a))
        flat(out) = flat(a);
    else
        out = a;
}

// --- Shape checks that mirror the convolutions' own, so a model can be refused before it
// allocates what its file asks for. The convolutions repeat them when they are built.

void check_channel_count(int64_t count) {
    if (count < 1) throw std::runtime_error("Channel counts must be positive");
    config::check_limit(count, limits::kMaxChannels, "Channel count");
}

void check_conv1x1_shape(int in_channels, int out_channels, int groups) {
    conv_shape::check_groups(in_channels, out_channels, groups);
    const bool depthwise = in_channels == out_channels && in_channels == groups;
    if (!depthwise)
        config::check_limit(checked_mul(in_channels, out_channels), limits::kMaxStateValues,
                            "Convolution weight storage");
}

void check_conv1d_shape(int in_channels, int out_channels, int kernel_size, int dilation, int groups) {
    conv_shape::check_groups(in_channels, out_channels, groups);
    if (kernel_size < 1)
        throw std::runtime_error("kernel_size (" + std::to_string(kernel_size) + ") must be at least 1");
    if (dilation < 0) throw std::runtime_error("dilation (" + std::to_string(dilation) + ") must not be negative");
    const int64_t lookback = checked_mul(kernel_size - 1, dilation);
    config::check_limit(lookback, limits::kMaxLookback, "Convolution lookback");
    config::check_limit(checked_mul(lookback, in_channels), limits::kMaxStateValues, "Convolution history size");
    const bool depthwise = in_channels == out_channels && in_channels == groups;
    const int64_t per_tap = depthwise ? in_channels : checked_mul(in_channels, out_channels);
    config::check_limit(checked_mul(per_tap, kernel_size), limits::kMaxStateValues, "Convolution weight storage");
}

// Weights of a (grouped) 1x1 convolution; the groups are known to divide the channel counts.
int64_t conv1x1_weights(int64_t in_channels, int64_t out_channels, int64_t groups, bool bias) {
    return checked_add(checked_mul(in_channels, out_channels) / groups, bias ? out_channels : 0);
}

// Signal rows that the convolution and the mixin produce: both halves for gated and blended
// layers.
int64_t mixed_rows(const LayerParams& p) {
    return p.gating_mode == GatingMode::NONE ? p.bottleneck : 2 * static_cast<int64_t>(p.bottleneck);
}

// The FiLM slots in processing and weight order, with the rows of the signal each modulates.
struct FiLMSlot {
    const FiLMParams* params;
    int64_t rows;
};

std::array<FiLMSlot, 8> film_slots(const LayerParams& p) {
    const int64_t mixed = mixed_rows(p);
    return {{{&p.conv_pre_film_params, p.channels},
             {&p.conv_post_film_params, mixed},
             {&p.input_mixin_pre_film_params, p.condition_size},
             {&p.input_mixin_post_film_params, mixed},
             {&p.activation_pre_film_params, mixed},
             {&p.activation_post_film_params, p.bottleneck},
             {&p.layer1x1_post_film_params, p.channels},
             {&p.head1x1_post_film_params, p.head1x1_params.out_channels}}};
}

int64_t film_conv_rows(const FiLMSlot& slot) { return slot.params->shift ? 2 * slot.rows : slot.rows; }

// A per-channel PReLU must have one slope, or one per row of the signal it meets; anything else
// would throw on the audio thread or silently mix up channels.
void check_activation(const activations::ActivationConfig& config, int rows) {
    static_cast<void>(activations::Activation::get_activation(config));
    if (config.type != activations::ActivationType::PReLU || !config.negative_slopes) return;
    const size_t slopes = config.negative_slopes->size();
    if (slopes != 1 && slopes != static_cast<size_t>(rows))
        throw std::invalid_argument("PReLU has " + std::to_string(slopes) + " slopes, but its layer has " +
                                    std::to_string(rows) + " channels");
}

void check_layer1x1(const LayerParams& p) {
    if (p.layer1x1_params.active) {
        check_conv1x1_shape(p.bottleneck, p.channels, p.layer1x1_params.groups);
        return;
    }
    if (p.bottleneck != p.channels)
        throw std::invalid_argument("When layer1x1.active is false, bottleneck (" + std::to_string(p.bottleneck) +
                                    ") must equal channels (" + std::to_string(p.channels) + ")");
    if (p.layer1x1_post_film_params.active)
        throw std::invalid_argument("layer1x1_post_film cannot be active when layer1x1 is not active");
}

void check_head1x1(const LayerParams& p) {
    if (p.head1x1_params.active) {
        check_channel_count(p.head1x1_params.out_channels);
        check_conv1x1_shape(p.bottleneck, p.head1x1_params.out_channels, p.head1x1_params.groups);
        return;
    }
    if (p.head1x1_post_film_params.active)
        throw std::invalid_argument("Do not use post-head 1x1 FiLM if there is no head 1x1");
}

void check_gating(const LayerParams& p) {
    if (p.gating_mode == GatingMode::NONE) return;
    if (p.bottleneck < 1)
        throw std::invalid_argument(std::string(p.gating_mode == GatingMode::GATED ? "GatingActivation"
                                                                                    : "BlendingActivation") +
                                    ": number of input channels must be positive");
    check_activation(p.secondary_activation_config, p.bottleneck);
}

std::unique_ptr<FiLM> make_film(const FiLMParams& params, int condition_size, int64_t rows) {
    if (!params.active) return nullptr;
    return std::make_unique<FiLM>(condition_size, static_cast<int>(rows), params.shift, params.groups);
}

void size_film(const std::unique_ptr<FiLM>& film, int max_buffer_size) {
    if (film) film->SetMaxBufferSize(max_buffer_size);
}

// Runs the layer's constructor checks first, so the members are only built from valid shapes.
const LayerParams& checked(const LayerParams& params) {
    _Layer::check(params);
    return params;
}

const LayerArrayParams& checked(const LayerArrayParams& params) {
    _LayerArray::check(params);
    return params;
}

void check_per_layer_lists(const LayerArrayParams& p) {
    const auto check = [&](const char* what, size_t size) {
        if (size != p.dilations.size())
            throw std::invalid_argument(std::string("LayerArrayParams: dilations size (") +
                                        std::to_string(p.dilations.size()) + ") must match " + what + " size (" +
                                        std::to_string(size) + ")");
    };
    check("activation_configs", p.activation_configs.size());
    check("gating_modes", p.gating_modes.size());
    check("secondary_activation_configs", p.secondary_activation_configs.size());
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// LayerParams

LayerParams LayerParams::of_layer(const LayerArrayParams& a, size_t i) {
    return LayerParams{a.condition_size,
                       a.channels,
                       a.bottleneck,
                       a.kernel_size,
                       a.dilations.at(i),
                       a.activation_configs.at(i),
                       a.gating_modes.at(i),
                       a.groups_input,
                       a.groups_input_mixin,
                       a.layer1x1_params,
                       a.head1x1_params,
                       a.secondary_activation_configs.at(i),
                       a.conv_pre_film_params,
                       a.conv_post_film_params,
                       a.input_mixin_pre_film_params,
                       a.input_mixin_post_film_params,
                       a.activation_pre_film_params,
                       a.activation_post_film_params,
                       a.layer1x1_post_film_params,
                       a.head1x1_post_film_params};
}

// ---------------------------------------------------------------------------------------------
// _Layer: checks and sizes

void _Layer::check(const LayerParams& p) {
    check_channel_count(p.channels);
    check_channel_count(p.bottleneck);
    check_channel_count(p.condition_size);
    const int mixed = static_cast<int>(mixed_rows(p));
    check_conv1d_shape(p.channels, mixed, p.kernel_size, p.dilation, p.groups_input);
    check_conv1x1_shape(p.condition_size, mixed, p.groups_input_mixin);
    check_activation(p.activation_config, p.bottleneck);
    check_layer1x1(p);
    check_head1x1(p);
    check_gating(p);
    for (const FiLMSlot& slot : film_slots(p))
        if (slot.params->active)
            check_conv1x1_shape(p.condition_size, static_cast<int>(film_conv_rows(slot)), slot.params->groups);
}

int64_t _Layer::weight_count(const LayerParams& p) {
    const int64_t mixed = mixed_rows(p);
    const int64_t conv_taps = checked_mul(checked_mul(p.kernel_size, mixed), p.channels) / p.groups_input;
    int64_t count = checked_add(conv_taps, mixed);
    count = checked_add(count, conv1x1_weights(p.condition_size, mixed, p.groups_input_mixin, false));
    if (p.layer1x1_params.active)
        count = checked_add(count, conv1x1_weights(p.bottleneck, p.channels, p.layer1x1_params.groups, true));
    if (p.head1x1_params.active)
        count = checked_add(count, conv1x1_weights(p.bottleneck, p.head1x1_params.out_channels,
                                                   p.head1x1_params.groups, true));
    for (const FiLMSlot& slot : film_slots(p))
        if (slot.params->active)
            count = checked_add(count, conv1x1_weights(p.condition_size, film_conv_rows(slot), slot.params->groups, true));
    return count;
}

int64_t _Layer::state_values(const LayerParams& p, int64_t max_frames) {
    const int64_t mixed = mixed_rows(p);
    const int64_t lookback = checked_mul(p.kernel_size - 1, p.dilation);
    // Conv output, mixin output, pre-activation and residual, plus what is present.
    int64_t rows = 3 * mixed + p.channels;
    if (p.layer1x1_params.active) rows += p.channels;
    if (p.head1x1_params.active) rows += p.head1x1_params.out_channels;
    if (p.gating_mode == GatingMode::GATED) rows += 2 * static_cast<int64_t>(p.bottleneck);
    if (p.gating_mode == GatingMode::BLENDED) rows += 3 * static_cast<int64_t>(p.bottleneck);
    for (const FiLMSlot& slot : film_slots(p))
        if (slot.params->active) rows += slot.rows + film_conv_rows(slot);
    const int64_t history = checked_mul(p.channels, checked_add(max_frames, 2 * lookback));
    return checked_add(history, checked_mul(rows, max_frames));
}

// ---------------------------------------------------------------------------------------------
// _Layer: construction

_Layer::_Layer(const LayerParams& p)
    : _input_mixin(checked(p).condition_size, static_cast<int>(mixed_rows(p)), false, p.groups_input_mixin),
      _activation(activations::Activation::get_activation(p.activation_config)),
      _gating_mode(p.gating_mode),
      _bottleneck(p.bottleneck) {
    _dilated_conv.set_size_(p.channels, static_cast<int>(mixed_rows(p)), p.kernel_size, true, p.dilation,
                            p.groups_input);
    if (p.layer1x1_params.active)
        _layer1x1 = std::make_unique<Conv1x1>(p.bottleneck, p.channels, true, p.layer1x1_params.groups);
    if (p.head1x1_params.active)
        _head1x1 = std::make_unique<Conv1x1>(p.bottleneck, p.head1x1_params.out_channels, true,
                                             p.head1x1_params.groups);
    if (p.gating_mode == GatingMode::BLENDED)
        _blending_activation = std::make_unique<BlendingActivation>(
            _activation, activations::Activation::get_activation(p.secondary_activation_config), p.bottleneck);
    if (p.gating_mode == GatingMode::GATED)
        _gating_activation = std::make_unique<GatingActivation>(
            _activation, activations::Activation::get_activation(p.secondary_activation_config), p.bottleneck);

    const std::array<FiLMSlot, 8> slots = film_slots(p);
    std::unique_ptr<FiLM>* films[] = {&_conv_pre_film,       &_conv_post_film,       &_input_mixin_pre_film,
                                      &_input_mixin_post_film, &_activation_pre_film,  &_activation_post_film,
                                      &_layer1x1_post_film,  &_head1x1_post_film};
    for (size_t i = 0; i < slots.size(); ++i) *films[i] = make_film(*slots[i].params, p.condition_size, slots[i].rows);
}

void _Layer::SetMaxBufferSize(int n) {
    _dilated_conv.SetMaxBufferSize(n);
    _input_mixin.SetMaxBufferSize(n);
    _pre_activation.setZero(_dilated_conv.get_out_channels(), n);
    if (_layer1x1) _layer1x1->SetMaxBufferSize(n);
    _residual_output.setZero(get_channels(), n);
    if (_head1x1) _head1x1->SetMaxBufferSize(n);
    if (_gating_activation) _gating_activation->SetMaxBufferSize(n);
    if (_blending_activation) _blending_activation->SetMaxBufferSize(n);
    for (const auto* film : {&_conv_pre_film, &_conv_post_film, &_input_mixin_pre_film, &_input_mixin_post_film,
                             &_activation_pre_film, &_activation_post_film, &_layer1x1_post_film, &_head1x1_post_film})
        size_film(*film, n);
}

void _Layer::set_weights_(weights_it& weights) {
    _dilated_conv.set_weights_(weights);
    _input_mixin.set_weights_(weights);
    if (_layer1x1) _layer1x1->set_weights_(weights);
    if (_head1x1) _head1x1->set_weights_(weights);
    for (const auto* film : {&_conv_pre_film, &_conv_post_film, &_input_mixin_pre_film, &_input_mixin_post_film,
                             &_activation_pre_film, &_activation_post_film, &_layer1x1_post_film, &_head1x1_post_film})
        if (*film) (*film)->set_weights_(weights);
}

long _Layer::get_num_weights() const {
    long count = _dilated_conv.get_num_weights() + _input_mixin.get_num_weights();
    if (_layer1x1) count += _layer1x1->get_num_weights();
    if (_head1x1) count += _head1x1->get_num_weights();
    for (const auto* film : {&_conv_pre_film, &_conv_post_film, &_input_mixin_pre_film, &_input_mixin_post_film,
                             &_activation_pre_film, &_activation_post_film, &_layer1x1_post_film, &_head1x1_post_film})
        if (*film) count += (*film)->get_num_weights();
    return count;
}

long _Layer::get_head_rows() const { return _head1x1 ? _head1x1->get_out_channels() : _bottleneck; }

// ---------------------------------------------------------------------------------------------
// _Layer: processing

void _Layer::Process(const ConstSignal& input, const ConstSignal& condition, int n) {
    if (_conv_pre_film) {
        _conv_pre_film->Process(input, condition, n);
        _dilated_conv.Process(_conv_pre_film->GetOutput(), n);
    } else {
        _dilated_conv.Process(input, n);
    }
    auto conv_output = _dilated_conv.GetOutput().leftCols(n);
    if (_conv_post_film) _conv_post_film->Process_(conv_output, condition, n);

    if (_input_mixin_pre_film) {
        _input_mixin_pre_film->Process(condition, condition, n);
        _input_mixin.process_(_input_mixin_pre_film->GetOutput(), n);
    } else {
        _input_mixin.process_(condition, n);
    }
    auto mixin_output = _input_mixin.GetOutput().leftCols(n);
    if (_input_mixin_post_film) _input_mixin_post_film->Process_(mixin_output, condition, n);

    auto pre_activation = _pre_activation.leftCols(n);
    sum_into(pre_activation, conv_output, mixin_output);
    if (_activation_pre_film) _activation_pre_film->Process_(pre_activation, condition, n);

    _activate(n);
    auto activated = _pre_activation.topLeftCorner(_bottleneck, n);
    if (_activation_post_film) _activation_post_film->Process_(activated, condition, n);

    if (_layer1x1) {
        _layer1x1->process_(activated, n);
        auto layer1x1_output = _layer1x1->GetOutput().leftCols(n);
        if (_layer1x1_post_film) _layer1x1_post_film->Process_(layer1x1_output, condition, n);
    }
    if (_head1x1) {
        _head1x1->process_(activated, n);
        auto head1x1_output = _head1x1->GetOutput().leftCols(n);
        if (_head1x1_post_film) _head1x1_post_film->Process_(head1x1_output, condition, n);
    }

    if (_layer1x1)
        sum_into(_residual_output.leftCols(n), input.leftCols(n), _layer1x1->GetOutput().leftCols(n));
    else
        copy_into(_residual_output.leftCols(n), input.leftCols(n));
}

void _Layer::_activate(int n) {
    auto pre_activation = _pre_activation.leftCols(n);
    auto top = _pre_activation.topLeftCorner(_bottleneck, n);
    switch (_gating_mode) {
        case GatingMode::NONE: _activation->apply(pre_activation); break;
        case GatingMode::GATED: _gating_activation->apply(pre_activation, top); break;
        case GatingMode::BLENDED: _blending_activation->apply(pre_activation, top); break;
    }
}

ConstSignal _Layer::GetHeadContribution(int n) const {
    if (_head1x1) return std::as_const(*_head1x1).GetOutput().leftCols(n);
    return _pre_activation.topLeftCorner(_bottleneck, n);
}

// ---------------------------------------------------------------------------------------------
// _LayerArray

int _LayerArray::head_rows(const LayerArrayParams& p) {
    return p.head1x1_params.active ? p.head1x1_params.out_channels : p.bottleneck;
}

int64_t _LayerArray::receptive_field(const LayerArrayParams& p) {
    int64_t field = 0;
    for (int dilation : p.dilations) field = checked_add(field, checked_mul(dilation, p.kernel_size - 1));
    return field;
}

void _LayerArray::check(const LayerArrayParams& p) {
    // An array without layers would have no output to pass on.
    if (p.dilations.empty()) throw std::invalid_argument("A layer array needs at least one dilation");
    check_per_layer_lists(p);
    check_channel_count(p.input_size);
    check_channel_count(p.channels);
    check_channel_count(p.head_size);
    check_conv1x1_shape(p.input_size, p.channels, 1);
    check_channel_count(head_rows(p));
    check_conv1x1_shape(head_rows(p), p.head_size, 1);
    for (size_t i = 0; i < p.dilations.size(); ++i) _Layer::check(LayerParams::of_layer(p, i));
    config::check_limit(receptive_field(p), limits::kMaxLookback, "Layer array receptive field");
}

int64_t _LayerArray::weight_count(const LayerArrayParams& p) {
    int64_t count = checked_mul(p.input_size, p.channels);
    for (size_t i = 0; i < p.dilations.size(); ++i)
        count = checked_add(count, _Layer::weight_count(LayerParams::of_layer(p, i)));
    return checked_add(count, conv1x1_weights(head_rows(p), p.head_size, 1, p.head_bias));
}

int64_t _LayerArray::state_values(const LayerArrayParams& p, int64_t max_frames) {
    int64_t values = checked_mul(static_cast<int64_t>(p.channels) + head_rows(p) + p.head_size, max_frames);
    for (size_t i = 0; i < p.dilations.size(); ++i)
        values = checked_add(values, _Layer::state_values(LayerParams::of_layer(p, i), max_frames));
    return values;
}

_LayerArray::_LayerArray(const LayerArrayParams& p)
    : _input_projection(checked(p).input_size, p.channels, false, 1),
      _head_projection(head_rows(p), p.head_size, p.head_bias, 1),
      _head_sum_rows(head_rows(p)) {
    _layers.reserve(p.dilations.size());
    for (size_t i = 0; i < p.dilations.size(); ++i) _layers.emplace_back(LayerParams::of_layer(p, i));
}

void _LayerArray::SetMaxBufferSize(int n) {
    _input_projection.SetMaxBufferSize(n);
    _head_projection.SetMaxBufferSize(n);
    for (_Layer& layer : _layers) layer.SetMaxBufferSize(n);
    _head_sum.setZero(_head_sum_rows, n);
}

void _LayerArray::set_weights_(weights_it& weights) {
    _input_projection.set_weights_(weights);
    for (_Layer& layer : _layers) layer.set_weights_(weights);
    _head_projection.set_weights_(weights);
}

long _LayerArray::get_num_weights() const {
    long count = _input_projection.get_num_weights() + _head_projection.get_num_weights();
    for (const _Layer& layer : _layers) count += layer.get_num_weights();
    return count;
}

long _LayerArray::get_receptive_field() const {
    long field = 0;
    for (const _Layer& layer : _layers) field += static_cast<long>(layer.get_dilation()) * (layer.get_kernel_size() - 1);
    return field;
}

void _LayerArray::Process(const ConstSignal& layer_inputs, const ConstSignal& condition, int n) {
    _head_sum.leftCols(n).setZero();
    ProcessInner(layer_inputs, condition, n);
}

void _LayerArray::Process(const ConstSignal& layer_inputs, const ConstSignal& condition,
                          const ConstSignal& head_inputs, int n) {
    assert(head_inputs.rows() == _head_sum.rows() && "head_inputs.rows() == _head_sum.rows()");
    copy_into(_head_sum.leftCols(n), head_inputs.leftCols(n));
    ProcessInner(layer_inputs, condition, n);
}

void _LayerArray::ProcessInner(const ConstSignal& layer_inputs, const ConstSignal& condition, int n) {
    _input_projection.process_(layer_inputs, n);
    const Eigen::MatrixXf* input = &_input_projection.GetOutput();
    for (_Layer& layer : _layers) {
        layer.Process(*input, condition, n);
        add_into(_head_sum.leftCols(n), layer.GetHeadContribution(n));
        input = &layer.GetResidualOutput();
    }
    _head_projection.process_(_head_sum, n);
}

}  // namespace nam::wavenet
