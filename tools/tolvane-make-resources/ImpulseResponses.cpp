// Receiver impulse responses for the RADIO mode's AM path: a small speaker in a small box.
#include "tools/tolvane-make-resources/AudioFileWriter.h"
#include "tools/tolvane-make-resources/Dsp.h"
#include "tools/tolvane-make-resources/Generators.h"

#include <algorithm>
#include <array>
#include <complex>
#include <string>

namespace tolvane::resources {
namespace {

constexpr double kIrRate = 48000.0;
constexpr size_t kTaps = 384;
constexpr size_t kFadeTaps = 96;
// The AM path adds +21 dB after the convolution, so the passband peak sits at -21 dB here.
constexpr double kPassbandPeak = 1.0 / 11.220183;
constexpr std::array<int, 9> kFilterValues{0, 12, 25, 37, 50, 62, 75, 87, 100};

// The speaker: bass cut by the tiny cone, a cone resonance, a treble roll-off that opens up with
// the FILTER value, and two early reflections from the cabinet walls.
FilterChain speakerChain(double p) {
    const double top = 1800.0 * std::pow(6500.0 / 1800.0, p);
    FilterChain chain;
    chain.sections = {
        Biquad::highPass(300.0, 0.54, kIrRate),
        Biquad::highPass(300.0, 1.31, kIrRate),
        Biquad::peaking(700.0 + 600.0 * p, 1.4, 5.0, kIrRate),
        Biquad::lowPass(top, 0.54, kIrRate),
        Biquad::lowPass(top, 1.31, kIrRate),
    };
    return chain;
}

double peakMagnitude(const Signal& ir) {
    double best = 0.0;
    for (double f = 100.0; f <= 20000.0; f *= 1.01) {
        std::complex<double> sum = 0.0;
        for (size_t n = 0; n < ir.size(); ++n) sum += ir[n] * std::polar(1.0, -kTwoPi * f * n / kIrRate);
        best = std::max(best, std::abs(sum));
    }
    return best;
}

Signal impulseResponse(double p) {
    FilterChain chain = speakerChain(p);
    Signal direct(kTaps, 0.0);
    for (size_t n = 0; n < kTaps; ++n) direct[n] = chain.process(n == 0 ? 1.0 : 0.0);
    // Two cabinet reflections, 1.2 ms and 2.7 ms after the direct sound.
    Signal ir = direct;
    for (size_t n = 0; n < kTaps; ++n) {
        if (n >= 58) ir[n] += -0.22 * direct[n - 58];
        if (n >= 130) ir[n] += 0.10 * direct[n - 130];
    }
    for (size_t k = 0; k < kFadeTaps; ++k) {
        const double fade = 0.5 * (1.0 + std::cos(kPi * (k + 1) / static_cast<double>(kFadeTaps)));
        ir[kTaps - kFadeTaps + k] *= fade;
    }
    scale(ir, kPassbandPeak / peakMagnitude(ir));
    return ir;
}

}  // namespace

void makeRadioImpulseResponses(const std::filesystem::path& dir) {
    for (int value : kFilterValues) {
        Audio audio;
        audio.sampleRate = kIrRate;
        audio.channels = {impulseResponse(value / 100.0)};
        writeAudioFile(dir / ("tvradio_" + std::to_string(value) + "-48k.wav"), audio, SampleEncoding::Float32);
    }
}

}  // namespace tolvane::resources
