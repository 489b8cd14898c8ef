// tolvane-panel-settings: the parameter values the front panel gives each effect mode (its knobs
// at the effects table's defaults, everything else at the panel's defaults) and each factory
// preset, found by driving the panel's own model, one line per setting:
//
//     <name> <identifier>=<value> <identifier>=<value> ...
//
// with names such as "1-lo-fi" and "preset-05-crushed". The main job renders the test file once
// per line with these values (tolvane-render --set identifier=value). Nothing is read from or
// written to the user's presets.

#include "panel/AudioUnitViewController.h"
#include "platform/dispatch/DispatchQueue.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <iostream>
#include <string>

namespace {

// A name as a file name: lower case, spaces as hyphens, nothing but letters, digits and hyphens.
std::string slug(const std::string& name) {
    std::string out;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u)) out += static_cast<char>(std::tolower(u));
        else if ((c == ' ' || c == '-') && !out.empty() && out.back() != '-') out += '-';
    }
    return out;
}

std::string valueText(float value) {
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return std::string(digits, end);
}

// Every parameter of the unit as the panel left it.
std::string settingsOf(const AUAudioUnit& unit) {
    std::string line;
    for (const auto& parameter : unit.parameterTree()->allParameters()) {
        line += " " + parameter->identifier() + "=" + valueText(parameter->value());
    }
    return line;
}

}  // namespace

int main(int argc, char**) {
    if (argc > 1) {
        std::fputs("usage: tolvane-panel-settings\nPrints the parameter values the panel gives each effect mode and "
                   "each factory preset.\n",
                   stderr);
        return 2;
    }
    // The panel's parameter trace would mix with the lines this prints.
    std::cout.rdbuf(nullptr);
    MainQueue::drain();
    const auto controller = std::make_shared<AudioUnitViewController>(std::nullopt, std::nullopt);
    Error error;
    const auto unit = controller->createAudioUnit({fourCharCode("aufx"), fourCharCode("vnyl"), fourCharCode("MrLw"), 0, 0},
                                                  &error);
    MainQueue::drain();
    const auto panel = controller->currentPanel();
    if (!unit || !panel) {
        std::fprintf(stderr, "tolvane-panel-settings: cannot make the panel: %s\n", error.description().c_str());
        return 1;
    }
    for (std::size_t mode = 0; mode < panel->effects.size(); ++mode) {
        panel->resetToDefaults();
        panel->selectEffect(static_cast<int>(mode));
        std::printf("%zu-%s%s\n", mode, slug(panel->effects[mode].name).c_str(), settingsOf(*unit).c_str());
    }
    const std::vector<StoredPreset> presets = makeDefaultPresets(panel->effects);
    for (std::size_t i = 0; i < presets.size(); ++i) {
        panel->resetToDefaults();
        panel->applyPreset(presets[i]);
        std::printf("preset-%02zu-%s%s\n", i + 1, slug(presets[i].name).c_str(), settingsOf(*unit).c_str());
    }
    return 0;
}
