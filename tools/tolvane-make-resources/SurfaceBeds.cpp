// Vinyl crackle beds and the device hiss bed.
#include "tools/tolvane-make-resources/AudioFileWriter.h"
#include "tools/tolvane-make-resources/Dsp.h"
#include "tools/tolvane-make-resources/Generators.h"
#include "tools/tolvane-make-resources/Random.h"

#include <array>
#include <string>

namespace tolvane::resources {
namespace {

constexpr double kBedRate = 44100.0;
// One turn of a record at 33 1/3 rpm: a scratch coming round once per loop sounds natural.
constexpr size_t kCrackleFrames = 79380;
constexpr size_t kHissFrames = 88200;

struct CrackleProfile {
    int number;          // 25, 50, 75, 100
    double clicksPerSecond;
    double popsPerSecond;
    double surfaceDb;    // RMS of the surface noise
    double loudestClick; // largest click amplitude
};

constexpr std::array<CrackleProfile, 4> kCrackleProfiles{{
    {25, 7.0, 0.6, -54.0, 0.30},
    {50, 18.0, 1.2, -50.0, 0.40},
    {75, 40.0, 2.2, -47.0, 0.50},
    {100, 85.0, 3.5, -44.0, 0.60},
}};

// A sharp tick: a very short decaying burst in the upper midrange, random polarity.
Signal clickShape(Random& random, double amplitude) {
    const double freq = random.uniform(2500.0, 7500.0);
    const double tauSamples = random.uniform(3.0, 14.0);
    const double phase = random.uniform(0.0, kTwoPi);
    Signal s(64);
    for (size_t n = 0; n < s.size(); ++n) {
        const double t = static_cast<double>(n);
        s[n] = amplitude * std::exp(-t / tauSamples) * std::cos(kTwoPi * freq * t / kBedRate + phase);
    }
    return s;
}

// A pop: a dull thump from a larger defect, low and a little longer.
Signal popShape(Random& random, double amplitude) {
    const double freq = random.uniform(120.0, 520.0);
    const double tauSamples = random.uniform(90.0, 380.0);
    Signal s(2048);
    for (size_t n = 0; n < s.size(); ++n) {
        const double t = static_cast<double>(n);
        const double onset = 1.0 - std::exp(-t / 6.0);
        s[n] = amplitude * onset * std::exp(-t / tauSamples) * std::sin(kTwoPi * freq * t / kBedRate);
    }
    return s;
}

// Log-uniform amplitude: many faint ticks, few loud ones.
double eventAmplitude(Random& random, double lo, double hi) {
    return lo * std::pow(hi / lo, random.uniform() * random.uniform());
}

// Places events of a Poisson process over the loop; each lands in both channels with a random
// balance, or now and then in one channel only.
void scatterEvents(Audio& bed, Random& random, double perSecond, bool pops, double loudest) {
    const double meanGap = kBedRate / perSecond;
    double position = random.exponential(meanGap);
    while (position < static_cast<double>(kCrackleFrames)) {
        const double amplitude = pops ? eventAmplitude(random, 0.05, 0.45) : eventAmplitude(random, 0.02, loudest);
        const Signal shape = pops ? popShape(random, amplitude) : clickShape(random, amplitude);
        const double polarity = random.sign();
        const double balance = random.uniform(-0.35, 0.35);
        double left = polarity * (1.0 + balance), right = polarity * (1.0 - balance);
        if (random.chance(0.2)) (random.chance(0.5) ? left : right) = 0.0;
        const auto start = static_cast<size_t>(position);
        addWrapped(bed.channels[0], start, shape, left);
        addWrapped(bed.channels[1], start, shape, right);
        position += random.exponential(meanGap);
    }
}

// Groove noise: band-limited, mostly shared by the two channels.
void addSurfaceNoise(Audio& bed, const CrackleProfile& profile) {
    FilterChain tone;
    tone.sections = {Biquad::highPass(250.0, 0.7, kBedRate), Biquad::lowPass(7000.0, 0.7, kBedRate)};
    const uint64_t seed = 0xC0FFEEULL + static_cast<uint64_t>(profile.number);
    Signal common = filterLooped(whiteNoise(kCrackleFrames, seed), tone);
    setRmsDb(common, profile.surfaceDb);
    for (size_t c = 0; c < 2; ++c) {
        Signal own = filterLooped(whiteNoise(kCrackleFrames, seed * 31 + c + 1), tone);
        setRmsDb(own, profile.surfaceDb - 6.0);
        for (size_t i = 0; i < kCrackleFrames; ++i) bed.channels[c][i] += common[i] + own[i];
    }
}

Audio crackleBed(const CrackleProfile& profile) {
    Audio bed;
    bed.sampleRate = kBedRate;
    bed.channels.assign(2, Signal(kCrackleFrames, 0.0));
    addSurfaceNoise(bed, profile);
    Random random(0x7ACC1E00ULL + static_cast<uint64_t>(profile.number));
    scatterEvents(bed, random, profile.clicksPerSecond, false, profile.loudestClick);
    scatterEvents(bed, random, profile.popsPerSecond, true, 0.0);
    return bed;
}

}  // namespace

void makeCrackleBeds(const std::filesystem::path& dir) {
    for (const CrackleProfile& profile : kCrackleProfiles) {
        writeAudioFile(dir / ("crackle" + std::to_string(profile.number) + ".wav"), crackleBed(profile),
                       SampleEncoding::Pcm16);
    }
}

void makeHissBed(const std::filesystem::path& dir) {
    // Steady electronic hiss: white noise with the lows thinned and a little presence lift.
    FilterChain tone;
    tone.sections = {Biquad::highPass(180.0, 0.7, kBedRate), Biquad::peaking(6000.0, 0.7, 3.0, kBedRate),
                     Biquad::lowPass(16000.0, 0.7, kBedRate)};
    Signal hiss = filterLooped(whiteNoise(kHissFrames, 0x4155ULL), tone);
    setRmsDb(hiss, -16.0);
    Audio audio;
    audio.sampleRate = kBedRate;
    audio.channels = {hiss};
    writeAudioFile(dir / "hiss.wav", audio, SampleEncoding::Pcm16);
}

}  // namespace tolvane::resources
