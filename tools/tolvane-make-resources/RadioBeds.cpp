// Radio dial beds and static bursts for the RADIO mode.
#include "tools/tolvane-make-resources/AudioFileWriter.h"
#include "tools/tolvane-make-resources/Dsp.h"
#include "tools/tolvane-make-resources/Generators.h"
#include "tools/tolvane-make-resources/Random.h"

#include <algorithm>
#include <string>

namespace tolvane::resources {
namespace {

constexpr double kBedRate = 44100.0;
// One second: every whole-hertz tone and modulation then fits the loop exactly.
constexpr size_t kRadioFrames = 44100;
constexpr size_t kStaticFrames = 66150;
constexpr int kRadioBeds = 22;
constexpr int kStaticBeds = 9;

double timeOf(size_t i) { return static_cast<double>(i) / kBedRate; }

std::string radioBedName(int index) {
    return index == 0 ? std::string("tvradio") : "tvradio_" + std::to_string(index + 1);
}

// The hiss between stations, band-limited differently along the dial, fading slowly in and out.
Signal dialNoise(int bed, Random& random) {
    const double u = bed / static_cast<double>(kRadioBeds - 1);
    FilterChain tone;
    tone.sections = {Biquad::highPass(90.0, 0.7, kBedRate),
                     Biquad::lowPass(3500.0 + 8500.0 * (1.0 - std::abs(2.0 * u - 1.0)), 0.7, kBedRate),
                     Biquad::peaking(random.uniform(800.0, 3000.0), 0.9, random.uniform(-4.0, 4.0), kBedRate)};
    Signal noise = filterLooped(whiteNoise(kRadioFrames, 0x4AD10ULL + static_cast<uint64_t>(bed)), tone);
    setRmsDb(noise, -15.0);
    const double fadeHz = 1.0 + random.below(3);
    const double fadePhase = random.uniform(0.0, kTwoPi);
    const double fadeDepth = random.uniform(0.15, 0.45);
    for (size_t i = 0; i < noise.size(); ++i) {
        noise[i] *= 1.0 + fadeDepth * std::sin(kTwoPi * fadeHz * timeOf(i) + fadePhase);
    }
    return noise;
}

// Mains hum with its harmonics (50 Hz on some beds, 60 Hz on others).
void addHum(Signal& s, int bed, Random& random) {
    const double mains = bed % 2 == 0 ? 50.0 : 60.0;
    const double level = dbToGain(random.uniform(-34.0, -20.0));
    for (int h = 1; h <= 6; ++h) {
        const double amplitude = level / (h * (h % 2 == 0 ? 2.0 : 1.0));
        const double phase = random.uniform(0.0, kTwoPi);
        for (size_t i = 0; i < s.size(); ++i) s[i] += amplitude * std::sin(kTwoPi * mains * h * timeOf(i) + phase);
    }
}

// A heterodyne whistle that wobbles a little: whole-hertz carrier and wobble, so it loops.
void addWhistle(Signal& s, double hz, double wobbleHz, double wobbleDepthHz, double db, double phase) {
    const double amplitude = dbToGain(db);
    const double index = wobbleDepthHz / wobbleHz;
    for (size_t i = 0; i < s.size(); ++i) {
        const double t = timeOf(i);
        s[i] += amplitude * std::sin(kTwoPi * hz * t + index * std::sin(kTwoPi * wobbleHz * t) + phase);
    }
}

// Faint keyed tones from a distant transmitter; the keying pattern is laid out round the loop.
void addKeying(Signal& s, Random& random) {
    const double hz = 600.0 + 10.0 * random.below(40);
    const double amplitude = dbToGain(random.uniform(-30.0, -22.0));
    const size_t unit = kRadioFrames / 16;
    const size_t ramp = 220;
    for (size_t slot = 0; slot < 16; ++slot) {
        if (!random.chance(0.45)) continue;
        const size_t length = unit * (random.chance(0.4) ? 2 : 1) - unit / 3;
        Signal tone(length);
        for (size_t n = 0; n < length; ++n) {
            const double edge = std::min({1.0, n / static_cast<double>(ramp), (length - n) / static_cast<double>(ramp)});
            tone[n] = amplitude * edge * std::sin(kTwoPi * hz * timeOf(slot * unit + n));
        }
        addWrapped(s, slot * unit, tone);
    }
}

// Ignition-like ticks.
void addTicks(Signal& s, Random& random, int count) {
    for (int k = 0; k < count; ++k) {
        const size_t start = random.below(static_cast<uint32_t>(s.size()));
        const double amplitude = random.uniform(0.05, 0.25) * random.sign();
        Signal tick(48);
        for (size_t n = 0; n < tick.size(); ++n) {
            tick[n] = amplitude * std::exp(-static_cast<double>(n) / 5.0) * (n % 2 == 0 ? 1.0 : -0.6);
        }
        addWrapped(s, start, tick);
    }
}

Signal radioBed(int bed) {
    Random random(0x7AD10BEDULL + static_cast<uint64_t>(bed) * 7919ULL);
    Signal s = dialNoise(bed, random);
    addHum(s, bed, random);
    // Whistle pitch sweeps along the dial as a tuned oscillator would beat against carriers.
    const double sweep = std::fmod(bed * 0.618034, 1.0);
    addWhistle(s, std::round(350.0 + 4800.0 * sweep), 1.0 + random.below(4), random.uniform(3.0, 30.0),
               random.uniform(-26.0, -17.0), random.uniform(0.0, kTwoPi));
    if (bed % 3 != 1) {
        addWhistle(s, std::round(random.uniform(1500.0, 7500.0)), 1.0 + random.below(3), random.uniform(2.0, 12.0),
                   random.uniform(-34.0, -26.0), random.uniform(0.0, kTwoPi));
    }
    if (bed % 5 == 3) addKeying(s, random);
    addTicks(s, random, static_cast<int>(random.below(5)));
    const double p = peak(s);
    if (p > 0.9) scale(s, 0.9 / p);
    return s;
}

// One burst of frying static: band-passed noise with a fast attack and a decay, sprinkled with
// sharp discharges.
Signal staticBurst(Random& random, double rmsLevel, double seconds) {
    const auto length = static_cast<size_t>(seconds * kBedRate);
    FilterChain colour;
    colour.sections = {Biquad::bandPass(random.uniform(900.0, 5000.0), random.uniform(0.6, 1.4), kBedRate),
                       Biquad::highPass(200.0, 0.7, kBedRate)};
    Signal noise = whiteNoise(length, random.next());
    for (double& x : noise) x = colour.process(x);
    setRmsDb(noise, 0.0);
    const double attack = random.uniform(0.001, 0.004) * kBedRate;
    const double decay = length / random.uniform(2.0, 4.0);
    Signal burst(length);
    for (size_t n = 0; n < length; ++n) {
        const double t = static_cast<double>(n);
        double x = noise[n];
        if (random.chance(0.004)) x += random.sign() * random.uniform(1.5, 4.0);
        burst[n] = rmsLevel * (1.0 - std::exp(-t / attack)) * std::exp(-t / decay) * x;
    }
    return burst;
}

Signal staticBed(int number) {
    const double q = (number - 1) / static_cast<double>(kStaticBeds - 1);
    Random random(0x57A71CULL + static_cast<uint64_t>(number) * 104729ULL);
    // A bed of faint crackling static under the bursts, rising with the number.
    FilterChain floorTone;
    floorTone.sections = {Biquad::highPass(300.0, 0.7, kBedRate), Biquad::lowPass(9000.0, 0.7, kBedRate)};
    Signal s = filterLooped(whiteNoise(kStaticFrames, 0xF100EULL + static_cast<uint64_t>(number)), floorTone);
    setRmsDb(s, -52.0 + 24.0 * q);
    // More, longer and louder bursts as the number rises.
    const int bursts = 4 + 4 * number;
    for (int k = 0; k < bursts; ++k) {
        const double seconds = random.uniform(0.012, 0.05 + 0.2 * q);
        const double level = dbToGain(random.uniform(-32.0, -24.0) + 18.0 * q);
        const size_t start = random.below(static_cast<uint32_t>(kStaticFrames));
        addWrapped(s, start, staticBurst(random, level, seconds));
    }
    // Loud bursts saturate the receiver rather than being scaled down as a whole.
    for (double& x : s) x = 0.95 * std::tanh(x / 0.95);
    return s;
}

}  // namespace

void makeRadioBeds(const std::filesystem::path& dir) {
    for (int bed = 0; bed < kRadioBeds; ++bed) {
        Audio audio;
        audio.sampleRate = kBedRate;
        audio.channels = {radioBed(bed)};
        writeAudioFile(dir / (radioBedName(bed) + ".wav"), audio, SampleEncoding::Pcm16);
    }
}

void makeStaticBeds(const std::filesystem::path& dir) {
    for (int number = 1; number <= kStaticBeds; ++number) {
        Audio audio;
        audio.sampleRate = kBedRate;
        audio.channels = {staticBed(number)};
        writeAudioFile(dir / ("static" + std::to_string(number) + ".wav"), audio, SampleEncoding::Pcm16);
    }
}

}  // namespace tolvane::resources
