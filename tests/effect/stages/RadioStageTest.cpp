// The RADIO stage's FM band, called directly on render states.

#include "effect/RenderState.h"
#include "effect/stages/Stages.h"
#include "tests/effect/stages/RadioTestSupport.h"
#include "tests/support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

using radio_test::RefBiquad;

constexpr float kFs = 44100;

// Both render states of the RADIO mode with the beds published as the loaders would.
struct RadioStates {
    ResourcePublisher publisher;
    RenderState left;
    RenderState right;

    void publishRadioBed(std::size_t b, const std::shared_ptr<AVAudioPCMBuffer>& bed) {
        publisher.publish(left.radioBuffers[b], bed);
        publisher.publish(right.radioBuffers[b], bed);
    }
    void publishStaticBed(std::size_t i, const std::shared_ptr<AVAudioPCMBuffer>& bed) {
        publisher.publish(left.staticBuffers[i], bed);
        publisher.publish(right.staticBuffers[i], bed);
    }
};

std::vector<float> radioBedSamples(std::size_t b) { return radio_test::noise(700 + 37 * b, 100 + b, 0.5f); }
std::vector<float> staticBedSamples(std::size_t i) { return radio_test::noise(500 + 13 * i, 200 + i, 0.3f); }

void publishNoiseBeds(RadioStates& st) {
    for (std::size_t b = 0; b < 22; ++b) st.publishRadioBed(b, radio_test::monoBed(radioBedSamples(b)));
    for (std::size_t i = 0; i < 9; ++i) st.publishStaticBed(i, radio_test::monoBed(staticBedSamples(i)));
}

// The mono FM chain in double precision, written straight from the description of the band.
// The test names the beds it expects the knobs to pick.
class FMReference {
public:
    FMReference(double fs, double knob1, double knob2, double knob3, std::vector<float> bed,
                std::vector<float> staticBed, bool bedChanged)
        : fs_(fs), k1_(knob1 / 100), k2_(knob2 / 100), bed_(std::move(bed)), static_(std::move(staticBed)) {
        const double k3 = knob3 / 100;
        if (k3 > 0.02) {
            const double s = (k3 - 0.02) / 0.98 * 9;
            staticGain_ = std::pow(10.0, ((s - std::min(std::floor(s), 8.0)) * 36 - 36) / 20);
        }
        fade_ = bedChanged ? 0 : 1;
        tuning_ = RefBiquad::highPass(110 * std::pow(42.727272, k1_), fs, 3);
        for (auto* f : {&low_[0], &low_[1]}) *f = RefBiquad::lowPass(200, fs, 1.4142135);
        for (auto* f : {&split_[0], &split_[1]}) *f = RefBiquad::highPass(200, fs, 1.4142135);
        for (auto* f : {&mid_[0], &mid_[1]}) *f = RefBiquad::lowPass(2000, fs, 1.4142135);
        for (auto* f : {&high_[0], &high_[1]}) *f = RefBiquad::highPass(2000, fs, 1.4142135);
    }

    // One sample up to the band compressors; the static ducker and the output come after.
    struct Frame {
        double bed, fade, staticSample, low, mid, high;
    };

    Frame front(double x) {
        Frame fr{};
        fr.bed = bed_.empty() ? 0.0 : bed_[bedPos_++ % bed_.size()];
        fr.fade = fade_;
        fade_ = std::min(fade_ + 1.0 / 256, 1.0);
        fr.staticSample = static_.empty() || staticGain_ == 0 ? 0.0 : static_[staticPos_++ % static_.size()] * staticGain_;

        const double h = tuning_.tick(x);
        double u = x + (h - x) * 0.65 * k1_;
        sum_ += u * u;
        if (++count_ >= static_cast<long>(0.05 * fs_)) {
            const double rms = std::sqrt(sum_ / static_cast<double>(count_));
            sum_ = 0;
            count_ = 0;
            const double target = rms > 0.0001 ? std::min(0.3 / rms, 4.0) : gain_;
            const double k = radio_test::coefficient(target < gain_ ? 0.5 : 2.0, fs_);
            gain_ = gain_ * k + (1 - k) * target;
        }
        u *= gain_;
        const double rest = split_[1].tick(split_[0].tick(u));
        fr.low = compress(low_[1].tick(low_[0].tick(u)), env_[0], 0.018, -6, 2, 0.83);
        fr.mid = compress(mid_[1].tick(mid_[0].tick(rest)), env_[1], 0.008, -6.9, 3, 1.21);
        fr.high = compress(high_[1].tick(high_[0].tick(rest)), env_[2], 0.002, -8, 4, 1.58);
        return fr;
    }

    double back(const Frame& fr, double duck) const {
        const double v = (fr.low + fr.mid + 0.5 * std::tanh(2 * fr.high)) * std::pow(10.0, 1.3 / 20) * 1.08;
        double clipped = v;
        if (std::abs(v) > 0.92) {
            const double t = std::min((std::abs(v) - 0.92) / 0.08, 1.0);
            clipped = std::copysign(0.92 + 0.08 * (t - t * t * t / 3), v);
        }
        return fr.staticSample + duck * (fr.bed * fr.fade * 0.15 * k2_ + clipped / 1.08);
    }

    double process(double x) {
        const Frame fr = front(x);
        return back(fr, radio_test::refDuck(duckEnvelope_, std::abs(fr.staticSample), fs_));
    }

    double gain() const { return gain_; }
    void startStaticAt(std::size_t position) { staticPos_ = position; }

private:
    double compress(double band, double& v, double attack, double threshold, double ratio, double makeup) const {
        const double k = std::abs(band) > v ? radio_test::coefficient(attack, fs_) : radio_test::coefficient(0.5, fs_);
        v = v * k + (1 - k) * std::abs(band);
        const double d = 20 * std::log10(std::max(v, 1e-6));
        const double db = d > threshold ? (d - threshold) / ratio + threshold - d + makeup : makeup;
        return band * std::pow(10.0, db / 20);
    }

    double fs_, k1_, k2_;
    std::vector<float> bed_, static_;
    double staticGain_ = 0, fade_ = 1, duckEnvelope_ = 0, gain_ = 1, sum_ = 0;
    long count_ = 0;
    std::size_t bedPos_ = 0, staticPos_ = 0;
    RefBiquad tuning_, low_[2], split_[2], mid_[2], high_[2];
    double env_[3] = {0, 0, 0};
};

struct ReferenceCase {
    float knob1, knob2, knob3;
    std::size_t bed;
    int staticBed;  // -1: none
    float amplitude;  // loud enough to drive the band compressors and the clipper
};

// The whole chain against the reference: tuning colour, gain control, crossover, band
// compressors, clipper, the bed the knob picks with its fade, and static with its ducker.
TEST(RadioFMTest, MonoChainMatchesADoublePrecisionReference) {
    const ReferenceCase cases[] = {
        {0, 60, 0, 0, -1, 0.5f}, {100, 30, 50, 21, 4, 2.0f}, {37, 100, 100, 8, 8, 1.2f}, {55, 80, 13, 12, 1, 3.0f}};
    for (const auto& c : cases) {
        const auto input = radio_test::programme(44100, 3, c.amplitude);
        RadioStates st;
        publishNoiseBeds(st);
        FMReference ref(kFs, c.knob1, c.knob2, c.knob3, radioBedSamples(c.bed),
                        c.staticBed < 0 ? std::vector<float>{} : staticBedSamples(static_cast<std::size_t>(c.staticBed)),
                        c.bed != 0);
        auto out = input;
        for (std::size_t start = 0; start < out.size(); start += 512) {
            const auto n = static_cast<uint32_t>(std::min<std::size_t>(512, out.size() - start));
            processRadioMono(st.left, out.data() + start, n, false, kFs, c.knob1, c.knob3, c.knob2);
        }
        double worst = 0;
        for (std::size_t i = 0; i < out.size(); ++i) worst = std::max(worst, std::abs(out[i] - ref.process(input[i])));
        // Single-precision coefficients of the 200 Hz sections alone are off by about 1e-4.
        EXPECT_LT(worst, 1.5e-4 * std::max(1.0f, c.amplitude)) << "knobs " << c.knob1 << "/" << c.knob2 << "/" << c.knob3;
        EXPECT_NEAR(st.left.radioFMAGCGain, ref.gain(), 1e-6);
    }
}

// Two different channels: one static follower keyed by the louder static, and the middle band's
// side signal lifted in its 500 Hz - 3 kHz band and saturated.
TEST(RadioFMTest, StereoChainMatchesADoublePrecisionReference) {
    constexpr float knob1 = 60, knob2 = 50, knob3 = 77;  // bed 13, static 6 at -4 dB
    RadioStates st;
    publishNoiseBeds(st);
    FMReference left(kFs, knob1, knob2, knob3, radioBedSamples(13), staticBedSamples(6), true);
    FMReference right(kFs, knob1, knob2, knob3, radioBedSamples(13), staticBedSamples(6), true);
    auto sideHP = RefBiquad::highPass(500, kFs, 1.4142135), sideLP = RefBiquad::lowPass(3000, kFs, 1.4142135);
    double duckEnvelope = 0;
    // The channels' statics apart, so that the louder one must key the follower.
    st.right.staticPhase = 100;
    right.startStaticAt(100);

    const auto xl = radio_test::programme(30000, 7, 1.5f), xr = radio_test::noise(30000, 8, 0.8f);
    auto L = xl, R = xr;
    for (std::size_t start = 0; start < L.size(); start += 300)
        processRadioStereo(st.left, st.right, L.data() + start, R.data() + start, 300, false, kFs, knob1, knob3, knob2);
    double worst = 0;
    for (std::size_t i = 0; i < L.size(); ++i) {
        auto fl = left.front(xl[i]), fr = right.front(xr[i]);
        const double duck = radio_test::refDuck(duckEnvelope, std::max(std::abs(fl.staticSample), std::abs(fr.staticSample)), kFs);
        const double m = (fl.mid + fr.mid) / 2, side = (fl.mid - fr.mid) / 2;
        const double shaped = std::tanh(1.2 * (side + 0.3 * sideLP.tick(sideHP.tick(side)))) / 1.2;
        fl.mid = m + shaped;
        fr.mid = m - shaped;
        worst = std::max({worst, std::abs(L[i] - left.back(fl, duck)), std::abs(R[i] - right.back(fr, duck))});
    }
    EXPECT_LT(worst, 2e-4);
    EXPECT_EQ(st.left.radioStaticDuckerEnvelope, st.right.radioStaticDuckerEnvelope);
}

// With FREQUENCY at 0 the tuning mix is 0: whatever the tuning filter holds cannot reach the output.
TEST(RadioFMTest, KnobOneAtZeroPassesTheTuningUnchanged) {
    const auto input = radio_test::programme(4096, 5, 0.6f);
    auto run = [&](float knob1, float z1, float z2) {
        RenderState s;
        s.radioFMFilter_z1 = z1;
        s.radioFMFilter_z2 = z2;
        auto out = input;
        processRadioMono(s, out.data(), static_cast<uint32_t>(out.size()), false, kFs, knob1, 0, 0);
        return out;
    };
    EXPECT_EQ(run(0, 0, 0), run(0, 0.25f, -0.5f));
    EXPECT_NE(run(50, 0, 0), run(50, 0.25f, -0.5f));
}

// Silence in, no static, LEVEL 100: the output is the bed times its fade times 0.15.
TEST(RadioFMTest, FirstBedPlaysAtFullLevelAndLaterBedsFadeInFromTheOldPosition) {
    RadioStates st;
    for (std::size_t b = 0; b < 22; ++b) {
        std::vector<float> ramp(b == 0 ? 1000 : 70);
        for (std::size_t j = 0; j < ramp.size(); ++j) ramp[j] = static_cast<float>(j) / 1024.0f;
        st.publishRadioBed(b, radio_test::monoBed(ramp));
    }
    std::vector<float> first(300, 0.0f);
    processRadioMono(st.left, first.data(), 300, false, kFs, 0, 0, 100);
    for (std::size_t i = 0; i < first.size(); ++i) ASSERT_NEAR(first[i], 0.15 * i / 1024.0, 1e-7) << i;

    // FREQUENCY 50 picks bed 10; it starts silent at position 300 mod 70 = 20 and rises over 256 samples.
    std::vector<float> second(600, 0.0f);
    processRadioMono(st.left, second.data(), 300, false, kFs, 50, 0, 100);
    processRadioMono(st.left, second.data() + 300, 300, false, kFs, 50, 0, 100);
    EXPECT_EQ(st.left.radioPrevIdx, 10);
    for (std::size_t i = 0; i < second.size(); ++i) {
        const double fade = std::min(static_cast<double>(i) / 256.0, 1.0);
        ASSERT_NEAR(second[i], 0.15 * fade * static_cast<double>((20 + i) % 70) / 1024.0, 1e-7) << i;
    }
    EXPECT_EQ(second[0], 0.0f);
}

// Silence in, LEVEL 0: the output is the static bed alone; bed i holds the constant (i + 1) / 16.
TEST(RadioFMTest, StaticBedAndGainFollowTheKnobTable) {
    RadioStates st;
    for (std::size_t i = 0; i < 9; ++i)
        st.publishStaticBed(i, radio_test::monoBed(std::vector<float>(64, static_cast<float>(i + 1) / 16.0f)));
    struct Row {
        float knob3;
        int bed;
        double db;
    };
    // s = (k3 - 0.02) / 0.98 * 9; bed floor(s) at (s - floor(s)) * 36 - 36 dB.
    const Row rows[] = {{0, -1, 0},
                        {2, -1, 0},
                        {2.5f, 0, (0.005 / 0.98 * 9) * 36 - 36},
                        {12.9f, 1, (0.109 / 0.98 * 9 - 1) * 36 - 36},
                        {50, 4, (0.48 / 0.98 * 9 - 4) * 36 - 36},
                        {100, 8, 0}};
    for (const auto& row : rows) {
        std::vector<float> out(32, 0.0f);
        processRadioMono(st.left, out.data(), 32, false, kFs, 0, row.knob3, 0);
        const double expected = row.bed < 0 ? 0.0 : (row.bed + 1) / 16.0 * std::pow(10.0, row.db / 20);
        for (float y : out) ASSERT_NEAR(y, expected, 1e-5 * std::max(1.0, expected)) << row.knob3;
    }
}

TEST(RadioFMTest, GainControlLowersOnLoudInputHoldsOnSilenceAndNeverExceedsFour) {
    constexpr uint32_t kBlock = 441;  // five blocks per gain-control window of 2205 samples
    {
        RenderState s;
        auto loud = radio_test::programme(kBlock * 5 * 40, 9, 1.8f);
        float previous = s.radioFMAGCGain;
        for (std::size_t w = 0; w < 40; ++w) {
            for (int b = 0; b < 5; ++b)
                processRadioMono(s, loud.data() + (w * 5 + static_cast<std::size_t>(b)) * kBlock, kBlock, false, kFs, 0, 0, 0);
            ASSERT_LT(s.radioFMAGCGain, previous) << "window " << w;
            previous = s.radioFMAGCGain;
        }
        EXPECT_GT(previous, 0.3f);
    }
    {
        RenderState s;
        s.radioFMAGCGain = 0.7f;
        std::vector<float> silence(kFs, 0.0f);
        processRadioMono(s, silence.data(), static_cast<uint32_t>(silence.size()), false, kFs, 0, 0, 0);
        EXPECT_EQ(s.radioFMAGCGain, 0.7f);
    }
    for (float start : {3.999f, 4.0f}) {
        RenderState s;
        s.radioFMAGCGain = start;
        auto quiet = radio_test::noise(kBlock * 100, 11, 0.002f);
        for (std::size_t b = 0; b < 100; ++b) {
            processRadioMono(s, quiet.data() + b * kBlock, kBlock, false, kFs, 0, 0, 0);
            ASSERT_LE(s.radioFMAGCGain, 4.0f);
            ASSERT_GE(s.radioFMAGCGain, start);
        }
    }
}

// A count left over from a higher rate (a larger window) closes the window on the next sample
// instead of never reaching it.
TEST(RadioFMTest, GainControlWindowClosesWhenTheCountIsPastIt) {
    RenderState s;
    s.radioFMAGCRMSCount = 5000;
    s.radioFMAGCRMSSum = 5000 * 0.25f;
    float x = 0.5f;
    processRadioMono(s, &x, 1, false, kFs, 0, 0, 0);
    EXPECT_EQ(s.radioFMAGCRMSCount, 0);
    EXPECT_EQ(s.radioFMAGCRMSSum, 0.0f);
    EXPECT_LT(s.radioFMAGCGain, 1.0f);
}

TEST(RadioFMTest, StereoOfIdenticalChannelsEqualsMono) {
    RadioStates stereo, mono;
    publishNoiseBeds(stereo);
    publishNoiseBeds(mono);
    const auto x = radio_test::programme(20000, 13, 0.7f);
    auto L = x, R = x, M = x;
    for (std::size_t start = 0; start < x.size(); start += 1000) {
        const float knob1 = start < 10000 ? 20.0f : 80.0f;  // a bed change half-way
        processRadioStereo(stereo.left, stereo.right, L.data() + start, R.data() + start, 1000, false, kFs, knob1, 60, 70);
        processRadioMono(mono.left, M.data() + start, 1000, false, kFs, knob1, 60, 70);
    }
    EXPECT_EQ(L, R);
    EXPECT_EQ(L, M);
    EXPECT_EQ(stereo.left.radioFMSideHP_z1, 0.0f);
}

TEST(RadioFMTest, OutputIsIndependentOfBlockSplits) {
    const auto xl = radio_test::programme(6000, 17, 0.8f);
    const auto xr = radio_test::programme(6000, 18, 0.8f);
    auto render = [&](std::initializer_list<uint32_t> pattern) {
        RadioStates st;
        publishNoiseBeds(st);
        auto L = xl, R = xr;
        std::size_t start = 0;
        for (auto it = pattern.begin(); start < L.size(); it = std::next(it) == pattern.end() ? pattern.begin() : std::next(it)) {
            const auto n = static_cast<uint32_t>(std::min<std::size_t>(*it, L.size() - start));
            processRadioStereo(st.left, st.right, L.data() + start, R.data() + start, n, false, kFs, 45, 40, 35);
            start += n;
        }
        return std::pair{L, R};
    };
    const auto whole = render({6000});
    for (auto pattern : {std::initializer_list<uint32_t>{1}, {7}, {64}, {512, 3, 129}}) EXPECT_EQ(render(pattern), whole);
}

// However loud the input, the programme part stays under the clipper's ceiling of 0.97333 / 1.08.
TEST(RadioFMTest, ProgrammeNeverExceedsTheClipperCeiling) {
    RadioStates st;
    auto L = radio_test::programme(20000, 19, 20.0f), R = radio_test::programme(20000, 20, 20.0f);
    processRadioStereo(st.left, st.right, L.data(), R.data(), 20000, false, kFs, 70, 0, 0);
    for (std::size_t i = 0; i < L.size(); ++i) {
        ASSERT_LE(std::abs(L[i]), 0.97333f / 1.08f + 1e-5f) << i;
        ASSERT_LE(std::abs(R[i]), 0.97333f / 1.08f + 1e-5f) << i;
    }
}

// Samples that are not numbers, or too large for float arithmetic, may silence a block but never
// the blocks after it; knobs and rates outside their ranges do no harm.
TEST(RadioFMTest, HostileInputDoesNotStickInTheState) {
    RadioStates st;
    publishNoiseBeds(st);
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    std::vector<float> L = {nan, inf, -inf, 3e38f, -3e38f, 3e38f, 3e38f, 1, 2}, R = L;
    L.resize(512, 3e38f);
    R.resize(512, -3e38f);
    processRadioStereo(st.left, st.right, L.data(), R.data(), 512, false, kFs, 90, 50, 50);
    auto l = radio_test::programme(4096, 23, 0.5f), r = l;
    processRadioStereo(st.left, st.right, l.data(), r.data(), 4096, false, kFs, 90, 50, 50);
    for (std::size_t i = 0; i < l.size(); ++i) ASSERT_TRUE(std::isfinite(l[i]) && std::isfinite(r[i])) << i;

    for (float knob : {nan, -50.0f, 1e9f, -inf}) {
        auto x = radio_test::programme(256, 29, 0.5f);
        processRadioMono(st.left, x.data(), 256, false, kFs, knob, knob, knob);
        for (float y : x) ASSERT_TRUE(std::isfinite(y)) << knob;
    }
    for (float fs : {0.0f, -44100.0f, nan, inf, 1000.0f, 8000.0f}) {
        auto x = radio_test::programme(256, 31, 0.5f);
        const auto before = x;
        processRadioMono(st.left, x.data(), 256, false, fs, 100, 100, 100);
        for (float y : x) ASSERT_TRUE(std::isfinite(y)) << fs;
        if (!(fs > 0) || !std::isfinite(fs)) {
            EXPECT_EQ(x, before) << fs;
        }
    }
}

TEST(RadioFMTest, NoHeapAllocationWhileProcessing) {
    RadioStates st;
    publishNoiseBeds(st);
    auto L = radio_test::programme(4096, 37, 0.5f), R = L;
    tolvane::test::AllocationCounter counter;
    for (int block = 0; block < 32; ++block) {
        const float knob = static_cast<float>(block * 3);
        processRadioStereo(st.left, st.right, L.data(), R.data(), 128, false, kFs, knob, 100 - knob, knob);
        processRadioMono(st.left, L.data() + 128, 128, false, kFs, knob, knob, knob);
    }
    EXPECT_EQ(counter.allocations(), 0u);
}

}  // namespace
