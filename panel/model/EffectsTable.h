#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// The panel's static description of the eight effect modes: names, knob captions and defaults,
// and the images of each effect button. A row's index is the effect mode.
struct EffectRow {
    std::string name;
    std::array<std::string, 3> labels;
    std::array<float, 3> defaults;
    std::string imageOff;
    std::string imageOn;
};

const std::vector<EffectRow>& effectsTable();
// Effect indices of the two button rows, left to right.
const std::vector<int>& topRowOrder();
const std::vector<int>& bottomRowOrder();
// The captions RADIO shows while it runs its AM branch.
const std::array<std::string, 3>& radioAMCaptions();

// The row the panel shows for effect mode m: negative modes read as 0, modes past the end as the last.
std::size_t effectRowIndex(int64_t mode, std::size_t rowCount);
