// The bundle's models one at a time, and the loads a mode switch sets off.
//
// Model/<file>: one player on one channel at 48 kHz in 256-sample blocks (ns_per_frame is per
// sample; pct_core is that one channel's share of a core in real time). dense-vinyl and
// dense-bit64 are seeded models with every weight in use, of the VINYL shape and of the widest
// bit model's. x_bound is the time per sample over the time the model's multiply-adds alone take
// at the machine's multiply-add rate, which the program measures and prints first.
// Pair/<file>: two players of the same model in lockstep, as the VINYL stage runs the channels of
// a stereo track (ns_per_frame per sample of one player).
// Activation/first and Activation/further: an instance's activation, which loads every mode's
// resources, as the first instance of a process and beside one that already shares them, in
// wall time (ms_per_load).

#include "bench/support/EffectRig.h"
#include "bench/support/MultiplyAddRate.h"
#include "effect/RenderBlock.h"
#include "neural/NAMPlayer.h"
#include "neural/RTNeuralPlayer.h"
#include "tests/support/ModelFiles.h"
#include "tests/support/TempFolder.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

namespace {

constexpr uint32_t kModelBlock = 256;
const std::filesystem::path kResources = TOLVANE_RESOURCE_DIR;

// Multiply-adds per nanosecond of this machine, measured once.
double multiplyAddRate() {
    static const double rate = bench::multiplyAddsPerNanosecond();
    return rate;
}

// Multiply-adds per sample of a VINYL model: 160 gate rows of 41 inputs (the sample and 40
// hidden units), and the 40-unit read-out.
constexpr double kVinylMultiplyAdds = 160.0 * 41.0 + 40.0;

// Multiply-adds per sample of a `.nam` ConvNet with one input and one output: per block two taps
// of its input channels per channel (and the normalisation's scale), then the head.
double convNetMultiplyAdds(const std::filesystem::path& file) {
    std::ifstream stream(file);
    const nlohmann::json config = nlohmann::json::parse(stream).at("config");
    const double channels = config.at("channels").get<double>();
    const bool batchnorm = config.at("batchnorm").get<bool>();
    double total = channels;  // the head
    double in = 1;
    for (std::size_t b = 0; b < config.at("dilations").size(); ++b) {
        total += 2 * channels * in + (batchnorm ? channels : 0);
        in = channels;
    }
    return total;
}

void setBoundCounter(benchmark::State& state, double multiplyAdds) {
    const auto ns = state.counters.find("ns_per_frame");
    if (ns != state.counters.end()) state.counters["x_bound"] = ns->second.value / (multiplyAdds / multiplyAddRate());
}

template <class Process>
void timeBlocks(benchmark::State& state, uint32_t players, Process&& process) {
    std::vector<std::vector<float>> blocks(players, std::vector<float>(kModelBlock));
    std::vector<std::vector<float>> sources;
    for (uint32_t p = 0; p < players; ++p) sources.push_back(bench::testSignal(kModelBlock, static_cast<int>(p)));
    uint64_t frames = 0;
    const double start = bench::threadSeconds();
    for (auto _ : state) {
        for (uint32_t p = 0; p < players; ++p) std::copy(sources[p].begin(), sources[p].end(), blocks[p].begin());
        process(blocks);
        for (auto& block : blocks) benchmark::DoNotOptimize(block.data());
        benchmark::ClobberMemory();
        frames += kModelBlock;
    }
    bench::setFrameCounters(state, static_cast<double>(frames * players), bench::threadSeconds() - start);
}

bool loadVinyl(benchmark::State& state, RTNeuralPlayer& player, const std::filesystem::path& file) {
    Error error;
    if (player.loadModelAtPath(file.string(), &error)) return true;
    state.SkipWithError(error.description().c_str());
    return false;
}

void vinylModel(benchmark::State& state, const std::filesystem::path& file) {
    RTNeuralPlayer player;
    if (!loadVinyl(state, player, file)) return;
    timeBlocks(state, 1, [&](auto& blocks) { player.processBuffer(blocks[0].data(), static_cast<int32_t>(kModelBlock)); });
    setBoundCounter(state, kVinylMultiplyAdds);
}

// The two channels share one set of weights, as the effect's players do.
void vinylPair(benchmark::State& state, const std::filesystem::path& file) {
    Error error;
    auto weights = RTNeuralPlayer::readWeights(file.string(), &error);
    if (!weights) {
        state.SkipWithError(error.description().c_str());
        return;
    }
    RTNeuralPlayer left, right;
    left.useWeights(weights);
    right.useWeights(std::move(weights));
    timeBlocks(state, 2, [&](auto& blocks) {
        RTNeuralPlayer::processBuffers(left, blocks[0].data(), right, blocks[1].data(), static_cast<int32_t>(kModelBlock));
    });
    setBoundCounter(state, kVinylMultiplyAdds);
}

void namModel(benchmark::State& state, const std::filesystem::path& file) {
    NAMPlayer player;
    Error error;
    if (!player.loadModelAtPath(file.string(), &error)) {
        state.SkipWithError(error.description().c_str());
        return;
    }
    player.resetWithSampleRate(bench::kSampleRate, static_cast<int32_t>(kModelBlock));
    timeBlocks(state, 1, [&](auto& blocks) { player.processBuffer(blocks[0].data(), static_cast<int32_t>(kModelBlock)); });
    setBoundCounter(state, convNetMultiplyAdds(file));
}

// The dense models, written once into a scratch folder that lives as long as the program.
const tolvane::test::TempFolder& scratch() {
    static const tolvane::test::TempFolder folder;
    return folder;
}

std::filesystem::path denseVinylModel() {
    return scratch().write("dense-vinyl.json", tolvane::test::VinylModelFile::seeded(24, 0.4f).toJson().dump());
}

std::filesystem::path denseBitModel() {
    const tolvane::test::MonoConvNet shape{.channels = 64, .dilations = {1}, .activation = "Hardtanh"};
    return scratch().write("dense-bit64.nam", shape.toJson(shape.seededWeights(24, 0.5f)).dump());
}

// What a user waits for when an instance is activated: every mode's models and beds loaded
// (files read and parsed, players built, reset and prewarmed). The first instance of a process
// reads the beds and VINYL weights that later instances share; with `further`, another
// instance holds them throughout. The instance is made outside the timing and released after
// it, so each first activation starts with nothing shared.
void activation(benchmark::State& state, bool further) {
    const tolvane::test::UnitHost::Options options{
        .sampleRate = bench::kSampleRate, .maxFrames = 512, .bundle = Bundle(TOLVANE_RESOURCE_DIR)};
    std::optional<tolvane::test::UnitHost> holder;
    if (further) {
        holder.emplace(options);
        if (!holder->allocate()) return state.SkipWithError("allocation failed");
    }
    double seconds = 0;
    for (auto _ : state) {
        tolvane::test::UnitHost host(options);
        const auto start = std::chrono::steady_clock::now();
        const bool allocated = host.allocate();
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!allocated) return state.SkipWithError("allocation failed");
        state.SetIterationTime(took);
        seconds += took;
    }
    state.counters["ms_per_load"] = 1e3 * seconds / static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
}

}  // namespace

void registerBenchmarks() {
    std::printf("multiply-add bound: %.1f multiply-adds per ns (measured: independent packet multiply-add chains)\n",
                multiplyAddRate());
    const auto model = [](const std::string& name, auto run, const std::filesystem::path& file) {
        benchmark::RegisterBenchmark(name.c_str(), run, file)->Arg(kModelBlock);
    };
    for (const char* profile : {"0", "12", "25", "37", "50", "62", "75", "87", "100"})
        model("Model/tv-vinyl-" + std::string(profile), vinylModel, kResources / ("tv-vinyl-" + std::string(profile) + ".json"));
    model("Model/dense-vinyl", vinylModel, denseVinylModel());
    model("Pair/tv-vinyl-0", vinylPair, kResources / "tv-vinyl-0.json");
    model("Pair/dense-vinyl", vinylPair, denseVinylModel());
    for (const char* profile : {"0", "12", "25", "37", "50", "67", "75"})
        model("Model/bit" + std::string(profile), namModel, kResources / ("bit" + std::string(profile) + ".nam"));
    model("Model/dense-bit64", namModel, denseBitModel());
    for (const char* profile : {"0", "12", "25", "37", "50", "62", "75", "87", "100"})
        model("Model/tv-drive-" + std::string(profile), namModel, kResources / ("tv-drive-" + std::string(profile) + ".nam"));

    for (const bool further : {false, true})
        benchmark::RegisterBenchmark(further ? "Activation/further" : "Activation/first", activation, further)
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime();
}
