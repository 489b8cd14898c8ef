// The latency a host compensates is the delay the audio really has, in every mode, measured
// from the audio itself: where a click comes out.

#include "tests/support/EffectHost.h"
#include "tests/support/Signals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <tuple>

namespace {

using tolvane::test::EffectHost;
namespace addr = ParameterAddress;

constexpr std::size_t kClickAt = 8192;  // past the start fade-in
constexpr std::size_t kClickLength = 16;
constexpr std::size_t kMaxLag = 1100;    // beyond any latency the unit can report

// Silence with one short click `offset` frames after kClickAt, or without it.
std::vector<float> input(std::optional<std::size_t> offset) {
    std::vector<float> in(kClickAt + kMaxLag + 1024, 0.0f);
    if (offset) std::fill_n(in.begin() + static_cast<std::ptrdiff_t>(kClickAt + *offset), kClickLength, 0.5f);
    return in;
}

std::vector<float> render(int mode, double rate, std::optional<std::size_t> offset, double& reported) {
    EffectHost host({.sampleRate = rate, .maxFrames = 512, .bundle = Bundle(TOLVANE_RESOURCE_DIR)});
    host.set(addr::effectMode, static_cast<AUValue>(mode));
    if (mode == 5) host.set(addr::compressor, 0);  // TUNING 0: the AM hold at its fastest, 48 kHz
    EXPECT_TRUE(host.allocate());
    const auto in = input(offset);
    reported = host.unit->latency() * rate;
    return host.process(in, in, 512).first;
}

// A click's onset is what a host lines up. It is found against the same unit fed silence, so
// that anything a mode makes of silence (a model's offset, a filter's ringing) cancels and the
// first sample the click changes is its true arrival: a filter answers at once, however slowly
// it then rises, while a delay holds it back. RADIO's AM path holds samples (at 48 kHz at
// TUNING 0), so a click waits for the next capture; the smallest delay over clicks at every
// phase of that hold is its latency.
std::size_t clickDelay(int mode, double rate, double& reported) {
    const std::vector<float> silent = render(mode, rate, std::nullopt, reported);
    const auto phases = mode == 5 ? static_cast<std::size_t>(std::ceil(rate / 48000)) : 1u;
    std::size_t smallest = silent.size();
    for (std::size_t offset = 0; offset < phases; ++offset) {
        const std::vector<float> clicked = render(mode, rate, offset, reported);
        for (std::size_t i = kClickAt + offset; i < silent.size(); ++i) {
            if (silent[i] != clicked[i]) {
                smallest = std::min(smallest, i - kClickAt - offset);
                break;
            }
        }
    }
    return smallest;
}

class ModeLatency : public ::testing::TestWithParam<std::tuple<int, double>> {};

TEST_P(ModeLatency, ReportedLatencyIsTheMeasuredDelay) {
    const auto [mode, rate] = GetParam();
    double reported = 0;
    const std::size_t measured = clickDelay(mode, rate, reported);
    EXPECT_NEAR(static_cast<double>(measured), reported, 1.0) << "mode " << mode << " at " << rate << " Hz";
}

INSTANTIATE_TEST_SUITE_P(EveryModeAndRate, ModeLatency,
                         ::testing::Combine(::testing::Range(0, 8), ::testing::Values(44100.0, 48000.0, 96000.0, 192000.0)),
                         [](const auto& info) {
                             return "mode" + std::to_string(std::get<0>(info.param)) + "_" +
                                    std::to_string(static_cast<int>(std::get<1>(info.param))) + "Hz";
                         });

// Leaving VINYL for a mode that runs through the alignment delay: the line starts empty and the
// mode fade covers it, so nothing of the mode left leaks out after the switch.
TEST(ModeLatencySwitch, TheAlignedModeStartsSilentUnderTheModeFade) {
    EffectHost host({.bundle = Bundle(TOLVANE_RESOURCE_DIR)});
    ASSERT_TRUE(host.allocate());
    host.set(addr::effectMode, 6);
    host.process(tolvane::test::noise(8192, 1), tolvane::test::noise(8192, 2), 256);
    host.set(addr::effectMode, 0);
    host.process(tolvane::test::noise(8192, 3), tolvane::test::noise(8192, 4), 256);
    host.set(addr::effectMode, 6);
    auto [L, R] = host.process(tolvane::test::noise(6000, 5), tolvane::test::noise(6000, 6), 100);
    for (std::size_t i = 0; i < 3073; ++i) ASSERT_TRUE(L[i] == 0 && R[i] == 0) << i;
    float rampPeak = 0;
    for (std::size_t i = 3073; i < 4096; ++i) rampPeak = std::max(rampPeak, std::fabs(L[i]));
    EXPECT_GT(rampPeak, 0.01f);
    EXPECT_LT(rampPeak, 1.0f);
}

}  // namespace
