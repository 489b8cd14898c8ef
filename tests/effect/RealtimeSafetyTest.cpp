// The render thread's side of the whole effect, in every mode with the generated bundle loaded:
// through mode changes, knob moves, odd block sizes, mono blocks and the unloading of RADIO's
// beds, no render call allocates, frees or takes a lock that can block; and from signal into
// silence no render call lets a subnormal number out or leaves the caller's floating-point mode
// changed.

#include "tests/support/EffectHost.h"
#include "tests/support/RenderThreadAudit.h"

#include <gtest/gtest.h>

#include <pthread.h>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using tolvane::test::EffectHost;
using tolvane::test::parameterEvent;
using tolvane::test::RenderThreadAudit;
namespace addr = ParameterAddress;

struct Tally {
    std::size_t allocations = 0, frees = 0, locks = 0;
    void add(const RenderThreadAudit& audit) {
        allocations += audit.allocations();
        frees += audit.frees();
        locks += audit.blockingLocks();
    }
};

// One stop of the tour: a mode (RADIO twice, FM and AM) and what it must show once loaded.
struct Stop {
    const char* name;
    int mode;
    float amFm;
    bool loadsResources;
};

constexpr Stop kTour[] = {
    {"VINYL", 0, 0, true},     {"LO-FI", 1, 0, true},   {"FILLDRIVE", 2, 0, true}, {"ISOLATOR", 3, 0, false},
    {"PITCH", 4, 0, false},    {"RADIO FM", 5, 1, true}, {"CHORUS", 6, 0, false},  {"RADIO AM", 5, 0, true},
    {"FLANGER", 7, 0, false},  {"VINYL", 0, 0, true},    {"RADIO FM", 5, 1, true}, {"FILLDRIVE", 2, 0, true},
};

class RealtimeSafetyTest : public ::testing::Test {
protected:
    static constexpr uint32_t kMaxFrames = 1024;

    EffectHost host{{.sampleRate = 48000, .maxFrames = kMaxFrames, .bundle = Bundle(TOLVANE_RESOURCE_DIR)}};
    std::vector<float> left = std::vector<float>(kMaxFrames), right = std::vector<float>(kMaxFrames);
    std::mt19937 rng{2024};
    uint64_t clock = 0;
    Tally tally;

    // Fills the buffers with a tone and a little noise (the same on entry for every mode).
    void fill(uint32_t n) {
        std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
        for (uint32_t i = 0; i < n; ++i, ++clock) {
            const float t = static_cast<float>(clock % 48000) / 48000.0f;
            left[i] = 0.4f * std::sin(6.2831853f * 220.0f * t) + noise(rng);
            right[i] = 0.4f * std::sin(6.2831853f * 330.0f * t) + noise(rng);
        }
    }

    // One audited render call of n frames with the given events; mono when `mono`. Returns the
    // output energy of the left channel.
    double render(uint32_t n, const AURenderEvent* events, bool mono = false) {
        fill(n);
        AUAudioUnitStatus status;
        {
            RenderThreadAudit audit;
            status = host.render(left.data(), mono ? nullptr : right.data(), n, events);
            tally.add(audit);
        }
        EXPECT_EQ(status, noErr);
        double energy = 0;
        for (uint32_t i = 0; i < n; ++i) {
            EXPECT_TRUE(std::isfinite(left[i]) && (mono || std::isfinite(right[i]))) << "frame " << i;
            energy += static_cast<double>(left[i]) * left[i];
        }
        return energy;
    }

    // Renders about `frames` frames in blocks of random size, moving the three knobs now and then
    // through render events. Returns the output energy.
    double play(uint64_t frames, bool withMonoBlocks) {
        std::uniform_int_distribution<uint32_t> blockSize(1, kMaxFrames);
        std::uniform_real_distribution<float> knob(0, 100);
        double energy = 0;
        for (uint64_t done = 0, block = 0; done < frames; ++block) {
            const uint32_t n = block % 5 == 0 ? blockSize(rng) : 256;
            const auto e2 = parameterEvent(addr::wowFlutter, knob(rng));
            const auto e1 = parameterEvent(addr::crackle, knob(rng), AURenderEventType::parameterRamp, &e2);
            const auto e0 = parameterEvent(addr::compressor, knob(rng), AURenderEventType::parameter, &e1);
            energy += render(n, block % 7 == 3 ? &e0 : nullptr, withMonoBlocks && block % 11 == 5);
            done += n;
        }
        return energy;
    }
};

TEST_F(RealtimeSafetyTest, NoAllocationFreeOrBlockingLockInAnyModeThroughModeChanges) {
    host.set(addr::effectMode, 3);
    host.set(addr::hissOn, 1);
    ASSERT_TRUE(host.allocate());
    host.finishQueuedLoads();
    render(256, nullptr);

    for (const Stop& stop : kTour) {
        SCOPED_TRACE(stop.name);
        // The switch arrives as render events; the first blocks after it may still be silent
        // while the model-load queue works.
        const auto amFm = parameterEvent(addr::amFmMode, stop.amFm);
        const auto mode = parameterEvent(addr::effectMode, static_cast<float>(stop.mode), AURenderEventType::parameter, &amFm);
        render(256, &mode);
        render(64, nullptr);
        // Crackle up in VINYL queues its beds from the render thread as well.
        const auto crackle = parameterEvent(addr::crackle, 60);
        render(128, stop.mode == 0 ? &crackle : nullptr);
        host.finishQueuedLoads();  // waits outside the render call, as a host's UI would

        if (stop.loadsResources) {
            ASSERT_TRUE(host.unit->isModelReady(stop.mode));
        }
        const double energy = play(48000, true);
        EXPECT_GT(energy, 1.0) << "the mode should sound once its resources are in";

        // Reported per stop, so that a failure names the mode (and the switch into it).
        EXPECT_EQ(tally.allocations, 0u);
        EXPECT_EQ(tally.frees, 0u);
        EXPECT_EQ(tally.locks, 0u);
        tally = {};
    }
}

#if defined(__SSE__)
constexpr unsigned kFlushBits = 0x8040;    // flush-to-zero and denormals-are-zero
constexpr unsigned kControlBits = 0xffc0;  // the mode; below it are the sticky exception flags

unsigned controlMode() { return _mm_getcsr() & kControlBits; }

// Every mode, from signal into silence, with the caller's floating-point mode alternating between
// plain and flushing: no output sample is ever subnormal (decaying states would otherwise sink
// there and turn slow), and every render call hands the caller's mode back as it found it.
TEST(RenderFloatingPointTest, NoSubnormalOutputAfterSignalAndTheCallersModeComesBack) {
    const unsigned callerMode = controlMode() & ~kFlushBits;
    for (const Stop& stop : kTour) {
        SCOPED_TRACE(stop.name);
        EffectHost host({.sampleRate = 48000, .maxFrames = 256, .bundle = Bundle(TOLVANE_RESOURCE_DIR)});
        host.set(addr::effectMode, static_cast<float>(stop.mode));
        host.set(addr::amFmMode, stop.amFm);
        host.set(addr::crackle, 0);  // no crackle bed, so silence in gives silence out
        ASSERT_TRUE(host.allocate());
        host.finishQueuedLoads();
        std::vector<float> L(256), R(256);
        std::size_t subnormal = 0, modeChanged = 0;
        for (int block = 0; block < 48000 * 3 / 256; ++block) {
            // 0.5 s of a tone, 0.1 s of it 600 dB down (as near the smallest normal numbers as
            // float goes), then silence.
            const float level = block < 94 ? 0.5f : block < 113 ? 1e-30f : 0.0f;
            for (int i = 0; i < 256; ++i) L[i] = R[i] = level * std::sin(0.05f * static_cast<float>(block * 256 + i));
            const unsigned mode = block % 2 == 0 ? callerMode : callerMode | kFlushBits;
            _mm_setcsr(mode);
            const AUAudioUnitStatus status = host.render(L.data(), R.data(), 256);
            modeChanged += controlMode() != mode;
            _mm_setcsr(callerMode);
            ASSERT_EQ(status, noErr);
            for (int i = 0; i < 256; ++i)
                subnormal += std::fpclassify(L[i]) == FP_SUBNORMAL || std::fpclassify(R[i]) == FP_SUBNORMAL;
        }
        EXPECT_EQ(subnormal, 0u);
        EXPECT_EQ(modeChanged, 0u);
    }
}
#endif

// The audit itself: it sees what it is meant to catch on the calling thread.
TEST(RenderThreadAuditTest, SeesAllocationsFreesAndBlockingLocks) {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    RenderThreadAudit audit;
    void* volatile p = ::operator new(64);  // a call, not a new-expression, so it is never elided
    ::operator delete(p);
    pthread_mutex_lock(&mutex);
    pthread_mutex_unlock(&mutex);
    EXPECT_GE(audit.allocations(), 1u);
    EXPECT_GE(audit.frees(), 1u);
    EXPECT_EQ(audit.blockingLocks(), tolvane::test::kCountsBlockingLocks ? 1u : 0u);
}

}  // namespace
