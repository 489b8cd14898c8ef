#include "neural/NAMPlayer.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cmath>
#include <exception>
#include <filesystem>
#include <limits>

#include "neural/nam/dsp.h"
#include "neural/nam/get_dsp.h"

namespace {

void report(Error* error, int64_t code, const char* message) {
    if (error) setError(error, NAMPlayer::kErrorDomain, code, message);
}

// The staging conversions are written so that the compiler runs them a packet at a time: the
// test for non-finite input on the bits (integers never trap), the output as a plain conversion.

// Non-finite samples (exponent bits all ones: infinities and NaN) enter as 0.
void to_model_input(const float* from, double* to, int32_t frames) {
    constexpr uint32_t kExponent = 0x7f800000u;
    for (int32_t i = 0; i < frames; ++i) {
        const uint32_t bits = std::bit_cast<uint32_t>(from[i]);
        to[i] = static_cast<double>(std::bit_cast<float>((bits & kExponent) == kExponent ? 0u : bits));
    }
}

// Beyond float range the conversion gives ±infinity (IEEE rounding), NaN stays NaN.
void to_samples(const double* from, double gain, float* to, int32_t frames) {
    for (int32_t i = 0; i < frames; ++i) to[i] = static_cast<float>(from[i] * gain);
}

double normalisation_gain(const nam::DSP& model) {
    const double loudness = model.HasLoudness() ? model.GetLoudness() : NAMPlayer::kTargetLoudness;
    return std::pow(10.0, (NAMPlayer::kTargetLoudness - loudness) / 20.0);
}

}  // namespace

NAMPlayer::NAMPlayer() = default;
NAMPlayer::~NAMPlayer() = default;

bool NAMPlayer::loadModelAtPath(const std::string& path, Error* error) {
    try {
        std::unique_ptr<nam::DSP> model = nam::get_dsp(std::filesystem::path(path));
        if (model->NumInputChannels() != 1 || model->NumOutputChannels() != 1) {
            report(error, kLoadFailed,
                   ("Model must have one input and one output channel, not " +
                    std::to_string(model->NumInputChannels()) + " and " + std::to_string(model->NumOutputChannels()))
                       .c_str());
            return false;
        }
        _gain = normalisation_gain(*model);
        _model = std::move(model);
        return true;
    } catch (const std::exception& e) {
        report(error, kLoadFailed, e.what());
        return false;
    }
}

void NAMPlayer::resetWithSampleRate(double sampleRate, int32_t maxFrames) {
    if (!_model || maxFrames < 1) return;
    try {
        _model->Reset(sampleRate, maxFrames);
        const auto staging = static_cast<size_t>(std::min(maxFrames, kStagingFrames));
        _inBuf.assign(staging, 0.0);
        _outBuf.assign(staging, 0.0);
        _held.assign(maxFrames > kStagingFrames ? static_cast<size_t>(maxFrames) : 0, 0.0f);
        _maxFrames = maxFrames;
    } catch (...) {
        // A model that could not be sized is unusable; dropping it keeps the render path safe.
        _model.reset();
    }
}

int64_t NAMPlayer::maxFrames() const {
    // A model reloaded after a larger reset is sized only for its own prewarm block.
    return _model ? std::min<int64_t>(_maxFrames, _model->GetMaxBufferSize()) : _maxFrames;
}

double NAMPlayer::outputGain() const { return _model ? _gain : 1.0; }

bool NAMPlayer::processBuffer(float* buffer, int32_t frameCount, Error* error) {
    if (!_model) return true;
    // A player never sized has no staging yet, so even an empty block is refused.
    if (_maxFrames == 0 || frameCount > maxFrames()) {
        report(error, kBlockTooLong, "frameCount exceeds maxFrames");
        return false;
    }
    if (frameCount <= 0) return true;

    // A block longer than the staging passes through it in pieces; their results are held
    // until the last piece is done, so that a failure leaves the whole buffer as it was.
    try {
        double* input = _inBuf.data();
        double* output = _outBuf.data();
        const auto staged = static_cast<int32_t>(_inBuf.size());
        float* results = frameCount <= staged ? buffer : _held.data();
        for (int32_t start = 0; start < frameCount; start += staged) {
            const int32_t frames = std::min(staged, frameCount - start);
            // A non-finite sample would poison any state the model keeps; it enters as silence.
            to_model_input(buffer + start, input, frames);
            _model->process(&input, &output, frames);
            to_samples(output, _gain, results + start, frames);
        }
        if (results != buffer) std::copy(results, results + frameCount, buffer);
        return true;
    } catch (const std::exception& e) {
        report(error, kProcessingFailed, e.what());
        return false;
    }
}

bool NAMPlayer::isLoaded() const { return static_cast<bool>(_model); }
