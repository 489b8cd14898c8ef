#include "effect/RenderState.h"
#include "effect/stages/Stages.h"
#include "platform/avfaudio/AVAudioFile.h"
#include "platform/foundation/Bundle.h"
#include "tests/support/EffectHost.h"
#include "tests/support/RenderSoak.h"

#include "VinylTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace vinyltest;
using tolvane::test::EffectHost;
using tolvane::test::parameterEvent;
namespace addr = ParameterAddress;

const std::filesystem::path kResources = TOLVANE_RESOURCE_DIR;
const char* const kProfiles[] = {"0", "12", "25", "37", "50", "62", "75", "87", "100"};
const char* const kBeds[] = {"crackle25", "crackle50", "crackle75", "crackle100"};

// The bundle's own vinyl models, one player per file and state, as the loader makes them.
void publishBundleModels(ResourcePublisher& publisher, RenderState& s) {
    for (std::size_t i = 0; i < 9; ++i) {
        auto player = std::make_shared<RTNeuralPlayer>();
        const auto file = kResources / ("tv-vinyl-" + std::string(kProfiles[i]) + ".json");
        Error error;
        ASSERT_TRUE(player->loadModelAtPath(file.string(), &error)) << error.description();
        publisher.publish(s.vinylPlayers[i], std::move(player));
    }
}

void publishBundleBeds(ResourcePublisher& publisher, RenderState& s) {
    for (std::size_t i = 0; i < 4; ++i) {
        auto file = openAudioFileForReading((kResources / (std::string(kBeds[i]) + ".wav")).string(), nullptr);
        ASSERT_TRUE(file);
        auto buffer = AVAudioPCMBuffer::initWithPCMFormat(file->processingFormat(), static_cast<uint32_t>(file->length()));
        ASSERT_TRUE(file->readIntoBuffer(*buffer, nullptr));
        publisher.publish(s.crackleBuffers[i], std::move(buffer));
    }
}

// Every float the stage keeps from block to block.
std::vector<float> floatState(const RenderState& s) {
    std::vector<float> v = {s.compGainDB, s.compAutoLevelDB, s.currentDelay, s.hpf1_z1, s.hpf1_z2,
                            s.hpf2_z1,    s.hpf2_z2,         s.eqZ1,         s.eqZ2};
    v.insert(v.end(), s.lookaheadBuf.begin(), s.lookaheadBuf.end());
    v.insert(v.end(), s.delayLine.buffer.begin(), s.delayLine.buffer.end());
    return v;
}

void expectClean(const std::vector<float>& values, const char* what) {
    std::size_t bad = 0;
    for (float v : values) bad += !std::isfinite(v) || isSubnormal(v);
    EXPECT_EQ(bad, 0u) << what;
}

// Five seconds of programme with the knobs moving, then silence with the models, then silence
// without them, where every filter and smoother decays towards zero.
TEST(VinylLongRunTest, RealModelsStayFiniteAndFreeOfDenormals) {
    ResourcePublisher publisher;
    RenderState left, right;
    prepare(left, 512);
    prepare(right, 512);
    publishBundleModels(publisher, left);
    publishBundleModels(publisher, right);
    publishBundleBeds(publisher, left);

    const float fs = 48000;
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> knob(0, 100);
    std::vector<float> l(512), r(512);
    std::size_t badOutput = 0;
    double phase = 0;
    const int programmeBlocks = 470, silentBlocks = 235;
    for (int block = 0; block < programmeBlocks + 2 * silentBlocks; ++block) {
        const bool loud = block < programmeBlocks;
        if (block == programmeBlocks + silentBlocks) {
            for (std::size_t i = 0; i < 9; ++i) {
                publisher.publish(left.vinylPlayers[i], {});
                publisher.publish(right.vinylPlayers[i], {});
            }
        }
        for (std::size_t i = 0; i < l.size(); ++i, phase += 2 * 3.14159265358979 * 220 / fs) {
            l[i] = loud ? 0.8f * static_cast<float>(std::sin(phase)) : 0.0f;
            r[i] = loud ? 0.5f * static_cast<float>(std::sin(1.5 * phase)) : 0.0f;
        }
        const float k1 = block % 8 == 0 ? 0.0f : knob(rng), k3 = knob(rng), k2 = loud ? knob(rng) : 0.0f;
        processVinylStereo(left, right, l.data(), r.data(), 512, kKnobValues, fs, 512, k1, k3, k2);
        for (std::size_t i = 0; i < l.size(); ++i)
            badOutput += !std::isfinite(l[i]) || !std::isfinite(r[i]) || isSubnormal(l[i]) || isSubnormal(r[i]);
    }
    EXPECT_EQ(badOutput, 0u);
    expectClean(floatState(left), "left state");
    expectClean(floatState(right), "right state");
}

// Through the render block in VINYL with the bundle's models and beds: the mode sounds, and no
// block allocates, whatever the knobs, block lengths and channel layout.
TEST(VinylRenderTest, SoundsAndNeverAllocates) {
    EffectHost host({.sampleRate = 48000, .maxFrames = 1024, .bundle = Bundle(kResources)});
    host.set(addr::effectMode, 0);
    host.set(addr::crackle, 40);  // the beds then load with the render resources
    ASSERT_TRUE(host.allocate());
    ASSERT_TRUE(host.unit->isModelReady(0));
    ASSERT_NE(host.unit->renderState->crackleBuffers[0].get(), nullptr);

    {  // a steady tone after the start fade-in comes out at a similar level
        const std::size_t frames = 24000;
        const auto steady = tolvane::test::tone(frames, 0.3f, 0.0589f);
        auto [L, R] = host.process(steady, steady, 512);
        double energy = 0;
        for (std::size_t i = frames / 2; i < frames; ++i) energy += L[i] * L[i];
        const double rms = std::sqrt(energy / static_cast<double>(frames / 2));
        EXPECT_GT(rms, 0.3 * 0.707 * 0.25);
        EXPECT_LT(rms, 0.3 * 0.707 * 4);
    }

    std::mt19937 rng(3);
    std::uniform_real_distribution<float> knob(0, 100);
    tolvane::test::RenderSoak soak(host);
    for (int block = 0; block < 1000; ++block) {
        soak.fillTone(block, 0.5f, 0.013f);
        auto e2 = parameterEvent(addr::crackle, block % 9 == 0 ? 0.0f : knob(rng));
        auto e1 = parameterEvent(addr::wowFlutter, knob(rng), AURenderEventType::parameterRamp, &e2);
        auto e0 = parameterEvent(addr::compressor, block % 11 == 0 ? 0.0f : knob(rng), AURenderEventType::parameter, &e1);
        ASSERT_EQ(soak.render(block % 97 == 0 ? 1024 : 1 + (block * 37) % 512, block % 5 == 0, &e0), noErr);
    }
    EXPECT_EQ(soak.allocations + soak.frees, 0u);
    EXPECT_EQ(soak.nonFinite, 0u);
}

}  // namespace
