#pragma once

#include "platform/avfaudio/AVAudioFile.h"
#include "tests/support/EffectHost.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace tolvane::test {

using Channels = std::vector<std::vector<float>>;
using Settings = std::vector<std::pair<std::string, float>>;

// A deterministic programme for a channel: two detuned partials with a slow swell, a decaying
// burst every 0.25 s and a low noise floor, so every stage has something to work on.
inline std::vector<float> testSignal(double rate, std::size_t frames, int channel) {
    std::vector<float> samples(frames);
    uint32_t noise = 0x9e3779b9u + static_cast<uint32_t>(channel) * 7919u;
    const double f1 = 220.0 * (1 + 0.01 * channel);
    const double f2 = 1375.0 - 40.0 * channel;
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        noise = noise * 1664525u + 1013904223u;
        const double white = static_cast<double>(noise >> 8) / 8388608.0 - 1.0;
        const double burst = std::exp(-std::fmod(t, 0.25) * 30.0);
        const double swell = 0.6 + 0.4 * std::sin(2 * M_PI * 1.5 * t);
        samples[i] = static_cast<float>(0.35 * swell * std::sin(2 * M_PI * f1 * t) + 0.2 * burst * std::sin(2 * M_PI * f2 * t) +
                                        0.01 * white);
    }
    return samples;
}

inline Channels testProgramme(double rate, std::size_t frames, int channels) {
    Channels out;
    for (int c = 0; c < channels; ++c) out.push_back(testSignal(rate, frames, c));
    return out;
}

inline AUParameterAddress addressOf(const AUAudioUnit& unit, const std::string& identifier) {
    for (const auto& parameter : unit.parameterTree()->allParameters()) {
        if (parameter->identifier() == identifier) return parameter->address();
    }
    throw std::invalid_argument("no parameter " + identifier);
}

// The reference: the unit driven in this process the way tolvane-render drives the plug-in,
// values first, then the file in blocks followed by the unit's latency in silence, with the
// output's first latency frames dropped (so it lines up with the input). Uncompensated, it is
// what a host that compensates nothing gets.
inline Channels renderInProcess(const Channels& input, double rate, uint32_t block, const Settings& settings,
                                bool compensateLatency = true) {
    EffectHost::Options options;
    options.sampleRate = rate;
    options.inputChannels = static_cast<uint32_t>(input.size());
    options.outputChannels = static_cast<uint32_t>(input.size());
    options.maxFrames = block;
    options.bundle = Bundle(TOLVANE_RESOURCE_DIR);
    EffectHost host(options);
    for (const auto& [identifier, value] : settings) host.set(addressOf(*host.unit, identifier), value);
    EXPECT_TRUE(host.allocate());
    const auto latency = compensateLatency ? static_cast<std::size_t>(std::lround(host.unit->latency() * rate)) : 0u;
    Channels padded = input;
    for (auto& channel : padded) channel.resize(channel.size() + latency, 0.0f);
    auto [left, right] = host.process(padded[0], padded.size() > 1 ? padded[1] : std::vector<float>{}, block);
    Channels out{std::move(left)};
    if (input.size() > 1) out.push_back(std::move(right));
    for (auto& channel : out) channel.erase(channel.begin(), channel.begin() + static_cast<std::ptrdiff_t>(latency));
    return out;
}

inline Channels readAudioFile(const std::string& path) {
    Error error;
    auto file = AVAudioFile::initForReading(path, &error);
    if (!file) throw std::runtime_error(error.description());
    const auto frames = static_cast<uint32_t>(file->length());
    Channels out(file->processingFormat().channelCount());
    if (frames == 0) return out;
    auto buffer = AVAudioPCMBuffer::initWithPCMFormat(file->processingFormat(), frames);
    if (!file->readIntoBuffer(*buffer, &error)) throw std::runtime_error(error.description());
    for (std::size_t c = 0; c < out.size(); ++c)
        out[c].assign(buffer->floatChannelData()[c], buffer->floatChannelData()[c] + buffer->frameLength());
    return out;
}

inline double peakOf(const Channels& channels) {
    double peak = 0;
    for (const auto& channel : channels)
        for (float s : channel) peak = std::max(peak, static_cast<double>(std::fabs(s)));
    return peak;
}

// Points lilv (in this process and in the programs it starts) at the build tree's bundles only.
inline void useBuildTreeLv2Path() { setenv("LV2_PATH", TOLVANE_LV2_DIR, 1); }

}  // namespace tolvane::test
