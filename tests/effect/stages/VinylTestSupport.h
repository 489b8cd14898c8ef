#pragma once

// Shared pieces of the VINYL stage tests: model files written on the spot, players published into
// render states, sample beds, and the knob table the render passes.

#include "effect/RenderState.h"
#include "effect/ResourceSlot.h"
#include "neural/RTNeuralPlayer.h"
#include "platform/avfaudio/AVAudioPCMBuffer.h"
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
inline constexpr std::size_t kHidden = 40;
inline constexpr std::size_t kGates = 4 * kHidden;

// The tensors of one model file, in the file's own layout (gate blocks i, f, g, o).
struct LstmTensors {
    std::vector<float> weightIh = std::vector<float>(kGates, 0.0f);            // 160 x 1
    std::vector<float> weightHh = std::vector<float>(kGates * kHidden, 0.0f);  // 160 x 40, row-major
    std::vector<float> biasIh = std::vector<float>(kGates, 0.0f);
    std::vector<float> biasHh = std::vector<float>(kGates, 0.0f);
    std::vector<float> linWeight = std::vector<float>(kHidden, 0.0f);
    float linBias = 0.0f;
};

// All zeros: the network adds nothing, so the player is the identity.
inline LstmTensors zeroModel() { return {}; }

// Zero recurrent part and a dense bias b: every sample becomes x + b.
inline LstmTensors biasModel(float b) {
    LstmTensors t;
    t.linBias = b;
    return t;
}

// A model with memory: every tensor drawn at random with the given spread.
inline LstmTensors randomModel(unsigned seed, float spread) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> d(0.0f, spread);
    LstmTensors t;
    for (auto* v : {&t.weightIh, &t.weightHh, &t.biasIh, &t.biasHh, &t.linWeight})
        for (float& x : *v) x = d(rng);
    t.linBias = d(rng) * 0.1f;
    return t;
}

// A model whose read-out overflows: saturated gates drive h to about 0.76 and every dense weight
// is near the largest float, so the sum is not finite.
inline LstmTensors overflowingModel() {
    LstmTensors t;
    for (float& b : t.biasIh) b = 20.0f;
    for (float& w : t.linWeight) w = 3.0e38f;
    return t;
}

inline void appendList(std::string& out, const float* v, std::size_t count) {
    out += '[';
    for (std::size_t i = 0; i < count; ++i) {
        if (i) out += ',';
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(v[i]));
        out += buf;
    }
    out += ']';
}

inline void appendRows(std::string& out, const std::vector<float>& v, std::size_t rows, std::size_t columns) {
    out += '[';
    for (std::size_t r = 0; r < rows; ++r) {
        if (r) out += ',';
        appendList(out, v.data() + r * columns, columns);
    }
    out += ']';
}

inline std::string stateDictionaryJson(const LstmTensors& t) {
    std::string s = "{\"state_dict\":{\"rec.weight_ih_l0\":";
    appendRows(s, t.weightIh, kGates, 1);
    s += ",\"rec.weight_hh_l0\":";
    appendRows(s, t.weightHh, kGates, kHidden);
    s += ",\"rec.bias_ih_l0\":";
    appendList(s, t.biasIh.data(), kGates);
    s += ",\"rec.bias_hh_l0\":";
    appendList(s, t.biasHh.data(), kGates);
    s += ",\"lin.weight\":";
    appendRows(s, t.linWeight, 1, kHidden);
    s += ",\"lin.bias\":";
    appendList(s, &t.linBias, 1);
    s += "}}";
    return s;
}

// A scratch folder of model files.
class ModelFolder : public tolvane::test::TempFolder {
public:
    // Writes the model and loads a new player from it.
    std::shared_ptr<RTNeuralPlayer> player(const LstmTensors& tensors) {
        const auto file = write("model" + std::to_string(files_++) + ".json", stateDictionaryJson(tensors));
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

// A bed with one list of samples per channel (all of one length).
inline std::shared_ptr<AVAudioPCMBuffer> bed(const std::vector<std::vector<float>>& channels) {
    const auto format = AVAudioFormat::standardFormat(44100, static_cast<uint32_t>(channels.size()));
    auto buffer = AVAudioPCMBuffer::create(*format, static_cast<uint32_t>(channels[0].size()));
    for (std::size_t c = 0; c < channels.size(); ++c)
        std::copy(channels[c].begin(), channels[c].end(), buffer->floatChannelData()[c]);
    buffer->setFrameLength(static_cast<uint32_t>(channels[0].size()));
    return buffer;
}

using tolvane::test::noise;

inline bool isSubnormal(float x) { return std::fpclassify(x) == FP_SUBNORMAL; }

}  // namespace vinyltest
