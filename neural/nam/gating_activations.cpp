#include "neural/nam/gating_activations.h"

#include <algorithm>
#include <cassert>
#include <stdexcept>
#include <string>
#include <utility>

namespace nam::gating_activations {
namespace {

void check_channels(int num_channels, const char* owner) {
    if (num_channels < 1)
        throw std::invalid_argument(std::string(owner) + ": number of input channels must be positive");
}

// One column to start with, so that apply works (column by column) before any sizing.
void size_scratch(Eigen::MatrixXf& scratch, int rows, int columns) {
    scratch.resize(rows, std::max(columns, 1));
    scratch.setZero();
}

// Copies the top or bottom half of a slice of columns into scratch and activates it there, where
// it is contiguous.
template <typename Scratch>
void activate_half(activations::Activation& activation, const ConstSignal& input, Eigen::Index first_row,
                   Eigen::Index start, Scratch&& scratch) {
    scratch = input.block(first_row, start, scratch.rows(), scratch.cols());
    activation.apply(scratch);
}

}  // namespace

GatingActivation::GatingActivation(activations::Activation::Ptr input_activation_,
                                   activations::Activation::Ptr gating_activation_, int num_channels_)
    : input_activation(std::move(input_activation_)),
      gating_activation(std::move(gating_activation_)),
      num_channels(num_channels_) {
    check_channels(num_channels, "GatingActivation");
    size_scratch(input_scratch, num_channels, 1);
    size_scratch(gating_scratch, num_channels, 1);
}

void GatingActivation::SetMaxBufferSize(int max_buffer_size) {
    size_scratch(input_scratch, num_channels, max_buffer_size);
    size_scratch(gating_scratch, num_channels, max_buffer_size);
}

void GatingActivation::apply(const ConstSignal& input, Signal output) {
    assert(input.rows() == 2 * num_channels && "input.rows() == 2 * num_channels");
    assert(output.rows() == num_channels && "output.rows() == num_channels");
    assert(output.cols() == input.cols() && "output.cols() == input.cols()");
    const Eigen::Index slice = input_scratch.cols();
    for (Eigen::Index start = 0; start < input.cols(); start += slice) {
        const Eigen::Index width = std::min(slice, input.cols() - start);
        auto activated = input_scratch.leftCols(width);
        auto gate = gating_scratch.leftCols(width);
        // Both halves are read before the output, which may be the input's top rows, is written.
        activate_half(*input_activation, input, 0, start, activated);
        activate_half(*gating_activation, input, num_channels, start, gate);
        output.middleCols(start, width) = activated.cwiseProduct(gate);
    }
}

BlendingActivation::BlendingActivation(activations::Activation::Ptr input_activation_,
                                       activations::Activation::Ptr blending_activation_, int num_channels_)
    : input_activation(std::move(input_activation_)),
      blending_activation(std::move(blending_activation_)),
      num_channels(num_channels_) {
    check_channels(num_channels, "BlendingActivation");
    size_scratch(raw_scratch, num_channels, 1);
    size_scratch(activated_scratch, num_channels, 1);
    size_scratch(alpha_scratch, num_channels, 1);
}

void BlendingActivation::SetMaxBufferSize(int max_buffer_size) {
    size_scratch(raw_scratch, num_channels, max_buffer_size);
    size_scratch(activated_scratch, num_channels, max_buffer_size);
    size_scratch(alpha_scratch, num_channels, max_buffer_size);
}

void BlendingActivation::apply(const ConstSignal& input, Signal output) {
    assert(input.rows() == num_channels * 2 && "input.rows() == num_channels * 2");
    assert(output.rows() == num_channels && "output.rows() == num_channels");
    assert(output.cols() == input.cols() && "output.cols() == input.cols()");
    const Eigen::Index slice = raw_scratch.cols();
    for (Eigen::Index start = 0; start < input.cols(); start += slice) {
        const Eigen::Index width = std::min(slice, input.cols() - start);
        auto raw = raw_scratch.leftCols(width);
        auto activated = activated_scratch.leftCols(width);
        auto alpha = alpha_scratch.leftCols(width);
        raw = input.block(0, start, num_channels, width);
        activated = raw;
        input_activation->apply(activated);
        activate_half(*blending_activation, input, num_channels, start, alpha);
        output.middleCols(start, width) =
            ((1.0f - alpha.array()) * raw.array() + alpha.array() * activated.array()).matrix();
    }
}

}  // namespace nam::gating_activations
