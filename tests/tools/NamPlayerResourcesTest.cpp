// The generated LO-FI and FILLDRIVE models through the engine's loader and the effect's player.
#include "neural/NAMPlayer.h"
#include "neural/nam/dsp.h"
#include "neural/nam/get_dsp.h"
#include "tests/tools/ModelChecks.h"

#include <memory>
#include <stdexcept>

namespace tolvane::test {
namespace {

constexpr int32_t kBlock = 512;

std::string drivePath(int knob) { return (resourceDir() / ("tv-drive-" + std::to_string(knob) + ".nam")).string(); }
std::string bitPath(int knob) { return (resourceDir() / ("bit" + std::to_string(knob) + ".nam")).string(); }

std::vector<std::string> allNamPaths() {
    std::vector<std::string> paths;
    for (int knob : kProfileKnobs) paths.push_back(drivePath(knob));
    for (int knob : kBitKnobs) paths.push_back(bitPath(knob));
    return paths;
}

// The files use the convolutional architecture; until the engine registers it there is nothing
// to run them on.
bool convNetRegistered() {
    try {
        nam::get_dsp(std::filesystem::path(bitPath(75)));
        return true;
    } catch (const std::runtime_error& e) {
        if (std::string(e.what()).find("No config parser registered for architecture") != std::string::npos) return false;
        throw;
    }
}

class NamResources : public testing::Test {
protected:
    void SetUp() override {
        if (!convNetRegistered()) GTEST_SKIP() << "waits for the ConvNet architecture in the engine";
    }
};

// A fresh run through a loaded player, in the blocks the effect renders.
Processor playerFor(const std::string& path) {
    auto player = std::make_shared<NAMPlayer>();
    Error error;
    EXPECT_TRUE(player->loadModelAtPath(path, &error)) << error.description();
    return [player](const std::vector<double>& input) {
        player->resetWithSampleRate(44100.0, kBlock);
        std::vector<float> block(input.begin(), input.end());
        for (size_t start = 0; start < block.size(); start += kBlock) {
            const auto n = static_cast<int32_t>(std::min<size_t>(kBlock, block.size() - start));
            EXPECT_TRUE(player->processBuffer(block.data() + start, n));
        }
        return std::vector<double>(block.begin(), block.end());
    };
}

TEST_F(NamResources, ModelsLoadWithoutAWarningAndCarryTheirLoudness) {
    for (const std::string& path : allNamPaths()) {
        SCOPED_TRACE(path);
        testing::internal::CaptureStderr();
        std::unique_ptr<nam::DSP> model = nam::get_dsp(std::filesystem::path(path));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        ASSERT_TRUE(model);
        ASSERT_TRUE(model->HasLoudness());
        EXPECT_DOUBLE_EQ(model->GetLoudness(), readJson(path).at("metadata").at("loudness").get<double>());
    }
}

TEST_F(NamResources, ModelsPlayAsThePlainReadingOfTheirFilesScaledToTheTargetLoudness) {
    for (const std::string& path : allNamPaths()) {
        SCOPED_TRACE(path);
        const nlohmann::json file = readJson(path);
        const double gain = std::pow(10.0, (-18.0 - file.at("metadata").at("loudness").get<double>()) / 20.0);
        std::vector<double> in = pinkReference(8192);
        for (double& x : in) x *= 3.0;
        const std::vector<double> viaPlayer = playerFor(path)(in);
        const std::vector<double> viaReference = ReferenceConvNet(file)(in);
        double worst = 0.0;
        for (size_t i = 0; i < in.size(); ++i) worst = std::max(worst, std::abs(viaPlayer[i] - gain * viaReference[i]));
        EXPECT_LT(worst, 1e-4);
    }
}

TEST_F(NamResources, ModelsComeOutAtTheTargetLevel) {
    for (const std::string& path : allNamPaths()) {
        SCOPED_TRACE(path);
        checkNormalisedLevel(playerFor(path), 0.3);
    }
}

TEST_F(NamResources, DriveModelsDriveHarderAsTheProfileRises) {
    checkDriveCharacter([](int knob) { return playerFor(drivePath(knob)); });
}

TEST_F(NamResources, BitModelsQuantiseMoreCoarselyAsTheProfileRises) {
    checkBitCharacter([](int knob) { return playerFor(bitPath(knob)); });
}

}  // namespace
}  // namespace tolvane::test
