// The generated VINYL models through the effect's own player.
#include "neural/RTNeuralPlayer.h"
#include "tests/tools/ModelChecks.h"

#include <memory>

namespace tolvane::test {
namespace {

std::string vinylPath(int knob) { return (resourceDir() / ("tv-vinyl-" + std::to_string(knob) + ".json")).string(); }

std::shared_ptr<RTNeuralPlayer> loadedPlayer(int knob) {
    auto player = std::make_shared<RTNeuralPlayer>();
    Error error;
    EXPECT_TRUE(player->loadModelAtPath(vinylPath(knob), &error)) << error.description();
    return player;
}

// Runs the player on float blocks of the size the effect renders.
Processor playerProcessor(int knob) {
    std::shared_ptr<RTNeuralPlayer> player = loadedPlayer(knob);
    return [player](const std::vector<double>& input) {
        player->reset();
        std::vector<float> block(input.begin(), input.end());
        for (size_t start = 0; start < block.size(); start += 512) {
            player->processBuffer(block.data() + start, static_cast<int32_t>(std::min<size_t>(512, block.size() - start)));
        }
        return std::vector<double>(block.begin(), block.end());
    };
}

TEST(VinylModelsInThePlayer, LoadAndMatchThePlainReadingOfTheirFiles) {
    for (int knob : kProfileKnobs) {
        SCOPED_TRACE(knob);
        std::vector<double> in = pinkReference(4096);
        for (double& x : in) x *= 2.5;  // the +8 dB the stage puts in front of the models
        const std::vector<double> viaPlayer = playerProcessor(knob)(in);
        const std::vector<double> viaReference = ReferenceVinyl(readJson(vinylPath(knob)))(in);
        double worst = 0.0;
        for (size_t i = 0; i < in.size(); ++i) worst = std::max(worst, std::abs(viaPlayer[i] - viaReference[i]));
        EXPECT_LT(worst, 1e-4);
    }
}

TEST(VinylModelsInThePlayer, WarmAndSaturateMoreAsTheProfileRises) { checkVinylCharacter(playerProcessor); }

}  // namespace
}  // namespace tolvane::test
