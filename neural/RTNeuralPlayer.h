#pragma once

#include <cstdint>
#include <string>

#include <Eigen/Core>

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

private:
    static constexpr int kHidden = 40;
    static constexpr int kGates = 4 * kHidden;       // f, i, o, candidate
    // f, i and o share one sigmoid pass, rounded up from 120 rows to a multiple of the widest
    // packet (16 floats): Eigen vectorises a fixed-size array fully only at such sizes.
    static constexpr int kSigmoidSpan = 128;
    static_assert(kSigmoidSpan >= 3 * kHidden && kSigmoidSpan <= kGates && kSigmoidSpan % 16 == 0);
    static constexpr int kInputs = kHidden + 2;      // x, h[0..39], constant 1

    // Everything one model needs, by value. Gate blocks are stored as f, i, o, candidate so
    // that the three sigmoid gates form one contiguous run.
    struct Model {
        // Column 0: input weight, columns 1..40: recurrent weights, column 41: summed bias.
        Eigen::Matrix<float, kGates, kInputs> combinedWeights;
        // [x, h[0..39], 1]: the 1 picks up the bias column in the same product.
        Eigen::Matrix<float, kInputs, 1> extendedInHt1Vec;
        Eigen::Matrix<float, kGates, 1> fioctsVecs;  // gate pre-activations of the last step
        Eigen::Array<float, kSigmoidSpan, 1> fioVecs;  // f, i, o, then 8 unused
        Eigen::Array<float, kHidden, 1> ctVec;
        Eigen::Array<float, kHidden, 1> cVec;
        Eigen::Array<float, kHidden, 1> cTanhVec;
        // Dense read-out: entries 0..39 weigh h, entry 40 is the bias.
        Eigen::Matrix<float, 1, kHidden + 1> denseWeights;
        float output = 0.0f;

        Model();
        void clearState();
        float step(float x) noexcept;
    };

    class StateDictionary;

    Model model_;
    bool loaded_ = false;
};
