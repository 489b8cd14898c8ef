// The standalone application's test file: a two-bar synth phrase that loops seamlessly.
#include "tools/tolvane-make-resources/AudioFileWriter.h"
#include "tools/tolvane-make-resources/Dsp.h"
#include "tools/tolvane-make-resources/Generators.h"
#include "tools/tolvane-make-resources/Random.h"

#include <array>

namespace tolvane::resources {
namespace {

constexpr double kRate = 44100.0;
constexpr double kBeat = 0.5;  // 120 beats per minute
constexpr double kSixteenth = kBeat / 4.0;
constexpr size_t kFrames = 176400;  // two bars of 4/4: exactly four seconds

double midiToHz(int note) { return 440.0 * std::pow(2.0, (note - 69) / 12.0); }
size_t frameAt(double seconds) { return static_cast<size_t>(std::lround(seconds * kRate)); }

// Band-limited step correction, so the saw and pulse oscillators do not alias.
double polyBlep(double t, double dt) {
    if (t < dt) {
        t /= dt;
        return t + t - t * t - 1.0;
    }
    if (t > 1.0 - dt) {
        t = (t - 1.0) / dt;
        return t * t + t + t + 1.0;
    }
    return 0.0;
}

struct Oscillator {
    double phase = 0.0;
    double saw(double hz) {
        const double dt = hz / kRate;
        const double y = 2.0 * phase - 1.0 - polyBlep(phase, dt);
        advance(dt);
        return y;
    }
    double pulse(double hz) {
        const double dt = hz / kRate;
        double y = phase < 0.5 ? 1.0 : -1.0;
        y += polyBlep(phase, dt);
        y -= polyBlep(std::fmod(phase + 0.5, 1.0), dt);
        advance(dt);
        return y;
    }
    double sine(double hz) {
        const double y = std::sin(kTwoPi * phase);
        advance(hz / kRate);
        return y;
    }
    void advance(double dt) {
        phase += dt;
        if (phase >= 1.0) phase -= 1.0;
    }
};

double envelope(double t, double attack, double hold, double release) {
    if (t < attack) return t / attack;
    if (t < attack + hold) return 1.0;
    return std::exp(-(t - attack - hold) / release);
}

struct Stereo {
    Signal left = Signal(kFrames, 0.0);
    Signal right = Signal(kFrames, 0.0);
    void add(double seconds, const Signal& voice, double gainLeft, double gainRight) {
        addWrapped(left, frameAt(seconds), voice, gainLeft);
        addWrapped(right, frameAt(seconds), voice, gainRight);
    }
};

struct Chord {
    int root;
    std::array<int, 3> notes;
};

// A minor, F, C, G: one chord per two beats.
constexpr std::array<Chord, 4> kChords{{
    {45, {57, 60, 64}},
    {41, {57, 60, 65}},
    {36, {55, 60, 64}},
    {43, {55, 59, 62}},
}};

Signal padVoice(int note, double seconds, double detune) {
    Oscillator a, b;
    a.phase = 0.13;
    b.phase = 0.71;
    Biquad filter = Biquad::lowPass(1600.0, 0.8, kRate);
    Signal s(frameAt(seconds + 0.4));
    const double hz = midiToHz(note);
    for (size_t n = 0; n < s.size(); ++n) {
        const double t = n / kRate;
        const double x = a.saw(hz * (1.0 + detune)) + b.saw(hz * (1.0 - detune));
        s[n] = filter.process(x) * envelope(t, 0.03, seconds - 0.03, 0.12);
    }
    return s;
}

Signal bassVoice(int note, double seconds) {
    Oscillator saw, sub;
    Signal s(frameAt(seconds + 0.2));
    const double hz = midiToHz(note);
    Biquad filter;
    for (size_t n = 0; n < s.size(); ++n) {
        const double t = n / kRate;
        if (n % 32 == 0) {
            // The filter closes as the note decays; its state carries over each coefficient update.
            Biquad next = Biquad::lowPass(250.0 + 1400.0 * std::exp(-t / 0.08), 1.2, kRate);
            next.z1 = filter.z1;
            next.z2 = filter.z2;
            filter = next;
        }
        const double x = 0.7 * saw.saw(hz) + 0.6 * sub.sine(hz / 2.0);
        s[n] = filter.process(x) * envelope(t, 0.004, seconds * 0.6, 0.06);
    }
    return s;
}

Signal pluckVoice(int note) {
    Oscillator osc;
    Biquad filter = Biquad::lowPass(3200.0, 0.9, kRate);
    Signal s(frameAt(0.5));
    const double hz = midiToHz(note);
    for (size_t n = 0; n < s.size(); ++n) {
        const double t = n / kRate;
        s[n] = filter.process(osc.pulse(hz)) * envelope(t, 0.002, 0.0, 0.09);
    }
    return s;
}

Signal kickVoice() {
    Oscillator osc;
    Signal s(frameAt(0.35));
    for (size_t n = 0; n < s.size(); ++n) {
        const double t = n / kRate;
        const double hz = 45.0 + 85.0 * std::exp(-t / 0.03);
        s[n] = osc.sine(hz) * envelope(t, 0.001, 0.01, 0.11);
    }
    return s;
}

Signal hatVoice(Random& random) {
    Biquad filter = Biquad::highPass(7000.0, 0.7, kRate);
    Signal s(frameAt(0.08));
    for (size_t n = 0; n < s.size(); ++n) {
        s[n] = filter.process(random.gaussian()) * envelope(n / kRate, 0.0005, 0.0, 0.018);
    }
    return s;
}

void addPads(Stereo& mix) {
    for (size_t c = 0; c < kChords.size(); ++c) {
        for (int note : kChords[c].notes) {
            mix.add(c * 2 * kBeat, padVoice(note, 2 * kBeat, 0.004), 0.10, 0.06);
            mix.add(c * 2 * kBeat, padVoice(note, 2 * kBeat, -0.006), 0.06, 0.10);
        }
    }
}

void addBass(Stereo& mix) {
    constexpr std::array<int, 8> kPattern{0, 0, 12, 0, 0, 12, 0, 7};
    for (size_t c = 0; c < kChords.size(); ++c) {
        for (size_t e = 0; e < 4; ++e) {
            const int note = kChords[c].root + kPattern[(c * 4 + e) % kPattern.size()];
            mix.add((c * 4 + e) * 2 * kSixteenth, bassVoice(note, 2 * kSixteenth), 0.32, 0.32);
        }
    }
}

// Sixteenth-note arpeggio an octave above the pads, with a ping-pong echo that wraps round the loop.
void addArpeggio(Stereo& mix) {
    constexpr std::array<size_t, 8> kOrder{0, 1, 2, 1, 2, 0, 2, 1};
    Stereo dry;
    for (size_t step = 0; step < 32; ++step) {
        const Chord& chord = kChords[step / 8];
        const int note = chord.notes[kOrder[step % kOrder.size()]] + 12;
        const double pan = step % 2 == 0 ? 0.3 : -0.3;
        dry.add(step * kSixteenth, pluckVoice(note), 0.09 * (1.0 + pan), 0.09 * (1.0 - pan));
    }
    const size_t delay = frameAt(3 * kSixteenth);
    for (size_t i = 0; i < kFrames; ++i) {
        mix.left[i] += dry.left[i] + 0.35 * dry.right[(i + kFrames - delay) % kFrames] +
                       0.12 * dry.right[(i + kFrames - 3 * delay) % kFrames];
        mix.right[i] += dry.right[i] + 0.35 * dry.left[(i + kFrames - 2 * delay) % kFrames];
    }
}

void addDrums(Stereo& mix) {
    const Signal kick = kickVoice();
    Random random(0xD2D2ULL);
    for (size_t beat = 0; beat < 8; ++beat) {
        mix.add(beat * kBeat, kick, 0.45, 0.45);
        mix.add(beat * kBeat + 2 * kSixteenth, hatVoice(random), 0.05, 0.07);
    }
}

}  // namespace

void makeTestFile(const std::filesystem::path& dir) {
    Stereo mix;
    addPads(mix);
    addBass(mix);
    addArpeggio(mix);
    addDrums(mix);
    const double p = std::max(peak(mix.left), peak(mix.right));
    scale(mix.left, 0.7 / p);
    scale(mix.right, 0.7 / p);
    Audio audio;
    audio.sampleRate = kRate;
    audio.channels = {mix.left, mix.right};
    writeAudioFile(dir / "Synth.aif", audio, SampleEncoding::Pcm16, Container::Aiff);
}

}  // namespace tolvane::resources
