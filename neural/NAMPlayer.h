#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"

namespace nam {
class DSP;
}

// Runs one `.nam` model on mono float blocks in place, normalised to a loudness of -18 dB.
// Load and reset on a loading thread; afterwards processBuffer runs on the real-time thread.
// Failures come back as errors of domain "NAMPlayer": -1 load failed, -2 block too long,
// -3 processing failed.
class NAMPlayer {
public:
    static constexpr const char* kErrorDomain = "NAMPlayer";
    static constexpr int64_t kLoadFailed = -1;
    static constexpr int64_t kBlockTooLong = -2;
    static constexpr int64_t kProcessingFailed = -3;
    static constexpr double kTargetLoudness = -18.0;
    // Frames staged at a time.
    static constexpr int32_t kStagingFrames = 512;

    NAMPlayer();
    ~NAMPlayer();
    NAMPlayer(const NAMPlayer&) = delete;
    NAMPlayer& operator=(const NAMPlayer&) = delete;

    // Replaces the model on success; on failure keeps the previous one. Only models with one
    // input and one output channel are accepted.
    bool loadModelAtPath(const std::string& path, Error* error = nullptr);
    // Sizes the player and the model for blocks of up to maxFrames and prewarms the model.
    // A maxFrames below 1 changes nothing; a model whose reset fails is dropped (not loaded).
    void resetWithSampleRate(double sampleRate, int32_t maxFrames);
    // Real-time safe. With error == nullptr it never allocates. Returns true when nothing is
    // loaded (buffer untouched); a failure leaves the buffer as it was.
    bool processBuffer(float* buffer, int32_t frameCount, Error* error = nullptr);
    bool isLoaded() const;

    // The largest block processBuffer accepts now (0 before the first reset, when it accepts no
    // block at all, not even an empty one).
    int64_t maxFrames() const;
    // The normalisation gain applied to the model's output (1 when nothing is loaded).
    double outputGain() const;

private:
    std::unique_ptr<nam::DSP> _model;
    // Staging for the model's double-precision interface: a fixed run of frames, through which a
    // block passes in pieces, so that the player's memory does not grow with the host's blocks.
    std::vector<double> _inBuf;
    std::vector<double> _outBuf;
    std::vector<float> _held;  // results of a longer block until all of it is processed
    int64_t _maxFrames = 0;  // the size given to the last reset, 0 before the first
    double _gain = 1.0;      // normalisation of the current model's output
};
