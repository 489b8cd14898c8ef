// tolvane-panel-settings, which the main job renders from: one line per effect mode with the
// knob values the panel gives it, and one per factory preset, in a form the script splits.

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace tolvane::test {
namespace {

struct Line {
    std::string name;
    std::map<std::string, double> values;
};

std::vector<Line> runTool() {
    std::vector<Line> lines;
    FILE* pipe = popen(TOLVANE_PANEL_SETTINGS, "r");
    if (!pipe) return lines;
    char buffer[1024];
    while (std::fgets(buffer, sizeof buffer, pipe)) {
        std::istringstream words(buffer);
        Line line;
        words >> line.name;
        for (std::string word; words >> word;) {
            const auto equals = word.find('=');
            line.values[word.substr(0, equals)] = std::stod(word.substr(equals + 1));
        }
        lines.push_back(line);
    }
    EXPECT_EQ(pclose(pipe), 0);
    return lines;
}

TEST(PanelSettingsTool, EveryModeWithItsKnobDefaultsAndEveryFactoryPreset) {
    const std::vector<Line> lines = runTool();
    ASSERT_EQ(lines.size(), 8u + 11u);
    const std::vector<std::string> modes{"0-vinyl", "1-lo-fi",   "2-filldrive", "3-isolator",
                                         "4-pitch", "5-radio",   "6-chorus",    "7-flanger"};
    for (std::size_t i = 0; i < modes.size(); ++i) {
        EXPECT_EQ(lines[i].name, modes[i]);
        EXPECT_EQ(lines[i].values.at("effectMode"), static_cast<double>(i));
        EXPECT_EQ(lines[i].values.size(), 9u) << "every parameter of the effect";
        EXPECT_EQ(lines[i].values.at("outputLevel"), 75);
        EXPECT_EQ(lines[i].values.at("hissOn"), 0);
    }
    // PITCH and CHORUS get their own knobs (knob 1 is compressor, 2 crackle, 3 wowFlutter).
    EXPECT_EQ(lines[4].values.at("compressor"), 50);
    EXPECT_EQ(lines[4].values.at("crackle"), 0);
    EXPECT_EQ(lines[4].values.at("wowFlutter"), 50);
    EXPECT_EQ(lines[6].values.at("crackle"), 50);
    EXPECT_EQ(lines[6].values.at("wowFlutter"), 100);
    EXPECT_EQ(lines[5].values.at("crackle"), 25);

    EXPECT_EQ(lines[8].name, "preset-01-dusty-vinyl");
    EXPECT_EQ(lines[14].name, "preset-07-5th-dimension");
    EXPECT_EQ(lines[18].name, "preset-11-whole-steppin");
    const Line& radio = lines[11];  // "On the Radio"
    EXPECT_EQ(radio.name, "preset-04-on-the-radio");
    EXPECT_EQ(radio.values.at("effectMode"), 5);
    EXPECT_EQ(radio.values.at("amFmMode"), 1);
    EXPECT_EQ(radio.values.at("compressor"), 0);
    EXPECT_EQ(radio.values.at("crackle"), 3);
    EXPECT_EQ(radio.values.at("wowFlutter"), 26);
    EXPECT_EQ(radio.values.at("hissLevel"), 20);
    const Line& gram = lines[17];  // "180 Gram"
    EXPECT_EQ(gram.values.at("hissOn"), 1);
    EXPECT_EQ(gram.values.at("hissLevel"), 12);
    EXPECT_EQ(gram.values.at("compressor"), 31);
}

}  // namespace
}  // namespace tolvane::test
