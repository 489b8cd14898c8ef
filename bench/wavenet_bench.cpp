// Cost of the WaveNet architecture that the LO-FI and FILLDRIVE modes can run.
//
// Typical: two layer arrays (16 then 8 channels, kernel 3, dilations 1..512, plain tanh layers
// with layer 1x1s; 13,802 weights). HalfWidth: the same shape at 8 then 4 channels. Each runs mono
// at 48 kHz on a noisy signal, with block sizes 32 to 4096.
//
// Counters: ns_per_sample, realtime_x (audio seconds processed per second of the thread's CPU
// time at 48 kHz; 25 means 4% of one core) and core_percent (share of one core that 48 kHz real
// time needs).

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <memory>
#include <random>
#include <vector>

#include <nlohmann/json.hpp>

#include "neural/nam/dsp.h"
#include "neural/nam/get_dsp.h"

namespace {

using nlohmann::json;

constexpr double kSampleRate = 48000.0;
constexpr int kMaxBlock = 4096;

json layerArray(int inputSize, int channels, int headSize, bool headBias) {
    return json{{"input_size", inputSize},
                {"condition_size", 1},
                {"channels", channels},
                {"head_size", headSize},
                {"kernel_size", 3},
                {"dilations", {1, 2, 4, 8, 16, 32, 64, 128, 256, 512}},
                {"activation", "Tanh"},
                {"gated", false},
                {"head_bias", headBias}};
}

// Weights of one plain array: input projection, per layer conv (3 taps + bias), mixin and
// layer 1x1, then the head projection.
long arrayWeights(int inputSize, int channels, int headSize, bool headBias) {
    const long perLayer = 3L * channels * channels + channels + channels + channels * channels + channels;
    return long{inputSize} * channels + 10 * perLayer + long{channels} * headSize + (headBias ? headSize : 0);
}

std::unique_ptr<nam::DSP> waveNet(int wide, int narrow, unsigned seed) {
    const long count = arrayWeights(1, wide, narrow, false) + arrayWeights(wide, narrow, 1, true) + 1;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-0.15f, 0.15f);
    std::vector<float> weights(static_cast<size_t>(count));
    for (float& w : weights) w = u(rng);
    const json model = {{"version", "0.5.4"},
                        {"architecture", "WaveNet"},
                        {"config",
                         {{"layers", {layerArray(1, wide, narrow, false), layerArray(wide, narrow, 1, true)}},
                          {"head", nullptr},
                          {"head_scale", 0.02}}},
                        {"weights", weights},
                        {"sample_rate", kSampleRate}};
    auto dsp = nam::get_dsp(model);
    dsp->Reset(kSampleRate, kMaxBlock);
    return dsp;
}

std::vector<double> signal(int frames) {
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 0.05);
    std::vector<double> x(static_cast<size_t>(frames));
    for (int s = 0; s < frames; ++s) x[s] = 0.5 * std::sin(0.02 * s) + noise(rng);
    return x;
}

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

// Counters from the processing thread's CPU time over the whole timed loop, as plain numbers. On
// a shared machine the wall time also counts the time the thread waits for a core, which says
// nothing about the model; wall_realtime_x is kept to show that difference.
class LoopTimer {
public:
    LoopTimer() : wallStart_(std::chrono::steady_clock::now()), cpuStart_(threadCpuSeconds()) {}
    void setCounters(benchmark::State& state, int block) const {
        const double cpu = threadCpuSeconds() - cpuStart_;
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart_).count();
        const double frames = double(state.iterations()) * block;
        const double audioSeconds = frames / kSampleRate;
        state.counters["ns_per_sample"] = 1e9 * cpu / frames;
        state.counters["realtime_x"] = audioSeconds / cpu;
        state.counters["core_percent"] = 100.0 * cpu / audioSeconds;
        state.counters["wall_realtime_x"] = audioSeconds / wall;
    }

private:
    std::chrono::steady_clock::time_point wallStart_;
    double cpuStart_;
};

void run(benchmark::State& state, int wide, int narrow) {
    const int block = static_cast<int>(state.range(0));
    auto model = waveNet(wide, narrow, 1);
    std::vector<double> input = signal(block), output(static_cast<size_t>(block));
    double* in = input.data();
    double* out = output.data();
    const LoopTimer timer;
    for (auto _ : state) {
        model->process(&in, &out, block);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    timer.setCounters(state, block);
}

void Typical(benchmark::State& state) { run(state, 16, 8); }
void HalfWidth(benchmark::State& state) { run(state, 8, 4); }

BENCHMARK(Typical)->RangeMultiplier(2)->Range(32, kMaxBlock);
BENCHMARK(HalfWidth)->RangeMultiplier(2)->Range(32, kMaxBlock);

}  // namespace
