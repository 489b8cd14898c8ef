#pragma once

#include <cstdint>
#include <string>

#include "neural/LstmKernel.h"
#include "platform/foundation/Error.h"

// Plays one small recurrent model on mono audio: an LSTM layer of 40 units fed one sample at a
// time, read out by a dense layer whose result is added to the dry sample (y = x + net(x)).
//
// The weights come from a JSON state dictionary. The model lives inside the object with sizes
// fixed at compile time, so processing never touches the heap. Errors have the domain
// "RTNeuralPlayer": -1 when the file cannot be opened, -2 for anything wrong inside it.
//
// Loading and processing must not overlap; processBuffer is real-time safe.
class RTNeuralPlayer {
public:
    RTNeuralPlayer();
    bool loadModelAtPath(const std::string& path, Error* error = nullptr);  // domain "RTNeuralPlayer", codes -1 / -2
    void reset();
    void processBuffer(float* buffer, int32_t frameCount) noexcept;       // real-time safe
    bool isLoaded() const;

    // Two players over their own buffers in lockstep where the processor has the registers for it
    // (one after the other elsewhere), which hides each step's latency behind the other's work:
    // each buffer ends up exactly as the player's own processBuffer leaves it. Real-time safe.
    // Players with equal weights share one copy of them while they run.
    static void processBuffers(RTNeuralPlayer& first, float* firstBuffer, RTNeuralPlayer& second,
                               float* secondBuffer, int32_t frameCount) noexcept;

private:
    // Everything one model needs, by value.
    struct Model {
        tolvane::lstm::Weights weights;
        tolvane::lstm::State state;
    };

    class StateDictionary;

    bool runs(const float* buffer, int32_t frameCount) const;
    bool sameWeights(const RTNeuralPlayer& other) const;

    Model _model;
    bool _loaded = false;
};
