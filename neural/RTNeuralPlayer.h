#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "neural/LstmKernel.h"
#include "platform/foundation/Error.h"

// Plays one small recurrent model on mono audio: an LSTM layer of 40 units fed one sample at a
// time, read out by a dense layer whose result is added to the dry sample (y = x + net(x)).
//
// The weights come from a JSON state dictionary, read into one immutable block of fixed size that
// players of the same model may share; the recurrent state lives inside the object, so processing
// never touches the heap. Errors have the domain "RTNeuralPlayer": -1 when the file cannot be
// opened (missing, not a regular file, or larger than any model), -2 for anything wrong inside it.
//
// Loading and processing must not overlap; processBuffer is real-time safe.
class RTNeuralPlayer {
public:
    using Weights = tolvane::lstm::Weights;

    // A model file's weights, or null with the error (the same as loadModelAtPath's).
    static std::shared_ptr<const Weights> readWeights(const std::string& path, Error* error = nullptr);

    RTNeuralPlayer();
    bool loadModelAtPath(const std::string& path, Error* error = nullptr);  // domain "RTNeuralPlayer", codes -1 / -2
    // Plays `weights` (ignored when null) from a cleared state; players given the same weights
    // share them. Not real-time safe: it may free the previous weights.
    void useWeights(std::shared_ptr<const Weights> weights);
    void reset();
    void processBuffer(float* buffer, int32_t frameCount) noexcept;       // real-time safe
    bool isLoaded() const;

    // Two players over their own buffers in lockstep where the processor has the registers for it
    // (one after the other elsewhere), which hides each step's latency behind the other's work:
    // each buffer ends up exactly as the player's own processBuffer leaves it. Real-time safe.
    // Players with equal weights share one copy of them while they run; players that were given
    // the same weights are known to be equal without comparing them.
    static void processBuffers(RTNeuralPlayer& first, float* firstBuffer, RTNeuralPlayer& second,
                               float* secondBuffer, int32_t frameCount) noexcept;

private:
    class StateDictionary;

    bool runs(const float* buffer, int32_t frameCount) const;
    bool sameWeights(const RTNeuralPlayer& other) const;

    std::shared_ptr<const Weights> _weights;
    tolvane::lstm::State _state;
    bool _loaded = false;
};
