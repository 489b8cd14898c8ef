// Measurements of the generated sample beds, impulse responses and test file.
#include "tests/tools/ResourceTestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace tolvane::test {
namespace {

std::vector<std::string> radioBedNames() {
    std::vector<std::string> names{"tvradio"};
    for (int i = 2; i <= 22; ++i) names.push_back("tvradio_" + std::to_string(i));
    return names;
}

std::vector<std::string> staticBedNames() {
    std::vector<std::string> names;
    for (int i = 1; i <= 9; ++i) names.push_back("static" + std::to_string(i));
    return names;
}

constexpr std::array<int, 9> kFilterValues{0, 12, 25, 37, 50, 62, 75, 87, 100};
constexpr std::array<const char*, 4> kCrackleNames{"crackle25", "crackle50", "crackle75", "crackle100"};

Sound bed(const std::string& name) { return readSound(resourceDir() / (name + ".wav")); }

TEST(BedFormats, ChannelsRatesAndLevelsSuitTheStagesThatReadThem) {
    struct Expected {
        std::string name;
        size_t channels;
        double rate;
    };
    std::vector<Expected> expected{{"hiss", 1, 44100}};
    for (const char* name : kCrackleNames) expected.push_back({name, 2, 44100});
    for (const std::string& name : radioBedNames()) expected.push_back({name, 1, 44100});
    for (const std::string& name : staticBedNames()) expected.push_back({name, 1, 44100});
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.name);
        const Sound s = bed(e.name);
        EXPECT_EQ(s.channels.size(), e.channels);
        EXPECT_EQ(s.sampleRate, e.rate);
        EXPECT_GE(s.frames(), static_cast<size_t>(e.rate * 0.9)) << "too short to loop unnoticed";
        for (const auto& channel : s.channels) {
            EXPECT_LT(peakOf(channel), 0.99) << "clipped";
            EXPECT_GT(toDb(rmsOf(channel)), -60.0) << "practically silent";
        }
    }
}

TEST(BedLoops, EveryBedContinuesAcrossItsLoopPointWithoutAClick) {
    std::vector<std::string> names{"hiss"};
    for (const char* name : kCrackleNames) names.push_back(name);
    for (const std::string& name : radioBedNames()) names.push_back(name);
    for (const std::string& name : staticBedNames()) names.push_back(name);
    for (const std::string& name : names) {
        const Sound s = bed(name);
        for (size_t c = 0; c < s.channels.size(); ++c) {
            EXPECT_LT(seamClickRatio(s.channels[c]), 1.5) << name << " channel " << c;
        }
    }
}

// Clicks are counted where the high-passed bed first rises above a level well over its surface
// noise, allowing 3 ms for a click's own ringing.
double clicksPerSecond(const Sound& s) {
    const size_t n = s.frames();
    std::vector<double> edge(n);
    for (size_t i = 1; i + 1 < n; ++i) {
        double e = 0.0;
        for (const auto& ch : s.channels) e = std::max(e, std::abs(ch[i + 1] - 2.0 * ch[i] + ch[i - 1]));
        edge[i] = e;
    }
    constexpr double kThreshold = 0.02;
    const auto refractory = static_cast<size_t>(0.003 * s.sampleRate);
    size_t events = 0;
    for (size_t i = 0; i < n; ++i) {
        if (edge[i] > kThreshold) {
            ++events;
            i += refractory;
        }
    }
    return events * s.sampleRate / static_cast<double>(n);
}

TEST(CrackleBeds, ClickDensityRisesWithTheBedNumber) {
    std::vector<double> density;
    for (const char* name : kCrackleNames) density.push_back(clicksPerSecond(bed(name)));
    for (size_t i = 1; i < density.size(); ++i) {
        EXPECT_GT(density[i], density[i - 1] * 1.5) << kCrackleNames[i] << " vs " << kCrackleNames[i - 1];
    }
    EXPECT_GT(density.front(), 2.0) << "the lightest bed still crackles";
    EXPECT_LT(density.back(), 150.0) << "the heaviest bed is crackle, not noise";
}

TEST(CrackleBeds, ClicksAreMostlySharedByBothChannels) {
    for (const char* name : kCrackleNames) {
        const Sound s = bed(name);
        double cross = 0, left = 0, right = 0;
        for (size_t i = 0; i < s.frames(); ++i) {
            cross += s.channels[0][i] * s.channels[1][i];
            left += s.channels[0][i] * s.channels[0][i];
            right += s.channels[1][i] * s.channels[1][i];
        }
        const double correlation = cross / std::sqrt(left * right);
        EXPECT_GT(correlation, 0.3) << name;
        EXPECT_LT(correlation, 0.98) << name << ": some width between the channels";
    }
}

TEST(HissBed, IsSteadyAndBroadband) {
    const Sound s = bed("hiss");
    const std::vector<double>& x = s.channels[0];
    const double overall = toDb(rmsOf(x));
    const auto window = static_cast<size_t>(0.05 * s.sampleRate);
    for (size_t start = 0; start + window <= x.size(); start += window) {
        EXPECT_NEAR(toDb(rmsOf(x, start, start + window)), overall, 1.5) << "at frame " << start;
    }
    const std::vector<double> excerpt(x.begin(), x.begin() + 4096);
    EXPECT_GT(spectralCentroid(excerpt, s.sampleRate), 4000.0);
}

// RMS of successive 10 ms windows.
std::vector<double> windowLevels(const std::vector<double>& x, double rate) {
    const auto window = static_cast<size_t>(0.01 * rate);
    std::vector<double> levels;
    for (size_t start = 0; start + window <= x.size(); start += window) levels.push_back(rmsOf(x, start, start + window));
    return levels;
}

double quantile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(q * (v.size() - 1))];
}

TEST(StaticBeds, BurstsGrowFromTheFirstBedToTheLast) {
    double previousRms = 0, previousBusy = 0;
    for (const std::string& name : staticBedNames()) {
        SCOPED_TRACE(name);
        const Sound s = bed(name);
        const std::vector<double> levels = windowLevels(s.channels[0], s.sampleRate);
        const double busy = quantile(levels, 0.75);
        EXPECT_GT(rmsOf(s.channels[0]), previousRms * 1.1);
        EXPECT_GT(busy, previousBusy);
        previousRms = rmsOf(s.channels[0]);
        previousBusy = busy;
    }
    const Sound first = bed("static1");
    const std::vector<double> levels = windowLevels(first.channels[0], first.sampleRate);
    EXPECT_GT(quantile(levels, 1.0) / quantile(levels, 0.5), 4.0) << "the first bed is bursts, not a steady noise";
}

// Level of one DFT line of a one-second loop against the median of the lines around it.
double lineProminenceDb(const std::vector<double>& x, double rate, double hz) {
    std::vector<double> neighbours;
    for (int k = 5; k <= 15; ++k) {
        neighbours.push_back(std::abs(dftAt(x, hz + k, rate)));
        neighbours.push_back(std::abs(dftAt(x, hz - k, rate)));
    }
    return toDb(std::abs(dftAt(x, hz, rate))) - toDb(quantile(neighbours, 0.5));
}

// Strongest 10 Hz band of a Hann-windowed tenth of a second against the median band.
double bandPeakOverMedianDb(const std::vector<double>& x, double rate, double lo, double hi) {
    const auto length = static_cast<size_t>(rate / 10);
    std::vector<double> excerpt(length);
    for (size_t n = 0; n < length; ++n) excerpt[n] = x[n] * (0.5 - 0.5 * std::cos(2.0 * M_PI * n / length));
    std::vector<double> bands;
    for (double hz = lo; hz <= hi; hz += 10.0) bands.push_back(std::abs(dftAt(excerpt, hz, rate)));
    return toDb(quantile(bands, 1.0)) - toDb(quantile(bands, 0.5));
}

TEST(RadioBeds, CarryMainsHumAndAWhistleAboveTheirNoise) {
    for (const std::string& name : radioBedNames()) {
        SCOPED_TRACE(name);
        const Sound s = bed(name);
        ASSERT_EQ(s.frames(), static_cast<size_t>(s.sampleRate)) << "one-second loops keep whole-hertz tones seamless";
        const std::vector<double>& x = s.channels[0];
        const double hum = std::max(lineProminenceDb(x, s.sampleRate, 50), lineProminenceDb(x, s.sampleRate, 60));
        EXPECT_GT(hum, 12.0);
        EXPECT_GT(bandPeakOverMedianDb(x, s.sampleRate, 300.0, 7000.0), 15.0) << "a whistle stands out";
    }
}

TEST(RadioImpulseResponses, AreShortBandPassesThatBrightenWithTheFilterValue) {
    double previousCentroid = 0.0;
    for (int value : kFilterValues) {
        SCOPED_TRACE(value);
        const Sound s = readSound(resourceDir() / ("tvradio_" + std::to_string(value) + "-48k.wav"));
        ASSERT_EQ(s.channels.size(), 1u);
        EXPECT_EQ(s.sampleRate, 48000.0);
        EXPECT_GE(s.frames(), 128u);
        EXPECT_LE(s.frames(), 1024u);
        const std::vector<double>& ir = s.channels[0];
        double peakGain = 0.0;
        for (double hz = 100; hz <= 20000; hz *= 1.02) peakGain = std::max(peakGain, std::abs(dftAt(ir, hz, 48000)));
        // The receiver adds 21 dB after the convolution: the passband sits near unity overall.
        EXPECT_NEAR(toDb(peakGain), -21.0, 0.5);
        EXPECT_LT(toDb(std::abs(dftAt(ir, 40, 48000))), toDb(peakGain) - 20.0) << "no deep bass from a small speaker";
        EXPECT_LT(toDb(std::abs(dftAt(ir, 16000, 48000))), toDb(peakGain) - 15.0) << "no air either";
        const double centroid = spectralCentroid(ir, 48000);
        EXPECT_GT(centroid, previousCentroid * 1.05);
        previousCentroid = centroid;
    }
}

TEST(TestFile, IsAStereoPhraseThatLoopsWithoutAClick) {
    const Sound s = readSound(studioResourceDir() / "Synth.aif");
    ASSERT_EQ(s.channels.size(), 2u);
    EXPECT_EQ(s.sampleRate, 44100.0);
    EXPECT_GE(s.frames(), static_cast<size_t>(2 * 44100));
    EXPECT_LE(s.frames(), static_cast<size_t>(8 * 44100));
    for (const auto& channel : s.channels) {
        EXPECT_LT(peakOf(channel), 0.9);
        EXPECT_GT(toDb(rmsOf(channel)), -30.0);
        EXPECT_LT(seamClickRatio(channel), 1.5);
    }
    double difference = 0.0;
    for (size_t i = 0; i < s.frames(); ++i) difference += std::abs(s.channels[0][i] - s.channels[1][i]);
    EXPECT_GT(difference / s.frames(), 1e-3) << "the two channels differ";
    // The measure has teeth: joining the phrase at a point that is not its loop point is caught.
    std::vector<double> cut(s.channels[0].begin(), s.channels[0].begin() + s.frames() / 3 + 1234);
    EXPECT_GT(seamClickRatio(cut), 3.0);
}

}  // namespace
}  // namespace tolvane::test
