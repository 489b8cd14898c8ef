// What one instance of the effect holds once it is activated in a mode at a large block size: its
// models, sample beds and buffers, measured on the process heap around one unit at a time.

#include "tests/support/HeapInUse.h"
#include "tests/support/UnitHost.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using tolvane::test::UnitHost;

constexpr uint32_t kLargeBlock = 4096;
constexpr double kMegabyte = 1e6;

struct ModeSetting {
    const char* name;
    int mode;
    float amFm;
};

// The modes that run models: each loads a player per model file and channel.
TEST(InstanceMemory, AnInstanceActivatedInAModelModeHoldsAtMostEightMegabytes) {
    std::vector<float> left(kLargeBlock, 0.1f), right(kLargeBlock, -0.1f);
    const ModeSetting modes[] = {{"VINYL", 0, 0}, {"LO-FI", 1, 0}, {"FILLDRIVE", 2, 0}};
    for (const ModeSetting& m : modes) {
        SCOPED_TRACE(m.name);
        const std::size_t before = tolvane::test::heapInUse();
        {
            UnitHost host({.sampleRate = 48000, .maxFrames = kLargeBlock, .bundle = Bundle(TOLVANE_RESOURCE_DIR)});
            host.set(ParameterAddress::effectMode, static_cast<float>(m.mode));
            host.set(ParameterAddress::amFmMode, m.amFm);
            host.set(ParameterAddress::crackle, 100);  // every crackle bed of VINYL
            ASSERT_TRUE(host.allocate());
            host.finishQueuedLoads();
            ASSERT_EQ(host.render(left.data(), right.data(), kLargeBlock), noErr);
            const double added = static_cast<double>(tolvane::test::heapInUse() - before) / kMegabyte;
            EXPECT_LE(added, 8.0);
        }
    }
}

}  // namespace
