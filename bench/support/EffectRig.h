#pragma once

// The whole effect as a host runs it, for the benchmarks: the unit at 48 kHz stereo with the
// generated bundle, driven through its render block by the tests' in-process host, and the
// clock and counters every benchmark reports.

#include "tests/support/UnitHost.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

namespace addr = ParameterAddress;

inline constexpr double kSampleRate = 48000;
inline constexpr uint32_t kLargestBlock = 4096;

// CPU time of the calling thread, in seconds: the benchmarks share the machine with other work,
// and this is what the effect itself costs, whatever else is scheduled meanwhile.
inline double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// ns per frame (one stereo frame, or one sample of a mono player), the share of one core that
// real time at 48 kHz needs, in percent, and how many times faster than real time it runs.
inline void setFrameCounters(benchmark::State& state, double frames, double seconds) {
    if (frames <= 0 || seconds <= 0) return;
    const double nsPerFrame = 1e9 * seconds / frames;
    state.counters["ns_per_frame"] = nsPerFrame;
    state.counters["pct_core"] = 100.0 * nsPerFrame * kSampleRate * 1e-9;
    state.counters["realtime_x"] = 1.0 / (nsPerFrame * kSampleRate * 1e-9);
}

// One benchmarked setting of a mode: the three knobs (on 0..100) and the AM/FM switch. A case
// that switches drive models moves DRIVE between two models every `driveSwitchFrames` frames,
// so that a model fade is always running.
struct ModeCase {
    const char* name;
    int mode;
    float knob1, knob2, knob3;
    float amFm = 0;
    uint32_t driveSwitchFrames = 0;
    float otherDrive = 0;
};

// The dearest setting of each mode.
//   VINYL: compressor between the first two profiles, so two models run on each channel (four
//     model steps per stereo frame), two crackle beds, full wow and flutter.
//   LO-FI: CRUSH between the two dearest bit models (0 and 12), both running on each channel.
//   FILLDRIVE: resonance and the tone section on, DRIVE moving between two models.
//   RADIO: both bands with a bed, static and (AM) two blended impulse responses.
inline const std::array<ModeCase, 9>& modeCases() {
    static const std::array<ModeCase, 9> cases{{
        {"VINYL", 0, 6, 37.5f, 100},
        {"LO-FI", 1, 50, 3, 60},
        {"FILLDRIVE", 2, 60, 50, 37, 0, 2048, 62},
        {"ISOLATOR", 3, 70, 70, 70},
        {"PITCH", 4, 75, 60, 50},
        {"RADIO-FM", 5, 50, 60, 60, 1},
        {"RADIO-AM", 5, 50, 44, 60, 0},
        {"CHORUS", 6, 60, 60, 60},
        {"FLANGER", 7, 60, 50, 60},
    }};
    return cases;
}

// A test signal: two tones and a little noise, -6 dBFS peak, different on the two channels.
inline std::vector<float> testSignal(std::size_t frames, int channel) {
    std::vector<float> x(frames);
    uint32_t noise = 12345u + 977u * static_cast<uint32_t>(channel);
    const double f1 = channel == 0 ? 220.0 : 330.0;
    for (std::size_t i = 0; i < frames; ++i) {
        noise = noise * 1664525u + 1013904223u;
        const double t = static_cast<double>(i) / kSampleRate;
        const double tones = 0.3 * std::sin(6.283185307 * f1 * t) + 0.15 * std::sin(6.283185307 * 2750.0 * t);
        x[i] = static_cast<float>(tones + 0.05 * (static_cast<double>(noise >> 8) / 8388608.0 - 1.0));
    }
    return x;
}

// A unit set to one mode case, allocated with the bundle's resources and ready to render.
class EffectRig {
public:
    explicit EffectRig(const ModeCase& c, uint32_t maxFrames = kLargestBlock, bool hiss = true)
        : case_(c), host_({.sampleRate = kSampleRate, .maxFrames = maxFrames, .bundle = Bundle(TOLVANE_RESOURCE_DIR)}),
          left_(maxFrames), right_(maxFrames), sourceL_(testSignal(kSourceFrames, 0)),
          sourceR_(testSignal(kSourceFrames, 1)) {
        host_.set(addr::effectMode, static_cast<float>(c.mode));
        host_.set(addr::compressor, c.knob1);
        host_.set(addr::crackle, c.knob2);
        host_.set(addr::wowFlutter, c.knob3);
        host_.set(addr::amFmMode, c.amFm);
        host_.set(addr::hissOn, hiss ? 1.0f : 0.0f);
        if (!host_.allocate()) throw std::runtime_error("allocation failed");
        host_.finishQueuedLoads();
        if (c.mode == 0 || c.mode == 1 || c.mode == 2 || c.mode == 5)
            if (!host_.unit->isModelReady(c.mode)) throw std::runtime_error(std::string(c.name) + ": resources not loaded");
    }

    // Renders `frames` frames of the test signal scaled by `level` (0: silence).
    void render(uint32_t frames, float level = 1.0f) {
        fill(frames, level);
        AURenderEvent drive{};
        const AURenderEvent* events = nullptr;
        if (case_.driveSwitchFrames > 0) {
            const bool other = (rendered_ / case_.driveSwitchFrames) % 2 == 1;
            drive = tolvane::test::parameterEvent(addr::wowFlutter, other ? case_.otherDrive : case_.knob3);
            events = &drive;
        }
        if (host_.render(left_.data(), right_.data(), frames, events) != noErr) throw std::runtime_error("render failed");
        benchmark::DoNotOptimize(left_.data());
        benchmark::DoNotOptimize(right_.data());
        benchmark::ClobberMemory();
        rendered_ += frames;
    }

    // Renders at least `seconds` of signal in blocks of `block`; returns the frames rendered.
    uint64_t renderFor(double seconds, uint32_t block, float level = 1.0f) {
        const auto total = static_cast<uint64_t>(seconds * kSampleRate);
        uint64_t done = 0;
        for (; done < total; done += block) render(block, level);
        return done;
    }

    tolvane::test::UnitHost& host() { return host_; }

private:
    static constexpr std::size_t kSourceFrames = 48000;

    // Copies the next frames of the looping source, in at most two spans; the copy costs a
    // fraction of a nanosecond per frame next to the render.
    void fill(uint32_t frames, float level) {
        for (uint32_t done = 0; done < frames;) {
            const auto span = static_cast<uint32_t>(std::min<std::size_t>(frames - done, kSourceFrames - position_));
            copyScaled(sourceL_.data() + position_, left_.data() + done, span, level);
            copyScaled(sourceR_.data() + position_, right_.data() + done, span, level);
            done += span;
            position_ = (position_ + span) % kSourceFrames;
        }
    }

    static void copyScaled(const float* from, float* to, uint32_t n, float level) {
        if (level == 1.0f) std::copy(from, from + n, to);
        else for (uint32_t i = 0; i < n; ++i) to[i] = level * from[i];
    }

    ModeCase case_;
    tolvane::test::UnitHost host_;
    std::vector<float> left_, right_;
    std::vector<float> sourceL_, sourceR_;
    std::size_t position_ = 0;
    uint64_t rendered_ = 0;
};

}  // namespace bench
