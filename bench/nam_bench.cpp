// Cost of the convolutional and recurrent `.nam` architectures, run as the effect runs them:
// through NAMPlayer on mono float blocks at 48 kHz, for block sizes 32 to 4096.
//
// Models (seeded random weights of the exact count):
//   ConvNetTypical  16 channels, dilations 1..128 (8 blocks), batch norm, Tanh
//   ConvNetWide     64 channels, one dilation-1 block, Hardtanh (the size of the LO-FI models)
//   LstmH16, LstmH32  one layer of 16 or 32 hidden units
//   LstmTwoLayerH16   two layers of 16 hidden units
//
// Counters: ns_per_sample, realtime_x (audio seconds processed per second of one core at
// 48 kHz; the inverse of the real-time factor of cost) and core_percent (share of one core that
// 48 kHz real time needs).

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "neural/NAMPlayer.h"
#include "tests/support/ModelFiles.h"
#include "tests/support/Signals.h"
#include "tests/support/TempFolder.h"

namespace {

using nlohmann::json;

constexpr double kSampleRate = 48000.0;

json convNetFile(const tolvane::test::MonoConvNet& shape) { return shape.toJson(shape.seededWeights(7, 0.3f), kSampleRate); }

json lstmFile(int layers, int hidden) {
    size_t count = hidden + 1;
    for (int l = 0; l < layers; ++l) count += 4 * hidden * ((l == 0 ? 1 : hidden) + hidden) + 6 * hidden;
    return {{"version", "0.5.4"},
            {"architecture", "LSTM"},
            {"config", {{"num_layers", layers}, {"input_size", 1}, {"hidden_size", hidden}}},
            {"weights", tolvane::test::noise(count, 9, 0.4f)},
            {"sample_rate", kSampleRate}};
}

// Writes the model to a scratch file, loads it into a player and sizes it for `block`.
std::unique_ptr<NAMPlayer> playerFor(const json& model, int block) {
    const tolvane::test::TempFolder folder;
    auto player = std::make_unique<NAMPlayer>();
    Error error;
    if (!player->loadModelAtPath(folder.write("model.nam", model.dump()).string(), &error))
        throw std::runtime_error(error.description());
    player->resetWithSampleRate(kSampleRate, block);
    return player;
}

std::vector<float> programme(int frames) {
    std::mt19937 rng(3);
    std::normal_distribution<float> noise(0.0f, 0.05f);
    std::vector<float> x(frames);
    for (int s = 0; s < frames; ++s) x[s] = 0.4f * std::sin(0.013f * float(s)) + noise(rng);
    return x;
}

// Times blocks of state.range(0) frames through a player of the given model.
void runPlayer(benchmark::State& state, const json& model) {
    const int block = static_cast<int>(state.range(0));
    auto player = playerFor(model, block);
    const std::vector<float> source = programme(block);
    std::vector<float> buffer(block);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        buffer = source;  // a steady input level; the copy is noise next to the model
        player->processBuffer(buffer.data(), block);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double frames = double(state.iterations()) * block;
    const double audioSeconds = frames / kSampleRate;
    state.counters["ns_per_sample"] = 1e9 * seconds / frames;
    state.counters["realtime_x"] = audioSeconds / seconds;
    state.counters["core_percent"] = 100.0 * seconds / audioSeconds;
}

void ConvNetTypical(benchmark::State& state) {
    runPlayer(state, convNetFile({16, {1, 2, 4, 8, 16, 32, 64, 128}, true, "Tanh"}));
}
void ConvNetWide(benchmark::State& state) { runPlayer(state, convNetFile({64, {1}, false, "Hardtanh"})); }
void LstmH16(benchmark::State& state) { runPlayer(state, lstmFile(1, 16)); }
void LstmH32(benchmark::State& state) { runPlayer(state, lstmFile(1, 32)); }
void LstmTwoLayerH16(benchmark::State& state) { runPlayer(state, lstmFile(2, 16)); }

BENCHMARK(ConvNetTypical)->RangeMultiplier(2)->Range(32, 4096);
BENCHMARK(ConvNetWide)->RangeMultiplier(2)->Range(32, 4096);
BENCHMARK(LstmH16)->RangeMultiplier(2)->Range(32, 4096);
BENCHMARK(LstmH32)->RangeMultiplier(2)->Range(32, 4096);
BENCHMARK(LstmTwoLayerH16)->RangeMultiplier(2)->Range(32, 4096);

}  // namespace
