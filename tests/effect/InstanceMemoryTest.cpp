// What the model players of one instance hold once it is activated at a large block size: the
// same unit allocated with the generated bundle and with that bundle less its model files,
// measured on the process heap.

#include "tests/support/HeapInUse.h"
#include "tests/support/TempFolder.h"
#include "tests/support/UnitHost.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

namespace {

using tolvane::test::UnitHost;

constexpr uint32_t kLargeBlock = 4096;
constexpr double kMegabyte = 1e6;

// Heap an activated unit holds (every mode's resources are loaded at allocation) after one block.
double megabytesHeldBy(const Bundle& bundle) {
    std::vector<float> left(kLargeBlock, 0.1f), right(kLargeBlock, -0.1f);
    const std::size_t before = tolvane::test::heapInUse();
    UnitHost host({.sampleRate = 48000, .maxFrames = kLargeBlock, .bundle = bundle});
    host.set(ParameterAddress::effectMode, 2);
    if (!host.allocate()) ADD_FAILURE() << "allocation failed";
    host.finishQueuedLoads();
    EXPECT_EQ(host.render(left.data(), right.data(), kLargeBlock), noErr);
    return static_cast<double>(tolvane::test::heapInUse() - before) / kMegabyte;
}

// 50 players (9 VINYL and 16 `.nam` models per channel); their memory does not grow with the
// host's block size.
TEST(InstanceMemory, TheModelPlayersOfAnInstanceHoldAtMostThreeMegabytes) {
    const tolvane::test::TempFolder withoutModels;
    for (const auto& entry : std::filesystem::directory_iterator(TOLVANE_RESOURCE_DIR)) {
        const auto extension = entry.path().extension();
        if (extension != ".nam" && extension != ".json")
            std::filesystem::create_symlink(entry.path(), withoutModels.path() / entry.path().filename());
    }
    const double all = megabytesHeldBy(Bundle(TOLVANE_RESOURCE_DIR));
    const double models = all - megabytesHeldBy(Bundle(withoutModels.path()));
    EXPECT_LE(models, 3.0) << "the whole instance holds " << all << " MB";
}

}  // namespace
