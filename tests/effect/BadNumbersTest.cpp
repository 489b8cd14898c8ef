// One bad number must not poison what follows. In every mode, with the generated bundle: a NaN,
// an infinite or a float-range sample in the input, or a filter, envelope or phase state gone
// non-finite, gives finite output that is back at its normal level within a second. Beds and
// impulse responses play their non-finite samples as silence; models whose huge weights overflow
// give finite output, and a drive model that overflowed once plays again after its reset.

#include "tests/support/EffectHost.h"
#include "tests/support/TestBundle.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using tolvane::test::BundleFolder;
using tolvane::test::EffectHost;
using tolvane::test::FullTestBundle;
using tolvane::test::forEachBlock;
using tolvane::test::linearModel;
using tolvane::test::VinylModelFile;
using Unit = Kessrin_VinylExtensionAudioUnit;
namespace addr = ParameterAddress;

constexpr double kRate = 48000;
constexpr uint32_t kBlock = 256;
constexpr std::size_t kHitFrame = 9637;                 // 0.2 s in, inside a block
constexpr std::size_t kNormalFrom = kHitFrame + 48000;  // one second later
constexpr std::size_t kFrames = kNormalFrom + 9600;     // and 0.2 s of that
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct Stereo {
    std::vector<float> left, right;
};

// Noise, different on the two channels. White, so that its level through a modulated mode does
// not depend on where a sweep happens to be.
Stereo programme(std::size_t frames) {
    return {tolvane::test::noise(frames, 1, 0.4f), tolvane::test::noise(frames, 2, 0.4f)};
}

double levelDb(const std::vector<float>& x, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += static_cast<double>(x[i]) * x[i];
    return 10 * std::log10(sum / static_cast<double>(to - from) + 1e-30);
}

struct Setting {
    int mode;
    float knob1, knob2, knob3, amFm;
};

// A unit at 48 kHz with the hiss on, set to `k` and allocated with the resources of `bundle`.
EffectHost hostFor(const Bundle& bundle, const Setting& k) {
    EffectHost host({.sampleRate = kRate, .maxFrames = kBlock, .bundle = bundle});
    host.set(addr::effectMode, static_cast<float>(k.mode));
    host.set(addr::compressor, k.knob1);
    host.set(addr::crackle, k.knob2);
    host.set(addr::wowFlutter, k.knob3);
    host.set(addr::amFmMode, k.amFm);
    host.set(addr::hissOn, 1);
    EXPECT_TRUE(host.allocate());
    host.finishQueuedLoads();
    return host;
}

std::size_t nonFinite(const Stereo& s) {
    std::size_t count = 0;
    for (const auto* channel : {&s.left, &s.right})
        for (float x : *channel) count += !std::isfinite(x);
    return count;
}

// A mode at a busy setting (every part of its chain at work), and where its states can break.
struct ModeSetting {
    const char* name;
    Setting setting;
    void (*breakStates)(Unit&);
};

const ModeSetting kModes[] = {
    {"Vinyl", {0, 100, 37.5f, 100, 0},
     [](Unit& u) {
         u.renderState->hpf1_z1 = kNaN;
         u.vinylRightState->compGainDB = kInf;
     }},
    {"LoFi", {1, 50, 90, 60, 0},
     [](Unit& u) {
         u.loFiRightState->lofiLP1z2 = kNaN;
         u.renderState->lofiGateEnv = kInf;
     }},
    {"FillDrive", {2, 60, 50, 37, 0},
     [](Unit& u) {
         u.renderState->filtResPK_z1 = kNaN;
         u.filterRightState->filtLPGentleZ1 = -kInf;
     }},
    {"Isolator", {3, 70, 70, 70, 0},
     [](Unit& u) {
         u.renderState->isoLowCutA_z1 = kNaN;
         u.isolatorRightState->isoMidBoostB_z2 = kInf;
     }},
    {"Pitch", {4, 75, 60, 50, 0},
     [](Unit& u) {
         u.renderState->pitchLPF_z1 = kNaN;
         u.pitchRightState->pitchDelayBuf[100] = kNaN;  // reaches the low-pass through the feedback
     }},
    {"RadioFM", {5, 50, 60, 60, 1},
     [](Unit& u) {
         u.renderState->radioFMAGCGain = kNaN;
         u.radioRightState->radioFMHighEnv = kInf;
     }},
    {"RadioAM", {5, 50, 44, 60, 0},
     [](Unit& u) {
         u.renderState->radioAMHeldSample = kNaN;
         u.renderState->radioStaticEQ_z2 = kInf;
     }},
    {"Chorus", {6, 60, 60, 60, 0}, [](Unit& u) { u.renderState->chorusIIILFOPhase = kNaN; }},
    {"Flanger", {7, 60, 50, 60, 0}, [](Unit& u) { u.renderState->flangerLFOPhase = kInf; }},
};

void PrintTo(const ModeSetting& m, std::ostream* os) { *os << m.name; }

enum class Trouble { NaNSample, InfiniteSample, HugeSample, BrokenStates };
const char* const kTroubleNames[] = {"NaNSample", "InfiniteSample", "HugeSample", "BrokenStates"};

void PrintTo(Trouble t, std::ostream* os) { *os << kTroubleNames[static_cast<int>(t)]; }

// Plays the programme through a unit set to `m`, with the trouble at kHitFrame. The states of
// the output low-pass break together with the stage's.
Stereo play(const ModeSetting& m, std::optional<Trouble> trouble) {
    EffectHost host = hostFor(Bundle(TOLVANE_RESOURCE_DIR), m.setting);
    Stereo s = programme(kFrames);
    if (trouble == Trouble::NaNSample) s.left[kHitFrame] = kNaN;
    if (trouble == Trouble::InfiniteSample) s.right[kHitFrame] = -kInf;
    if (trouble == Trouble::HugeSample) s.left[kHitFrame] = 3.4e38f;
    forEachBlock(kFrames, kBlock, [&](std::size_t at, uint32_t n) {
        if (trouble == Trouble::BrokenStates && at <= kHitFrame && kHitFrame < at + n) {
            m.breakStates(*host.unit);
            host.unit->renderState->hfRolloffR_z2 = kNaN;
        }
        EXPECT_EQ(host.render(s.left.data() + at, s.right.data() + at, n), noErr);
    });
    return s;
}

const Stereo& untroubled(const ModeSetting& m) {
    static std::map<std::string, Stereo> played;
    auto it = played.find(m.name);
    if (it == played.end()) it = played.emplace(m.name, play(m, std::nullopt)).first;
    return it->second;
}

class BadNumberTest : public ::testing::TestWithParam<std::tuple<ModeSetting, Trouble>> {};

TEST_P(BadNumberTest, OutputStaysFiniteAndIsBackToNormalWithinASecond) {
    const auto& [m, trouble] = GetParam();
    const Stereo& reference = untroubled(m);
    const Stereo out = play(m, trouble);
    ASSERT_EQ(nonFinite(out), 0u);

    for (const auto& [got, want] : {std::pair{&out.left, &reference.left}, std::pair{&out.right, &reference.right}}) {
        const double normal = levelDb(*want, kNormalFrom, kFrames);
        ASSERT_GT(normal, -40.0);  // the mode really plays
        EXPECT_NEAR(levelDb(*got, kNormalFrom, kFrames), normal, 1.0);
    }
}

std::string caseName(const ::testing::TestParamInfo<BadNumberTest::ParamType>& info) {
    return std::string(std::get<0>(info.param).name) + "_" + kTroubleNames[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(EveryMode, BadNumberTest,
                         ::testing::Combine(::testing::ValuesIn(kModes),
                                            ::testing::Values(Trouble::NaNSample, Trouble::InfiniteSample,
                                                              Trouble::HugeSample, Trouble::BrokenStates)),
                         caseName);

// ---- Resources that hold bad numbers ---------------------------------------------------------

// Plays the programme through a unit that reads `bundle`, a quarter second or as long as `level`
// (a gain per frame); a player reset a block asks for runs before the next block.
Stereo playBundle(const Bundle& bundle, const Setting& k, const std::vector<float>& level = {}) {
    EffectHost host = hostFor(bundle, k);
    const std::size_t frames = level.empty() ? 12000 : level.size();
    Stereo s = programme(frames);
    for (std::size_t i = 0; i < level.size(); ++i) s.left[i] *= level[i], s.right[i] *= level[i];
    forEachBlock(frames, kBlock, [&](std::size_t at, uint32_t n) {
        EXPECT_EQ(host.render(s.left.data() + at, s.right.data() + at, n), noErr);
        host.finishQueuedLoads();
    });
    EXPECT_EQ(nonFinite(s), 0u) << "mode " << k.mode;
    return s;
}

std::size_t firstDifference(const std::vector<float>& a, const std::vector<float>& b) {
    std::size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return i;
}

// Every bed and impulse response of the test bundle, written once with a few non-finite samples
// (and an impulse-response tap whose channel mean overflows) and once with 0 in their place.
void writeResources(const BundleFolder& folder, bool bad) {
    const auto bed = [bad](unsigned seed, std::size_t length, float badValue) {
        std::vector<float> v = tolvane::test::noise(length, seed, 0.2f);
        v[length / 3] = bad ? badValue : 0.0f;
        v[length / 2] = bad ? kNaN : 0.0f;
        return v;
    };
    for (int k : {25, 50, 75, 100}) folder.writeWav("crackle" + std::to_string(k) + ".wav", {bed(k, 700, kInf)});
    folder.writeWav("hiss.wav", {bed(5, 900, -kInf)});
    folder.writeWav("tvradio.wav", {bed(6, 800, kInf)});
    for (int k = 2; k <= 22; ++k) folder.writeWav("tvradio_" + std::to_string(k) + ".wav", {bed(k + 10, 800, kInf)});
    for (int k = 1; k <= 9; ++k) folder.writeWav("static" + std::to_string(k) + ".wav", {bed(k + 40, 600, kInf)});
    const std::vector<std::vector<float>> response =
        bad ? std::vector<std::vector<float>>{{1.0f, kNaN, 3e38f}, {0.5f, 0.5f, 3e38f}}
            : std::vector<std::vector<float>>{{1.0f, 0.0f, 0.0f}, {0.5f, 0.5f, 0.0f}};
    for (int k : {0, 12, 25, 37, 50, 62, 75, 87, 100})
        folder.writeWav("tvradio_" + std::to_string(k) + "-48k.wav", response, 48000);
}

// A bad sample in a bed or impulse response plays as silence: exactly as a 0 in its place.
TEST(BadResourceTest, BedsAndImpulseResponsesPlayTheirNonFiniteSamplesAsSilence) {
    FullTestBundle bad, clean;
    writeResources(bad, true);
    writeResources(clean, false);
    const std::pair<const char*, Setting> settings[] = {{"VINYL: crackle and hiss", {0, 100, 60, 0, 0}},
                                                        {"RADIO FM: bed, static and hiss", {5, 30, 60, 60, 1}},
                                                        {"RADIO AM: impulse responses, static, hiss", {5, 30, 30, 60, 0}}};
    for (const auto& [what, setting] : settings) {
        const Stereo got = playBundle(bad.bundle(), setting);
        const Stereo want = playBundle(clean.bundle(), setting);
        EXPECT_GT(levelDb(want.left, 4096, want.left.size()), -40.0) << what;
        EXPECT_EQ(firstDifference(got.left, want.left), got.left.size()) << what;
        EXPECT_EQ(firstDifference(got.right, want.right), got.right.size()) << what;
    }
}

TEST(BadResourceTest, HugeModelWeightsGiveFiniteOutputAndAnOverflowedDriveModelPlaysAgain) {
    BundleFolder folder;
    VinylModelFile vinyl;
    for (auto& row : vinyl.inputWeights) row[0] = 1e38f;                 // every gate saturates at once
    for (auto& row : vinyl.denseWeights) row.assign(row.size(), 2e37f);  // and 40 of these overflow
    for (int k : {0, 12, 25, 37, 50, 62, 75, 87, 100}) {
        folder.write("tv-vinyl-" + std::to_string(k) + ".json", vinyl.toJson().dump());
        folder.write("tv-drive-" + std::to_string(k) + ".nam", linearModel({1e38f}).dump());
    }
    for (int k : {0, 12, 25, 37, 50, 67, 75}) folder.write("bit" + std::to_string(k) + ".nam", linearModel({3e38f, -3e38f}).dump());

    playBundle(folder.bundle(), {0, 30, 0, 50, 0});   // VINYL: two models blended
    playBundle(folder.bundle(), {1, 50, 20, 80, 0});  // LO-FI: two models blended

    // FILLDRIVE at DRIVE 50: the model plays 1e38 times its input, finite up to 3.4. A loud
    // passage overflows it; once the model-load queue has reset it, it plays again.
    std::vector<float> level(36000, 0.1f);
    std::fill(level.begin() + 12000, level.begin() + 12512, 40.0f);
    const Stereo out = playBundle(folder.bundle(), {2, 50, 0, 50, 0}, level);
    EXPECT_GT(levelDb(out.left, 30000, 36000), 300.0);  // 1e38 times a quiet programme, so still the model
}

}  // namespace
