#pragma once

#include "platform/foundation/Error.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tolvane::render {

// What one run of tolvane-render is asked to do.
struct RenderOptions {
    std::string plugin;  // LV2 bundle folder or plug-in URI
    std::string input;
    std::string output;
    std::optional<double> sampleRate;  // must equal the input file's rate when given
    uint32_t blockSize = 512;
    std::vector<std::pair<std::string, std::string>> settings;  // parameter symbol, value text
    bool helpRequested = false;
};

inline constexpr uint32_t kMaximumBlockSize = 1u << 16;

// Parses the arguments after the program name. Nothing, with the error, on a usage mistake.
std::optional<RenderOptions> parseArguments(const std::vector<std::string>& arguments, Error* error);

std::string usageText();

}  // namespace tolvane::render
