// The bundle's models one at a time, and the loads a mode switch sets off.
//
// Model/<file>: one player on one channel at 48 kHz in 256-sample blocks (ns_per_frame is per
// sample; pct_core is that one channel's share of a core in real time).
// Load/<resource>: everything the model-load queue does when a mode is switched to with empty
// slots (files read and parsed, players built, reset and prewarmed, beds read), in wall time
// (ms_per_load).

#include "bench/support/EffectRig.h"
#include "effect/RenderBlock.h"
#include "neural/NAMPlayer.h"
#include "neural/RTNeuralPlayer.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

namespace {

constexpr uint32_t kModelBlock = 256;
const std::filesystem::path kResources = TOLVANE_RESOURCE_DIR;

template <class Player>
void runPlayer(benchmark::State& state, Player& player) {
    const std::vector<float> source = bench::testSignal(kModelBlock, 0);
    std::vector<float> block(kModelBlock);
    uint64_t frames = 0;
    const double start = bench::threadSeconds();
    for (auto _ : state) {
        std::copy(source.begin(), source.end(), block.begin());
        player.processBuffer(block.data(), static_cast<int32_t>(kModelBlock));
        benchmark::DoNotOptimize(block.data());
        benchmark::ClobberMemory();
        frames += kModelBlock;
    }
    bench::setFrameCounters(state, static_cast<double>(frames), bench::threadSeconds() - start);
}

void vinylModel(benchmark::State& state, const std::string& name) {
    RTNeuralPlayer player;
    Error error;
    if (!player.loadModelAtPath((kResources / (name + ".json")).string(), &error)) {
        state.SkipWithError(error.description().c_str());
        return;
    }
    runPlayer(state, player);
}

void namModel(benchmark::State& state, const std::string& name) {
    NAMPlayer player;
    Error error;
    if (!player.loadModelAtPath((kResources / (name + ".nam")).string(), &error)) {
        state.SkipWithError(error.description().c_str());
        return;
    }
    player.resetWithSampleRate(bench::kSampleRate, static_cast<int32_t>(kModelBlock));
    runPlayer(state, player);
}

// A unit allocated in a mode that loads nothing, so that every load below starts from empty
// slots; the slots are emptied again (deallocate, allocate) between loads, outside the timing.
void modeLoad(benchmark::State& state, int64_t resource) {
    tolvane::test::UnitHost host({.sampleRate = bench::kSampleRate, .maxFrames = 512, .bundle = Bundle(TOLVANE_RESOURCE_DIR)});
    host.set(bench::addr::effectMode, 3);
    double seconds = 0;
    uint64_t loads = 0;
    for (auto _ : state) {
        state.PauseTiming();
        host.unit->deallocateRenderResources();
        if (!host.allocate()) {
            state.SkipWithError("allocation failed");
            return;
        }
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        host.unit->loadModelsIfNeeded(resource);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ++loads;
    }
    if (!host.unit->isModelReady(resource)) state.SkipWithError("the load did not complete");
    if (loads > 0) state.counters["ms_per_load"] = 1e3 * seconds / static_cast<double>(loads);
}

}  // namespace

void registerBenchmarks() {
    for (const char* profile : {"0", "12", "25", "37", "50", "62", "75", "87", "100"})
        benchmark::RegisterBenchmark(("Model/tv-vinyl-" + std::string(profile)).c_str(), vinylModel,
                                     "tv-vinyl-" + std::string(profile))
            ->Arg(kModelBlock);
    for (const char* profile : {"0", "12", "25", "37", "50", "67", "75"})
        benchmark::RegisterBenchmark(("Model/bit" + std::string(profile)).c_str(), namModel, "bit" + std::string(profile))
            ->Arg(kModelBlock);
    for (const char* profile : {"0", "12", "25", "37", "50", "62", "75", "87", "100"})
        benchmark::RegisterBenchmark(("Model/tv-drive-" + std::string(profile)).c_str(), namModel,
                                     "tv-drive-" + std::string(profile))
            ->Arg(kModelBlock);

    const std::pair<const char*, int64_t> loads[] = {
        {"VINYL", 0}, {"VINYL-crackle", kCrackleResourceId}, {"LO-FI", 1}, {"FILLDRIVE", 2}, {"RADIO", 5}};
    for (const auto& [name, resource] : loads)
        benchmark::RegisterBenchmark(("Load/" + std::string(name)).c_str(), modeLoad, resource)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
}
