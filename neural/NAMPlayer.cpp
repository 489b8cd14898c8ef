#include "neural/NAMPlayer.h"

#include <cmath>
#include <exception>
#include <filesystem>
#include <limits>

#include "neural/nam/dsp.h"
#include "neural/nam/get_dsp.h"

namespace {

// Staging space beyond maxFrames, kept for compatibility with the block-size arithmetic.
constexpr int64_t kStagingHeadroom = 4096;

void report(Error* error, int64_t code, const char* message) {
    if (error) setError(error, NAMPlayer::kErrorDomain, code, message);
}

// Larger than float range becomes infinity as the hardware would, without undefined behaviour.
float to_float(double value) {
    constexpr double kMax = std::numeric_limits<float>::max();
    if (value > kMax) return std::numeric_limits<float>::infinity();
    if (value < -kMax) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
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
        const auto staging = static_cast<size_t>(maxFrames + kStagingHeadroom);
        _inBuf.assign(staging, 0.0);
        _outBuf.assign(staging, 0.0);
    } catch (...) {
        // A model that could not be sized is unusable; dropping it keeps the render path safe.
        _model.reset();
    }
}

int64_t NAMPlayer::maxFrames() const {
    const int64_t staged = static_cast<int64_t>(_inBuf.size()) - kStagingHeadroom;
    // A model reloaded after a larger reset is sized only for its own prewarm block.
    return _model ? std::min<int64_t>(staged, _model->GetMaxBufferSize()) : staged;
}

double NAMPlayer::outputGain() const { return _model ? normalisation_gain(*_model) : 1.0; }

bool NAMPlayer::processBuffer(float* buffer, int32_t frameCount, Error* error) {
    if (!_model) return true;
    if (frameCount > maxFrames()) {
        report(error, kBlockTooLong, "frameCount exceeds maxFrames");
        return false;
    }
    if (frameCount <= 0) return true;

    // A non-finite sample would poison any state the model keeps; it enters as silence.
    for (int32_t i = 0; i < frameCount; ++i) _inBuf[i] = std::isfinite(buffer[i]) ? buffer[i] : 0.0;
    try {
        double* input = _inBuf.data();
        double* output = _outBuf.data();
        _model->process(&input, &output, frameCount);
        const double gain = normalisation_gain(*_model);
        for (int32_t i = 0; i < frameCount; ++i) buffer[i] = to_float(_outBuf[i] * gain);
        return true;
    } catch (const std::exception& e) {
        report(error, kProcessingFailed, e.what());
        return false;
    }
}

bool NAMPlayer::isLoaded() const { return static_cast<bool>(_model); }
