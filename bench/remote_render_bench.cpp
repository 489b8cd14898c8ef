// The cost of rendering the effect in a process of its own: the same blocks rendered by the unit
// in this process and through the unit served by the plug-in bundle's extension executable.
// Each case reports the median and the 99th percentile of one render call in microseconds; the
// difference between the two ways is the round trip. RealTimePaced renders at the pace of a
// 48 kHz stream for TOLVANE_PACED_SECONDS (default 60) seconds with the default deadline and
// counts the renders that missed it, and what the rendering costs each side: host_cpu_pct is
// the share of a core the host's render thread takes (its wake-ups, the wait for the reply, the
// copies), extension_cpu_pct that of the extension's whole process. OutOfProcess waits as long as it takes, so that every call is
// a whole round trip.

#include "effect/Kessrin_VinylExtensionAudioUnit.h"
#include "effect/ParameterSpecs.h"
#include "platform/audiotoolbox/remote/RemoteAudioUnit.h"
#include "platform/avfaudio/AVAudioUnitComponentManager.h"
#include "tests/support/AnyUnitHost.h"
#include "tests/support/ProcessStat.h"
#include "tests/support/Signals.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <string>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <cstdlib>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using tolvane::test::AnyUnitHost;
using tolvane::test::Planes;

constexpr double kRate = 48000;
constexpr AUValue kIsolator = 3;  // a light mode, so the numbers are mostly the round trip

AudioComponentDescription effectComponent() {
    return {fourCharCode("aufx"), fourCharCode("vnyl"), fourCharCode("MrLw"), 0, 0};
}

std::shared_ptr<AUAudioUnit> inProcessEffect() {
    Error error;
    auto unit = makeAudioUnit(effectComponent(), 0, &error);
    if (!unit) {
        std::fprintf(stderr, "cannot make the effect: %s\n", error.description().c_str());
        return nullptr;  // the cases using it are skipped
    }
    unit->setResourceBundle(Bundle(TOLVANE_RESOURCE_DIR));
    return unit;
}

// With a deadline, or with the default one for the block when none is given.
std::shared_ptr<remote::RemoteAudioUnit> remoteEffect(std::optional<std::chrono::nanoseconds> deadline) {
    const auto found = AVAudioUnitComponentManager({TOLVANE_LV2_DIR}).componentsMatchingDescription(effectComponent());
    if (found.empty()) return nullptr;
    remote::RemoteAudioUnit::Options options;
    options.renderDeadline = deadline;
    Error error;
    return remote::RemoteAudioUnit::launch(found.front().manifest(), kAudioComponentInstantiation_LoadOutOfProcess,
                                           options, &error);
}

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// User and system time of a whole process so far; 0 when it cannot be read.
double processCpuSeconds(pid_t pid) {
    const auto stat = tolvane::test::readProcessStat(pid);
    return stat ? stat->cpuSeconds : 0;
}

// A host over `unit` allocated for blocks of `frames`, or none (and the case skipped).
std::optional<AnyUnitHost> prepare(benchmark::State& state, const std::shared_ptr<AUAudioUnit>& unit, uint32_t frames) {
    if (!unit) {
        state.SkipWithError("no unit (is the plug-in bundle built?)");
        return std::nullopt;
    }
    AnyUnitHost host(unit);
    host.unit().parameterTree()->parameterWithAddress(ParameterAddress::effectMode)->setValue(kIsolator);
    if (!host.allocate(kRate, 2, frames)) {
        state.SkipWithError("allocation failed");
        return std::nullopt;
    }
    return host;
}

double percentile(std::vector<double> samples, double share) {
    if (samples.empty()) return 0;
    const auto at = static_cast<std::size_t>(share * static_cast<double>(samples.size() - 1));
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(at), samples.end());
    return samples[at];
}

void renderCalls(benchmark::State& state, const std::shared_ptr<AUAudioUnit>& unit) {
    const auto frames = static_cast<uint32_t>(state.range(0));
    auto host = prepare(state, unit, frames);
    if (!host) return;
    const Planes input{tolvane::test::noise(frames, 1), tolvane::test::noise(frames, 2)};
    Planes output;
    std::vector<double> micros;
    micros.reserve(1 << 16);
    for (auto _ : state) {
        const auto start = Clock::now();
        host->render(input, 0, frames, output);
        const auto took = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(took);
        if (micros.size() < micros.capacity()) micros.push_back(took * 1e6);
    }
    state.counters["median_us"] = percentile(micros, 0.5);
    state.counters["p99_us"] = percentile(micros, 0.99);
    if (auto remote = std::dynamic_pointer_cast<remote::RemoteAudioUnit>(unit))
        state.counters["missed"] = static_cast<double>(remote->missedDeadlines());
}

void InProcess(benchmark::State& state) { renderCalls(state, inProcessEffect()); }
// A deadline long enough that every call is a whole round trip, however loaded the machine.
void OutOfProcess(benchmark::State& state) { renderCalls(state, remoteEffect(std::chrono::seconds(1))); }

void RealTimePaced(benchmark::State& state) {
    const auto frames = static_cast<uint32_t>(state.range(0));
    const char* configured = std::getenv("TOLVANE_PACED_SECONDS");
    const double seconds = configured ? std::atof(configured) : 60.0;
    const auto unit = remoteEffect(std::nullopt);
    auto host = prepare(state, unit, frames);
    if (!host) return;
    const Planes input{tolvane::test::noise(frames, 1), tolvane::test::noise(frames, 2)};
    Planes output;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(frames / kRate));
    double longest = 0;
    uint64_t renders = 0;
    const auto wallStart = Clock::now();
    const double hostStart = threadCpuSeconds();
    const double extensionStart = processCpuSeconds(unit->processIdentifier());
    for (auto _ : state) {
        const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        for (auto next = Clock::now(); next < end; next += period) {
            std::this_thread::sleep_until(next);
            const auto start = Clock::now();
            host->render(input, 0, frames, output);
            longest = std::max(longest, std::chrono::duration<double>(Clock::now() - start).count() * 1e6);
            ++renders;
        }
    }
    state.counters["renders"] = static_cast<double>(renders);
    state.counters["missed"] = static_cast<double>(unit->missedDeadlines());
    state.counters["longest_us"] = longest;
    const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
    state.counters["host_cpu_pct"] = 100 * (threadCpuSeconds() - hostStart) / wall;
    state.counters["extension_cpu_pct"] = 100 * (processCpuSeconds(unit->processIdentifier()) - extensionStart) / wall;
}

}  // namespace

BENCHMARK(InProcess)->Arg(64)->Arg(256)->Arg(1024)->UseManualTime()->MinTime(1.0);
BENCHMARK(OutOfProcess)->Arg(64)->Arg(256)->Arg(1024)->UseManualTime()->MinTime(1.0);
BENCHMARK(RealTimePaced)->Arg(256)->Arg(512)->Arg(1024)->Iterations(1)->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
