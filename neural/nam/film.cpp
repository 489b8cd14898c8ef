#include "neural/nam/film.h"

#include <cassert>

namespace nam {

FiLM::FiLM(int condition_dim, int input_dim, bool shift, int groups)
    : _condition_conv(condition_dim, shift ? 2 * input_dim : input_dim, true, groups), _shift(shift) {}

void FiLM::SetMaxBufferSize(int max_buffer_size) {
    _condition_conv.SetMaxBufferSize(max_buffer_size);
    _output.setZero(get_input_dim(), max_buffer_size);
}

void FiLM::_compute_modulation(const ConstSignal& condition, int num_frames) {
    assert(get_condition_dim() == condition.rows() && "get_condition_dim() == condition.rows()");
    assert(num_frames <= condition.cols() && "num_frames <= condition.cols()");
    _condition_conv.process_(condition, num_frames);
}

template <typename Out>
void FiLM::_modulate(Out&& output, const ConstSignal& input, int num_frames) const {
    const Eigen::Index dim = get_input_dim();
    const auto& modulation = _condition_conv.GetOutput();
    const auto scale = modulation.topLeftCorner(dim, num_frames);
    if (_shift)
        output = input.leftCols(num_frames).cwiseProduct(scale) + modulation.block(dim, 0, dim, num_frames);
    else
        output = input.leftCols(num_frames).cwiseProduct(scale);
}

void FiLM::Process(const ConstSignal& input, const ConstSignal& condition, int num_frames) {
    assert(get_input_dim() == input.rows() && "get_input_dim() == input.rows()");
    assert(num_frames <= input.cols() && "num_frames <= input.cols()");
    assert(num_frames <= _output.cols() && "num_frames <= _output.cols()");
    _compute_modulation(condition, num_frames);
    _modulate(_output.leftCols(num_frames), input, num_frames);
}

// Element-wise, so the signal can be its own input; the modulation is computed first, so the
// signal may even be the condition itself.
void FiLM::Process_(Signal signal, const ConstSignal& condition, int num_frames) {
    assert(get_input_dim() == signal.rows() && "get_input_dim() == signal.rows()");
    assert(num_frames <= signal.cols() && "num_frames <= signal.cols()");
    _compute_modulation(condition, num_frames);
    _modulate(signal.leftCols(num_frames), signal, num_frames);
}

}  // namespace nam
