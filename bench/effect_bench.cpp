// The whole effect through its render block, per mode, at 48 kHz stereo with the generated
// bundle: the dearest setting of each mode at blocks of 32 to 4096 frames, and the same settings
// on silence that follows signal (decaying states must not turn slow).
//
// Counters: ns_per_frame (one stereo frame), pct_core (share of one core in real time),
// realtime_x; the silence cases add silence_vs_signal (cost of silence over cost of signal).
//
// Memory/<mode>: heap that one more instance adds when it is made, activated in the mode at the
// largest block (its resources loaded) and has rendered one such block, from several instances in
// one process (mb_per_instance); mb_shared is what the first instance adds on top, the read-only
// beds and responses that all instances share.

#include "bench/support/EffectRig.h"

#include "tests/support/HeapInUse.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using bench::EffectRig;
using bench::ModeCase;

void renderMode(benchmark::State& state, const ModeCase& c) {
    const auto block = static_cast<uint32_t>(state.range(0));
    EffectRig rig(c);
    rig.renderFor(0.5, block);  // past the start fade-in, with every follower settled
    uint64_t frames = 0;
    const double start = bench::threadSeconds();
    for (auto _ : state) {
        rig.render(block);
        frames += block;
    }
    bench::setFrameCounters(state, static_cast<double>(frames), bench::threadSeconds() - start);
}

// Each iteration plays 0.9 s of signal, then 0.1 s of it 300 dB down (states sink from there
// into the subnormal range within a few milliseconds of silence, as any long decay ends up
// doing), then 4 s of silence. The hiss stays off so that the output is really silent.
void silenceAfterSignal(benchmark::State& state, const ModeCase& c) {
    const auto block = static_cast<uint32_t>(state.range(0));
    EffectRig rig(c, block, false);
    rig.renderFor(0.5, block);
    double signalSeconds = 0, silenceSeconds = 0;
    uint64_t signalFrames = 0, silenceFrames = 0;
    for (auto _ : state) {
        const double t0 = bench::threadSeconds();
        signalFrames += rig.renderFor(0.9, block);
        const double t1 = bench::threadSeconds();
        rig.renderFor(0.1, block, 1e-15f);
        const double t2 = bench::threadSeconds();
        silenceFrames += rig.renderFor(4.0, block, 0.0f);
        const double t3 = bench::threadSeconds();
        signalSeconds += t1 - t0;
        silenceSeconds += t3 - t2;
    }
    bench::setFrameCounters(state, static_cast<double>(silenceFrames), silenceSeconds);
    if (signalSeconds > 0 && signalFrames > 0)
        state.counters["silence_vs_signal"] =
            (silenceSeconds / static_cast<double>(silenceFrames)) / (signalSeconds / static_cast<double>(signalFrames));
}

std::unique_ptr<tolvane::test::UnitHost> activatedUnit(const ModeCase& c, std::vector<float>& left,
                                                      std::vector<float>& right) {
    auto host = std::make_unique<tolvane::test::UnitHost>(tolvane::test::UnitHost::Options{
        .sampleRate = bench::kSampleRate, .maxFrames = bench::kLargestBlock, .bundle = Bundle(TOLVANE_RESOURCE_DIR)});
    host->set(bench::addr::effectMode, static_cast<float>(c.mode));
    host->set(bench::addr::compressor, c.knob1);
    host->set(bench::addr::crackle, c.knob2);
    host->set(bench::addr::wowFlutter, c.knob3);
    host->set(bench::addr::amFmMode, c.amFm);
    if (!host->allocate()) return nullptr;
    host->finishQueuedLoads();
    host->render(left.data(), right.data(), bench::kLargestBlock);
    return host;
}

void memoryPerInstance(benchmark::State& state, const ModeCase& c) {
    constexpr int kInstances = 6;
    std::vector<float> left(bench::kLargestBlock), right(bench::kLargestBlock);
    double perInstance = 0, shared = 0;
    for (auto _ : state) {
        std::vector<std::unique_ptr<tolvane::test::UnitHost>> hosts;
        const std::size_t start = tolvane::test::heapInUse();
        hosts.push_back(activatedUnit(c, left, right));
        const std::size_t first = tolvane::test::heapInUse();
        for (int i = 0; i < kInstances; ++i) hosts.push_back(activatedUnit(c, left, right));
        if (std::find(hosts.begin(), hosts.end(), nullptr) != hosts.end()) {
            state.SkipWithError("allocation failed");
            return;
        }
        perInstance = static_cast<double>(tolvane::test::heapInUse() - first) / kInstances / 1e6;
        shared = static_cast<double>(first - start) / 1e6 - perInstance;
    }
    state.counters["mb_per_instance"] = perInstance;
    state.counters["mb_shared"] = shared;
}

}  // namespace

void registerBenchmarks() {
    for (const ModeCase& c : bench::modeCases()) {
        benchmark::RegisterBenchmark(("Render/" + std::string(c.name)).c_str(), renderMode, c)
            ->ArgName("block")
            ->RangeMultiplier(2)
            ->Range(32, 4096)
            ->Unit(benchmark::kMicrosecond);
    }
    for (const ModeCase& c : bench::modeCases()) {
        benchmark::RegisterBenchmark(("Memory/" + std::string(c.name)).c_str(), memoryPerInstance, c)
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
    }
    for (const ModeCase& c : bench::modeCases()) {
        benchmark::RegisterBenchmark(("SilenceAfterSignal/" + std::string(c.name)).c_str(), silenceAfterSignal, c)
            ->ArgName("block")
            ->Arg(256)
            ->Unit(benchmark::kMillisecond);
    }
}
