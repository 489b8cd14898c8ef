// Cost of the VINYL mode's recurrent model player.
//
// OnePlayer: one player over 512-sample blocks.
// VinylWorstCase: what the VINYL stage does while the compressor knob sits between two profiles
// on a stereo track: per channel two different models (lower and upper profile), each run over
// the whole block in turn, so four players per stereo frame.
//
// Counters: ns_per_sample (one player step), ns_per_frame (one mono or stereo frame, all
// players), realtime_x (audio seconds processed per second at 48 kHz) and core_percent (share of
// one core that 48 kHz real time needs).

#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "neural/RTNeuralPlayer.h"
#include "tests/support/TempFolder.h"

namespace {

constexpr int kHidden = 40;
constexpr int kGates = 4 * kHidden;
constexpr int kBlock = 512;
constexpr double kSampleRate = 48000.0;

// Writes a model with seeded random weights to a scratch file and loads it.
std::unique_ptr<RTNeuralPlayer> randomPlayer(unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-0.4f, 0.4f);
    auto rows = [&](int count, int length) {
        std::vector<std::vector<float>> m(count, std::vector<float>(length));
        for (auto& row : m)
            for (float& v : row) v = u(rng);
        return m;
    };
    auto list = [&](int count) { return rows(1, count)[0]; };
    const nlohmann::json model = {{"state_dict",
                                   {{"rec.weight_ih_l0", rows(kGates, 1)},
                                    {"rec.weight_hh_l0", rows(kGates, kHidden)},
                                    {"rec.bias_ih_l0", list(kGates)},
                                    {"rec.bias_hh_l0", list(kGates)},
                                    {"lin.weight", rows(1, kHidden)},
                                    {"lin.bias", list(1)}}}};
    const tolvane::test::TempFolder folder;
    auto player = std::make_unique<RTNeuralPlayer>();
    Error error;
    if (!player->loadModelAtPath(folder.write("model.json", model.dump()).string(), &error))
        throw std::runtime_error(error.description());
    return player;
}

std::vector<float> signal(unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 0.05f);
    std::vector<float> x(kBlock);
    for (int s = 0; s < kBlock; ++s) x[s] = 0.5f * std::sin(0.02f * float(s)) + noise(rng);
    return x;
}

// Counters from the wall time of the whole timed loop, as plain numbers (the library would
// print rate-derived counters with a unit suffix that misreads here).
class LoopTimer {
public:
    LoopTimer() : start_(std::chrono::steady_clock::now()) {}
    void setCounters(benchmark::State& state, double stepsPerFrame) const {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        const double frames = double(state.iterations()) * kBlock;
        const double audioSeconds = frames / kSampleRate;
        state.counters["ns_per_sample"] = 1e9 * seconds / (frames * stepsPerFrame);
        state.counters["ns_per_frame"] = 1e9 * seconds / frames;
        state.counters["realtime_x"] = audioSeconds / seconds;
        state.counters["core_percent"] = 100.0 * seconds / audioSeconds;
    }

private:
    std::chrono::steady_clock::time_point start_;
};

void OnePlayer(benchmark::State& state) {
    auto player = randomPlayer(1);
    const std::vector<float> source = signal(2);
    std::vector<float> buffer(kBlock);
    const LoopTimer timer;
    for (auto _ : state) {
        buffer = source;  // keep the input level steady; the copy is noise next to the model
        player->processBuffer(buffer.data(), kBlock);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    timer.setCounters(state, 1.0);
}
BENCHMARK(OnePlayer);

void VinylWorstCase(benchmark::State& state) {
    std::array<std::unique_ptr<RTNeuralPlayer>, 4> players = {randomPlayer(11), randomPlayer(12), randomPlayer(13),
                                                              randomPlayer(14)};
    const std::vector<float> left = signal(3), right = signal(4);
    std::vector<float> l(kBlock), r(kBlock), lUpper(kBlock), rUpper(kBlock);
    const LoopTimer timer;
    for (auto _ : state) {
        l = left;
        r = right;
        lUpper = l;
        rUpper = r;
        players[0]->processBuffer(l.data(), kBlock);
        players[1]->processBuffer(lUpper.data(), kBlock);
        players[2]->processBuffer(r.data(), kBlock);
        players[3]->processBuffer(rUpper.data(), kBlock);
        benchmark::DoNotOptimize(l.data());
        benchmark::DoNotOptimize(r.data());
        benchmark::DoNotOptimize(lUpper.data());
        benchmark::DoNotOptimize(rUpper.data());
        benchmark::ClobberMemory();
    }
    timer.setCounters(state, 4.0);
}
BENCHMARK(VinylWorstCase);

}  // namespace
