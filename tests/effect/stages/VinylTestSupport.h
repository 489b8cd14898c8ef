#pragma once

// Shared pieces of the VINYL stage tests: model files written on the spot, players published into
// render states, sample beds, and the knob table the render passes.

#include "effect/RenderState.h"
#include "effect/ResourceSlot.h"
#include "neural/RTNeuralPlayer.h"
#include "tests/support/Beds.h"
#include "tests/support/ModelFiles.h"
#include "tests/support/Signals.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace vinyltest {

inline constexpr std::array<float, 9> kKnobValues{0, 12, 25, 37, 50, 62, 75, 87, 100};

// The tensors of one model file, in the file's own layout (gate blocks i, f, g, o).
using LstmTensors = tolvane::test::VinylModelFile;

// All zeros: the network adds nothing, so the player is the identity.
inline LstmTensors zeroModel() { return {}; }

// Zero recurrent part and a dense bias b: every sample becomes x + b.
inline LstmTensors biasModel(float b) {
    LstmTensors t;
    t.denseBias = {b};
    return t;
}

// A model with memory: every tensor drawn at random with the given spread.
inline LstmTensors randomModel(unsigned seed, float spread) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> d(0.0f, spread);
    LstmTensors t;
    for (auto* rows : {&t.inputWeights, &t.recurrentWeights})
        for (auto& row : *rows)
            for (float& x : row) x = d(rng);
    for (auto* v : {&t.inputBias, &t.recurrentBias, &t.denseWeights[0]})
        for (float& x : *v) x = d(rng);
    t.denseBias = {d(rng) * 0.1f};
    return t;
}

// A model whose read-out overflows: saturated gates drive h to about 0.76 and every dense weight
// is near the largest float, so the sum is not finite.
inline LstmTensors overflowingModel() {
    LstmTensors t;
    for (float& b : t.inputBias) b = 20.0f;
    for (float& w : t.denseWeights[0]) w = 3.0e38f;
    return t;
}

// A scratch folder of model files.
class ModelFolder : public tolvane::test::TempFolder {
public:
    // Writes the model and loads a new player from it.
    std::shared_ptr<RTNeuralPlayer> player(const LstmTensors& tensors) {
        const auto file = write("model" + std::to_string(files_++) + ".json", tensors.toJson().dump());
        auto p = std::make_shared<RTNeuralPlayer>();
        Error error;
        EXPECT_TRUE(p->loadModelAtPath(file.string(), &error)) << error.description();
        return p;
    }

private:
    int files_ = 0;
};

// Gives the state the scratch buffer that allocation would give it.
inline void prepare(RenderState& s, std::size_t maxFrames = 4096) { s.vinylBlockBuf.assign(maxFrames, 0.0f); }

// One player per slot, each loaded from its own copy of the file, as the loader does per state.
inline void publishModels(ResourcePublisher& publisher, ModelFolder& folder, RenderState& s,
                          const std::vector<LstmTensors>& models) {
    for (std::size_t i = 0; i < models.size() && i < s.vinylPlayers.size(); ++i)
        publisher.publish(s.vinylPlayers[i], folder.player(models[i]));
}

inline std::vector<LstmTensors> nineZeroModels() { return std::vector<LstmTensors>(9, zeroModel()); }

using tolvane::test::bedFrom;

using tolvane::test::noise;

inline bool isSubnormal(float x) { return std::fpclassify(x) == FP_SUBNORMAL; }

}  // namespace vinyltest
