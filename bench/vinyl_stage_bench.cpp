// Cost of the whole VINYL stage on a stereo track at 48 kHz in 512-frame blocks, with the
// bundle's generated vinyl models and crackle beds.
//
// TwoModels: knob 1 at 6, between two profiles, so four model players run per stereo frame; the
// crackle blends two beds and wow and flutter run at full depth (the dearest setting).
// OneModel: knob 1 at 100, one profile per channel.
// NoModels: the chain without players (compressor off, filters, wow and flutter, crackle).
// ChainOnly: TwoModels' settings without players: everything around the models, the compressor
// included.
//
// Counters: ns_per_frame (one stereo frame) and realtime_x (audio seconds per second).

#include <benchmark/benchmark.h>

#include "effect/RenderState.h"
#include "effect/ResourceSlot.h"
#include "effect/stages/Stages.h"
#include "neural/RTNeuralPlayer.h"
#include "platform/avfaudio/AVAudioFile.h"
#include "platform/avfaudio/AVAudioPCMBuffer.h"

#include <array>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kBlock = 512;
constexpr float kSampleRate = 48000.0f;
constexpr std::array<float, 9> kKnobValues{0, 12, 25, 37, 50, 62, 75, 87, 100};
const std::filesystem::path kResources = TOLVANE_RESOURCE_DIR;

std::shared_ptr<RTNeuralPlayer> bundleModel(const std::string& profile) {
    auto player = std::make_shared<RTNeuralPlayer>();
    Error error;
    if (!player->loadModelAtPath((kResources / ("tv-vinyl-" + profile + ".json")).string(), &error))
        throw std::runtime_error(error.description());
    return player;
}

std::shared_ptr<AVAudioPCMBuffer> bundleBed(const std::string& name) {
    auto file = openAudioFileForReading((kResources / (name + ".wav")).string(), nullptr);
    if (!file) throw std::runtime_error("missing bed " + name);
    auto buffer = AVAudioPCMBuffer::initWithPCMFormat(file->processingFormat(), static_cast<uint32_t>(file->length()));
    if (!buffer || !file->readIntoBuffer(*buffer, nullptr)) throw std::runtime_error("unreadable bed " + name);
    return buffer;
}

struct Rig {
    ResourcePublisher publisher;
    RenderState left, right;

    explicit Rig(bool models) {
        const char* profiles[] = {"0", "12", "25", "37", "50", "62", "75", "87", "100"};
        const char* beds[] = {"crackle25", "crackle50", "crackle75", "crackle100"};
        for (RenderState* s : {&left, &right}) {
            s->vinylBlockBuf.assign(kBlock, 0.0f);
            if (models)
                for (std::size_t i = 0; i < 9; ++i) publisher.publish(s->vinylPlayers[i], bundleModel(profiles[i]));
        }
        for (std::size_t i = 0; i < 4; ++i) publisher.publish(left.crackleBuffers[i], bundleBed(beds[i]));
    }
};

void runStage(benchmark::State& state, bool models, float knob1, float knob3, float knob2) {
    Rig rig(models);
    std::vector<float> l(kBlock), r(kBlock);
    for (uint32_t i = 0; i < kBlock; ++i) {
        l[i] = 0.4f * std::sin(0.031f * static_cast<float>(i));
        r[i] = 0.4f * std::sin(0.047f * static_cast<float>(i));
    }
    const std::vector<float> inL = l, inR = r;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        l = inL;  // keep the input level steady; the copy is noise next to the stage
        r = inR;
        processVinylStereo(rig.left, rig.right, l.data(), r.data(), kBlock, kKnobValues, kSampleRate, 512, knob1, knob3,
                           knob2);
        benchmark::DoNotOptimize(l.data());
        benchmark::DoNotOptimize(r.data());
        benchmark::ClobberMemory();
    }
    // Plain numbers from the wall time of the loop (rate counters would print a misleading unit).
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double frames = static_cast<double>(state.iterations()) * kBlock;
    state.counters["ns_per_frame"] = 1e9 * seconds / frames;
    state.counters["realtime_x"] = frames / kSampleRate / seconds;
}

void TwoModels(benchmark::State& state) { runStage(state, true, 6, 100, 37.5f); }
void OneModel(benchmark::State& state) { runStage(state, true, 100, 50, 25); }
void NoModels(benchmark::State& state) { runStage(state, false, 0, 100, 37.5f); }
void ChainOnly(benchmark::State& state) { runStage(state, false, 6, 100, 37.5f); }

BENCHMARK(TwoModels)->Unit(benchmark::kMicrosecond);
BENCHMARK(OneModel)->Unit(benchmark::kMicrosecond);
BENCHMARK(NoModels)->Unit(benchmark::kMicrosecond);
BENCHMARK(ChainOnly)->Unit(benchmark::kMicrosecond);

}  // namespace
