#include "neural/nam/ring_buffer.h"

#include <cassert>
#include <stdexcept>
#include <string>

namespace nam {

void RingBuffer::SetMaxLookback(int64_t max_lookback) {
    if (max_lookback < 0)
        throw std::invalid_argument("RingBuffer: max lookback (" + std::to_string(max_lookback) +
                                    ") must not be negative");
    _max_lookback = max_lookback;
}

void RingBuffer::Reset(int channels, int max_buffer_size) {
    if (channels < 0 || max_buffer_size < 0)
        throw std::invalid_argument("RingBuffer: channels (" + std::to_string(channels) + ") and max buffer size (" +
                                    std::to_string(max_buffer_size) + ") must not be negative");
    _max_buffer_size = max_buffer_size;
    _storage.setZero(channels, max_buffer_size + 2 * _max_lookback);
    _write_pos = _max_lookback;
}

bool RingBuffer::NeedsRewind(int num_frames) const { return _write_pos + num_frames > _storage.cols(); }

void RingBuffer::Write(const Eigen::Ref<const Eigen::MatrixXf>& input, int num_frames) {
    assert(num_frames <= _max_buffer_size && "Write: num_frames must not exceed max_buffer_size");
    assert(input.rows() == _storage.rows() && "Write: input rows must match the channel count");
    if (NeedsRewind(num_frames)) Rewind();
    auto destination = _storage.middleCols(_write_pos, num_frames);
    // Whole columns are one contiguous run of floats: copied as such, it is a single flat loop
    // rather than one short loop per frame.
    if (input.outerStride() == input.rows())
        Eigen::Map<Eigen::ArrayXf>(destination.data(), destination.size()) =
            Eigen::Map<const Eigen::ArrayXf>(input.data(), destination.size());
    else
        destination = input.leftCols(num_frames);
}

void RingBuffer::Rewind() {
    if (_max_lookback == 0) {
        _write_pos = 0;
        return;
    }
    assert(_write_pos >= 2 * _max_lookback &&
           "Write pointer must be at least 2 * max_lookback to avoid aliasing during rewind");
    const int64_t copy_start = _write_pos - _max_lookback;
    assert(copy_start >= 0 && copy_start + _max_lookback <= _storage.cols() &&
           "Copy start position must be within storage bounds");
    // The regions [0, L) and [copy_start, copy_start + L) never overlap, so a plain copy is safe.
    _storage.leftCols(_max_lookback) = _storage.middleCols(copy_start, _max_lookback);
    _write_pos = _max_lookback;
}

RingBuffer::ConstColumns RingBuffer::Read(int num_frames, int64_t lookback) const {
    assert(lookback <= _max_lookback && "Read: lookback must not exceed max_lookback");
    assert(num_frames <= _max_buffer_size && "Read: num_frames must not exceed max_buffer_size");
    return _storage.middleCols(_write_pos - lookback, num_frames);
}

void RingBuffer::Advance(int num_frames) { _write_pos += num_frames; }

}  // namespace nam
