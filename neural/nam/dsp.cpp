#include "neural/nam/dsp.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <stdexcept>
#include <string>

#include "neural/nam/config_values.h"
#include "neural/nam/limits.h"

namespace nam {
namespace {

// Levels are stored as float; a value beyond float range saturates instead of being undefined.
float saturate_to_float(double value) {
    constexpr double kMax = std::numeric_limits<float>::max();
    return static_cast<float>(std::clamp(value, -kMax, kMax));
}

void check_channels(int in_channels, int out_channels) {
    if (in_channels < 1 || out_channels < 1) throw std::runtime_error("Channel counts must be positive");
    config::check_limit(std::max(in_channels, out_channels), limits::kMaxChannels, "Channel count");
}

void check_receptive_field(int receptive_field) {
    if (receptive_field < 0 || receptive_field > limits::kMaxLookback)
        throw std::runtime_error("Receptive field (" + std::to_string(receptive_field) + ") must be between 0 and " +
                                 std::to_string(limits::kMaxLookback));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// DSP

DSP::DSP(int in_channels_, int out_channels_, double expected_sample_rate)
    : mExpectedSampleRate(expected_sample_rate), in_channels(in_channels_), out_channels(out_channels_) {
    check_channels(in_channels, out_channels);
}

void DSP::prewarm() {
    if (mMaxBufferSize == 0) SetMaxBufferSize(kDefaultMaxBufferSize);
    const int samples = PrewarmSamples();
    if (samples <= 0) return;
    const int block = std::max(1, mMaxBufferSize);

    std::vector<std::vector<double>> inputs(in_channels, std::vector<double>(block, 0.0));
    std::vector<std::vector<double>> outputs(out_channels, std::vector<double>(block, 0.0));
    std::vector<double*> input_pointers, output_pointers;
    for (auto& channel : inputs) input_pointers.push_back(channel.data());
    for (auto& channel : outputs) output_pointers.push_back(channel.data());
    for (int64_t count = 0; count < samples; count += block)
        process(input_pointers.data(), output_pointers.data(), block);
}

void DSP::process(double** input, double** output, int num_frames) {
    const int copied = std::min(in_channels, out_channels);
    for (int c = 0; c < copied; ++c) std::copy(input[c], input[c] + num_frames, output[c]);
    for (int c = in_channels; c < out_channels; ++c) std::fill(output[c], output[c] + num_frames, 0.0);
}

void DSP::Reset(double sample_rate, int max_buffer_size) {
    mExternalSampleRate = sample_rate;
    SetMaxBufferSize(max_buffer_size);
    prewarm();
}

void DSP::SetMaxBufferSize(int max_buffer_size) {
    const int64_t prewarm_values = static_cast<int64_t>(in_channels + out_channels) * max_buffer_size;
    if (max_buffer_size < 0 || max_buffer_size > limits::kMaxBufferSize || prewarm_values > limits::kMaxStateValues)
        throw std::invalid_argument("Max buffer size (" + std::to_string(max_buffer_size) +
                                    ") is out of range for this model");
    mMaxBufferSize = max_buffer_size;
}

double DSP::GetLoudness() const {
    if (!mLoudness) throw std::runtime_error("Asked for loudness of a model that doesn't know how loud it is!");
    return *mLoudness;
}

void DSP::SetInputLevel(double level) { mInputLevel = saturate_to_float(level); }
void DSP::SetOutputLevel(double level) { mOutputLevel = saturate_to_float(level); }

// ---------------------------------------------------------------------------------------------
// Buffer

Buffer::Buffer(int in_channels_, int out_channels_, int receptive_field, double expected_sample_rate)
    : DSP(in_channels_, out_channels_, expected_sample_rate) {
    _set_receptive_field(receptive_field);
}

void Buffer::_set_receptive_field(int receptive_field) {
    check_receptive_field(receptive_field);
    // Room for 32 look-backs, or just the look-back when that would exceed the storage limit;
    // SetMaxBufferSize sizes it properly for the real block size.
    int64_t length = 32 * static_cast<int64_t>(receptive_field);
    if (length * in_channels > limits::kMaxStateValues) length = receptive_field;
    _set_receptive_field(receptive_field, length);
}

void Buffer::_set_receptive_field(int receptive_field, int64_t input_buffer_size) {
    check_receptive_field(receptive_field);
    if (input_buffer_size < receptive_field)
        throw std::runtime_error("Input history (" + std::to_string(input_buffer_size) +
                                 ") is shorter than the receptive field (" + std::to_string(receptive_field) + ")");
    config::check_limit(config::checked_mul(input_buffer_size, in_channels), limits::kMaxStateValues,
                        "Input history size");
    _receptive_field = receptive_field;
    _input_buffers.assign(in_channels, std::vector<float>(static_cast<size_t>(input_buffer_size), 0.0f));
    _output_buffers.resize(out_channels);
    _input_buffer_offset = _receptive_field;
}

int64_t Buffer::_history_length_for(int64_t num_frames) const {
    const int64_t scratch = static_cast<int64_t>(out_channels) * num_frames;
    const int64_t budget = limits::kMaxStateValues - scratch;
    const int64_t minimum = num_frames + _receptive_field;
    const int64_t preferred = static_cast<int64_t>(std::bit_ceil(static_cast<uint64_t>(32 * num_frames + _receptive_field)));
    if (preferred * in_channels <= budget) return preferred;
    if (minimum * in_channels <= budget) return minimum;
    throw std::runtime_error("Input history for blocks of " + std::to_string(num_frames) +
                             " frames exceeds the limit of " + std::to_string(limits::kMaxStateValues) + " values");
}

void Buffer::_grow_history(int64_t length) {
    // Growing keeps every stored sample (and so the look-back before the offset); new space is zero.
    for (auto& history : _input_buffers)
        if (static_cast<int64_t>(history.size()) < length) history.resize(static_cast<size_t>(length), 0.0f);
}

void Buffer::SetMaxBufferSize(int max_buffer_size) {
    DSP::SetMaxBufferSize(max_buffer_size);
    _grow_history(_history_length_for(max_buffer_size));
    for (auto& scratch : _output_buffers) scratch.reserve(static_cast<size_t>(max_buffer_size));
}

void Buffer::_update_buffers_(double** input, int num_frames) {
    num_frames = std::max(num_frames, 0);
    if (GetHistoryLength() < static_cast<int64_t>(num_frames) + _receptive_field)
        _grow_history(_history_length_for(num_frames));  // only for a block larger than prepared for
    if (_input_buffer_offset + num_frames > GetHistoryLength()) _rewind_buffers_();

    for (int c = 0; c < in_channels; ++c) {
        float* history = _input_buffers[c].data() + _input_buffer_offset;
        for (int i = 0; i < num_frames; ++i) history[i] = static_cast<float>(input[c][i]);
    }
    for (auto& scratch : _output_buffers) scratch.assign(static_cast<size_t>(num_frames), 0.0f);
}

void Buffer::_rewind_buffers_() {
    const int64_t source = _input_buffer_offset - _receptive_field;
    for (auto& history : _input_buffers)
        for (int64_t i = 0; i < _receptive_field; ++i) history[i] = history[source + i];
    _input_buffer_offset = _receptive_field;
}

}  // namespace nam
