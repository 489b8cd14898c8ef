#pragma once

#include <cstdint>

#include <Eigen/Dense>

namespace nam {

// A per-channel float history that lets a streaming layer look back a fixed number of frames
// across block boundaries.
//
// It is a linear buffer, not a modulo ring, so every Read is one contiguous block of columns:
// the storage holds max_buffer_size + 2 * max_lookback columns, writing starts at column
// max_lookback, and when the next block would run past the end the last max_lookback frames are
// copied to the front (a rewind, at most once every max_buffer_size frames). The spare
// max_lookback columns keep the copy from ever overlapping itself.
//
// Use: SetMaxLookback, Reset, then per block Write, any number of Read, and Advance.
// No operation but Reset allocates.
class RingBuffer {
public:
    using ConstColumns = Eigen::Block<const Eigen::MatrixXf, Eigen::Dynamic, Eigen::Dynamic, true>;

    // The largest lookback a reader may ask for; takes effect at the next Reset.
    // Throws std::invalid_argument for a negative lookback.
    void SetMaxLookback(int64_t max_lookback);
    // Reallocates and zeroes the history (the past counts as silence); the write position
    // starts at max_lookback. Throws std::invalid_argument for negative sizes.
    void Reset(int channels, int max_buffer_size);

    // Copies the first num_frames columns of input (one row per channel) in at the write
    // position, rewinding first if they would not fit. Does not advance.
    void Write(const Eigen::Ref<const Eigen::MatrixXf>& input, int num_frames);
    bool NeedsRewind(int num_frames) const;
    // Moves the last max_lookback frames to the front.
    void Rewind();
    // num_frames columns starting lookback frames before the write position (no copy). With
    // lookback 0 this is the block just written.
    ConstColumns Read(int num_frames, int64_t lookback) const;
    void Advance(int num_frames);

    int64_t GetMaxLookback() const { return _max_lookback; }
    int GetMaxBufferSize() const { return _max_buffer_size; }
    int64_t GetWritePos() const { return _write_pos; }
    int64_t GetChannels() const { return _storage.rows(); }
    int64_t GetStorageColumns() const { return _storage.cols(); }

private:
    Eigen::MatrixXf _storage;
    int64_t _write_pos = 0;
    int64_t _max_lookback = 0;
    int _max_buffer_size = 0;
};

}  // namespace nam
