#include "panel/model/EffectsTable.h"

#include <algorithm>

const std::vector<EffectRow>& effectsTable() {
    static const std::vector<EffectRow> table{
        {"VINYL", {"COMPRESSOR", "CRACKLE", "WOW FLUTTER"}, {50, 0, 0}, "vinyl", "vinylOn"},
        {"LO-FI", {"SAMPLE RATE", "CRUSH", "FILTER"}, {0, 0, 100}, "lofi", "LofiOn"},
        {"FILLDRIVE", {"CUTOFF", "RESONANCE", "DRIVE"}, {100, 0, 0}, "filldrive", "filldriveOn"},
        {"ISOLATOR", {"LOW", "MID", "HIGH"}, {50, 50, 50}, "isolator", "isolatorOn"},
        {"PITCH", {"PITCH", "FEEDBACK", "MIX"}, {50, 0, 50}, "pitch", "pitchOn"},
        {"RADIO", {"FREQUENCY", "LEVEL", "STATIC"}, {0, 25, 0}, "radio", "radioOn"},
        {"CHORUS", {"DEPTH", "RATE", "MIX"}, {50, 50, 100}, "chorus", "chorusOn"},
        {"FLANGER", {"DEPTH", "RATE", "RESONANCE"}, {50, 0, 50}, "flanger", "flangerOn"},
    };
    return table;
}

const std::vector<int>& topRowOrder() {
    static const std::vector<int> order{0, 4, 2, 3};
    return order;
}

const std::vector<int>& bottomRowOrder() {
    static const std::vector<int> order{6, 1, 7, 5};
    return order;
}

const std::array<std::string, 3>& radioAMCaptions() {
    static const std::array<std::string, 3> captions{"TUNING", "FILTER", "STATIC"};
    return captions;
}

std::size_t effectRowIndex(int64_t mode, std::size_t rowCount) {
    if (rowCount == 0 || mode <= 0) return 0;
    return std::min(rowCount - 1, static_cast<std::size_t>(mode));
}
