// The RADIO stage while its beds and responses come and go: direct calls racing a loader thread,
// and long runs through the render block with the real loaders and a bundle of generated files.

#include "effect/ParameterSpecs.h"
#include "effect/RenderState.h"
#include "effect/stages/Stages.h"
#include "tests/effect/stages/RadioTestSupport.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/EffectHost.h"
#include "tests/support/RenderSoak.h"
#include "tests/support/TestBundle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

namespace {

namespace addr = ParameterAddress;
using tolvane::test::EffectHost;
using tolvane::test::parameterEvent;

bool allFinite(const std::vector<float>& v, std::size_t n) {
    return std::all_of(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n), [](float x) { return std::isfinite(x); });
}

// A loader thread keeps replacing and emptying every RADIO slot of both states, and the impulse
// response history with rings of other lengths, while the render thread runs the stage. The
// stage must take each slot once per block: a second read could meet an object already retired
// and freed (the sanitizer build reports it) or a slot emptied mid-block.
TEST(RadioSlotSwapTest, StageReadsSlotsOncePerBlockWhileALoaderReplacesThem) {
    ResourcePublisher publisher;
    RenderState left, right;
    std::atomic<bool> stop{false};
    std::thread loader([&] {
        std::mt19937 rng(1);
        for (int round = 0; round < 2'000'000 && !stop.load(); ++round) {
            const std::size_t length = rng() % 300;
            const bool empty = rng() % 4 == 0;
            auto bed = empty || length == 0 ? nullptr : radio_test::monoBed(radio_test::noise(length, round, 0.5f));
            const std::size_t b = rng() % 22, i = rng() % 9, j = rng() % 9;
            publisher.publish(left.radioBuffers[b], bed);
            publisher.publish(right.radioBuffers[b], bed);
            publisher.publish(left.staticBuffers[i], bed);
            publisher.publish(right.staticBuffers[i], bed);
            publisher.publish(left.radioAMIRs[j], empty ? nullptr : radio_test::response(radio_test::noise(length, round, 0.2f)));
            if (round % 3 == 0)
                publisher.publish(left.radioAMIRHistory, empty ? nullptr : radio_test::response(std::vector<float>(length, 0.0f)));
            publisher.collect();
        }
    });
    auto L = radio_test::programme(512, 3, 0.5f), R = L;
    for (int block = 0; block < 4000; ++block) {
        const auto knob = static_cast<float>((block * 7) % 101);
        const auto n = static_cast<uint32_t>(1 + (block * 13) % 512);
        {
            RenderCallScope scope(publisher);
            processRadioStereo(left, right, L.data(), R.data(), n, block % 3 == 0, 44100, knob, 100 - knob, knob);
        }
        ASSERT_TRUE(allFinite(L, n) && allFinite(R, n)) << block;
        for (uint32_t k = 0; k < n; ++k) L[k] = R[k] = std::sin(static_cast<float>(block * 512 + k) * 0.03f) * 0.5f;
    }
    stop = true;
    loader.join();
    publisher.collectAll();
}

// A bundle holding every RADIO resource, written as WAV files: beds of several lengths (one in
// stereo) and responses of several lengths (one in stereo, so the loader averages it).
class RadioBundle : public tolvane::test::BundleFolder {
public:
    RadioBundle() {
        for (int b = 0; b < 22; ++b)
            writeNoise(b == 0 ? "tvradio" : "tvradio_" + std::to_string(b + 1), 1500 + 211 * b, b == 3 ? 2 : 1, 0.4f, b);
        for (int i = 0; i < 9; ++i) writeNoise("static" + std::to_string(i + 1), 900 + 97 * i, 1, 0.5f, 100 + i);
        const int filter[] = {0, 12, 25, 37, 50, 62, 75, 87, 100};
        for (int j = 0; j < 9; ++j)
            writeNoise("tvradio_" + std::to_string(filter[j]) + "-48k", 120 + 40 * j, j == 5 ? 2 : 1, 0.15f, 200 + j);
    }

private:
    void writeNoise(const std::string& name, int frames, uint32_t channels, float amplitude, int seed) {
        std::vector<std::vector<float>> data;
        for (uint32_t c = 0; c < channels; ++c)
            data.push_back(radio_test::noise(static_cast<std::size_t>(frames), static_cast<unsigned>(seed * 7 + c), amplitude));
        writeWav(name + ".wav", data, 48000);
    }
};

// The test renders far faster than real time, so a RADIO period would mostly pass while its load
// is still queued. This renders the block that switches to RADIO (queuing the load), then waits
// for the load between render calls, as real time would.
void awaitRadioResources(EffectHost& host, const AURenderEvent& events, std::vector<float>& L, uint32_t n) {
    ASSERT_EQ(host.render(L.data(), nullptr, n, &events), noErr);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!host.unit->isModelReady(5) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Two minutes of loud noise through the render block, switching in and out of RADIO (so the
// loaders load and drop its resources on their queue while blocks run), flipping AM and FM and
// moving every knob: every sample stays finite, no render call touches the heap, and RADIO
// blocks do sound once their resources are in.
TEST(RadioRenderTest, MinutesOfNoiseWithModesSwitchingStayFiniteWithoutAllocation) {
    RadioBundle files;
    EffectHost host({.sampleRate = 44100, .maxFrames = 1024, .bundle = files.bundle()});
    host.set(addr::effectMode, 5);
    ASSERT_TRUE(host.allocate());

    std::mt19937 rng(5);
    std::uniform_real_distribution<float> knob(0, 100), sample(-1, 1);
    const float modes[] = {5, 3, 5, 6, 5, 4, 5, 7};
    tolvane::test::RenderSoak soak(host);
    std::size_t frames = 0, soundingRadioBlocks = 0;
    float previousMode = 5;
    for (int block = 0; frames < 120 * 44100; ++block) {
        const auto n = static_cast<uint32_t>(1 + rng() % 1024);
        for (uint32_t i = 0; i < n; ++i) {
            soak.left[i] = sample(rng);
            soak.right[i] = sample(rng);
        }
        const float mode = modes[(frames / 66150) % std::size(modes)];  // a new mode every 1.5 s
        auto e3 = parameterEvent(addr::amFmMode, static_cast<float>((frames / 30870) % 2));
        auto e2 = parameterEvent(addr::crackle, knob(rng), AURenderEventType::parameter, &e3);
        auto e1 = parameterEvent(addr::wowFlutter, knob(rng), AURenderEventType::parameter, &e2);
        auto e0 = parameterEvent(addr::compressor, knob(rng), AURenderEventType::parameterRamp, &e1);
        auto events = parameterEvent(addr::effectMode, mode, AURenderEventType::parameter, &e0);
        const bool mono = block % 7 == 0;
        if (mode == 5 && previousMode != 5) awaitRadioResources(host, events, soak.left, n);
        previousMode = mode;
        ASSERT_EQ(soak.render(n, mono, &events), noErr);
        ASSERT_EQ(soak.nonFinite, 0u) << "block " << block;
        if (mode == 5 && std::any_of(soak.left.begin(), soak.left.begin() + n, [](float x) { return x != 0.0f; }))
            ++soundingRadioBlocks;
        frames += n;
    }
    EXPECT_EQ(soak.allocations + soak.frees, 0u);
    EXPECT_GT(soundingRadioBlocks, 2000u);
}

// Through the render block the stage keeps its exact relation between channels: a mono input on
// a stereo output gives two equal channels in FM, and AM gives equal channels from any input.
TEST(RadioRenderTest, ChannelsAgreeThroughTheRenderBlock) {
    RadioBundle files;
    for (float amFm : {0.0f, 1.0f}) {
        EffectHost host({.inputChannels = amFm == 0 ? 2u : 1u, .maxFrames = 512, .bundle = files.bundle()});
        host.set(addr::effectMode, 5);
        host.set(addr::amFmMode, amFm);
        host.set(addr::compressor, 40);
        host.set(addr::crackle, 60);
        host.set(addr::wowFlutter, 80);
        ASSERT_TRUE(host.allocate());
        auto [L, R] = host.process(radio_test::programme(20000, 7, 0.5f), radio_test::programme(20000, 8, 0.5f), 512);
        EXPECT_EQ(L, R) << amFm;
        EXPECT_GT(*std::max_element(L.begin(), L.end()), 0.01f) << amFm;
    }
}

}  // namespace
