// The generated model files, read independently of the engine: their format, and the character
// they promise, measured on plain double-precision evaluations of the stored weights.
#include "tests/tools/ModelChecks.h"

namespace tolvane::test {
namespace {

nlohmann::json modelFile(const std::string& name) { return readJson(resourceDir() / name); }

Processor referenceVinyl(int knob) {
    return ReferenceVinyl(modelFile("tv-vinyl-" + std::to_string(knob) + ".json"));
}
Processor referenceDrive(int knob) {
    return ReferenceConvNet(modelFile("tv-drive-" + std::to_string(knob) + ".nam"));
}
Processor referenceBit(int knob) { return ReferenceConvNet(modelFile("bit" + std::to_string(knob) + ".nam")); }

TEST(VinylModelFiles, HoldTheTensorsOfAFortyUnitLayer) {
    for (int knob : kProfileKnobs) {
        SCOPED_TRACE(knob);
        const nlohmann::json file = modelFile("tv-vinyl-" + std::to_string(knob) + ".json");
        const nlohmann::json& sd = file.at("state_dict");
        ASSERT_EQ(sd.at("rec.weight_ih_l0").size(), 160u);
        EXPECT_EQ(sd.at("rec.weight_ih_l0")[0].size(), 1u);
        ASSERT_EQ(sd.at("rec.weight_hh_l0").size(), 160u);
        for (const auto& row : sd.at("rec.weight_hh_l0")) ASSERT_EQ(row.size(), 40u);
        EXPECT_EQ(sd.at("rec.bias_ih_l0").size(), 160u);
        EXPECT_EQ(sd.at("rec.bias_hh_l0").size(), 160u);
        ASSERT_EQ(sd.at("lin.weight").size(), 1u);
        EXPECT_EQ(sd.at("lin.weight")[0].size(), 40u);
        EXPECT_EQ(sd.at("lin.bias").size(), 1u);
    }
}

TEST(VinylModelFiles, WarmAndSaturateMoreAsTheProfileRises) { checkVinylCharacter(referenceVinyl); }

TEST(NamModelFiles, AreSmallSingleChannelModelsOfASupportedVersion) {
    std::vector<std::string> names;
    for (int knob : kProfileKnobs) names.push_back("tv-drive-" + std::to_string(knob) + ".nam");
    for (int knob : kBitKnobs) names.push_back("bit" + std::to_string(knob) + ".nam");
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const nlohmann::json file = modelFile(name);
        EXPECT_EQ(file.at("version").get<std::string>().rfind("0.5.", 0), 0u);
        EXPECT_EQ(file.at("architecture"), "ConvNet");
        EXPECT_EQ(file.at("config").value("in_channels", 1), 1);
        EXPECT_EQ(file.at("config").value("out_channels", 1), 1);
        EXPECT_LE(file.at("config").at("channels").get<int>(), 64) << "two run per channel at once";
        const ReferenceConvNet model(file);
        EXPECT_EQ(model.weightCount(), model.expectedWeightCount());
        ASSERT_TRUE(file.at("metadata").at("loudness").is_number());
        // The stated loudness is what the model really puts out for a -18 dBFS programme.
        const double out = toDb(rmsOf(model(pinkReference(65536))));
        EXPECT_NEAR(file.at("metadata").at("loudness").get<double>(), out, 0.3);
    }
}

TEST(DriveModelFiles, DriveHarderAsTheProfileRises) { checkDriveCharacter(referenceDrive); }

TEST(BitModelFiles, QuantiseMoreCoarselyAsTheProfileRises) { checkBitCharacter(referenceBit); }

}  // namespace
}  // namespace tolvane::test
