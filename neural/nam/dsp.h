#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace nam {

// Layers consume the file's flat weight list through an iterator passed by reference.
using weights_it = std::vector<float>::const_iterator;

// Block size used when a model is prewarmed before its owner has sized it.
inline constexpr int kDefaultMaxBufferSize = 4096;

// The root of every model. Signals cross this interface as planar double buffers: `input` holds
// NumInputChannels() pointers, `output` NumOutputChannels() pointers, each to num_frames samples.
//
// A derived architecture passes its channel counts to this constructor, overrides `process`
// (called with at most GetMaxBufferSize() frames), overrides `PrewarmSamples` when it has state
// to settle, and overrides `SetMaxBufferSize` (calling this base first) to size its per-block
// buffers, so that `process` never allocates.
class DSP {
public:
    DSP(int in_channels, int out_channels, double expected_sample_rate);
    virtual ~DSP() = default;
    DSP(const DSP&) = delete;
    DSP& operator=(const DSP&) = delete;

    // Settles the model on silence: PrewarmSamples() zeros, in blocks of the current size.
    virtual void prewarm();
    // Base: copies input channel c to output channel c and zeroes the extra output channels.
    virtual void process(double** input, double** output, int num_frames);
    // Records the host rate, sizes the model for blocks of up to max_buffer_size and prewarms.
    virtual void Reset(double sample_rate, int max_buffer_size);
    virtual int PrewarmSamples() { return 0; }
    // Base: validates and records the size. Sizes outside [0, limits::kMaxBufferSize], or whose
    // prewarm buffers would exceed limits::kMaxStateValues, throw std::invalid_argument.
    virtual void SetMaxBufferSize(int max_buffer_size);

    int NumInputChannels() const { return in_channels; }
    int NumOutputChannels() const { return out_channels; }
    int GetMaxBufferSize() const { return mMaxBufferSize; }
    double GetExpectedSampleRate() const { return mExpectedSampleRate; }
    std::optional<double> GetExternalSampleRate() const { return mExternalSampleRate; }

    void SetLoudness(double loudness) { mLoudness = loudness; }
    double GetLoudness() const;
    bool HasLoudness() const { return mLoudness.has_value(); }
    void SetInputLevel(double level);
    double GetInputLevel() const { return mInputLevel.value_or(0.0f); }
    bool HasInputLevel() const { return mInputLevel.has_value(); }
    void SetOutputLevel(double level);
    double GetOutputLevel() const { return mOutputLevel.value_or(0.0f); }
    bool HasOutputLevel() const { return mOutputLevel.has_value(); }

protected:
    std::optional<double> mLoudness;
    double mExpectedSampleRate;
    std::optional<double> mExternalSampleRate;
    int mMaxBufferSize = 0;
    int in_channels;
    int out_channels;
    std::optional<float> mInputLevel;
    std::optional<float> mOutputLevel;
};

// A model that looks back over a receptive field: one float history per input channel, written
// block by block at `_input_buffer_offset` and rewound (keeping the last rf samples) when full.
//
// The history is sized for the largest block in SetMaxBufferSize, so processing blocks of up to
// that size never allocates; a larger block grows it without losing the look-back it holds.
class Buffer : public DSP {
public:
    Buffer(int in_channels, int out_channels, int receptive_field, double expected_sample_rate);
    void SetMaxBufferSize(int max_buffer_size) override;

    int GetReceptiveField() const { return _receptive_field; }
    int64_t GetHistoryLength() const { return static_cast<int64_t>(_input_buffers.front().size()); }

protected:
    virtual void _update_buffers_(double** input, int num_frames);
    virtual void _rewind_buffers_();

    void _set_receptive_field(int receptive_field);
    void _set_receptive_field(int receptive_field, int64_t input_buffer_size);
    void _reset_input_buffer() { _input_buffer_offset = _receptive_field; }
    void _advance_input_buffer_(int num_frames) { _input_buffer_offset += num_frames; }

    int _receptive_field = 0;
    int64_t _input_buffer_offset = 0;
    std::vector<std::vector<float>> _input_buffers;
    std::vector<std::vector<float>> _output_buffers;

private:
    // History length per channel for blocks of num_frames: 32 blocks plus the look-back (rounded
    // up to a power of two) when that fits the storage limit, else just one block plus look-back.
    int64_t _history_length_for(int64_t num_frames) const;
    void _grow_history(int64_t length);
};

}  // namespace nam
