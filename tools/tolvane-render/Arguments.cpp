#include "tools/tolvane-render/Arguments.h"

#include "tools/tolvane-render/Lv2Host.h"

#include "platform/foundation/NumberText.h"

#include <cmath>

namespace tolvane::render {

namespace {

bool usageError(Error* error, std::string message) {
    setError(error, kRenderErrorDomain, kErrorUsage, std::move(message));
    return false;
}

std::optional<double> parsePositive(const std::string& text) {
    const std::optional<double> value = parseDouble(text);
    if (!value || !std::isfinite(*value) || *value <= 0) return std::nullopt;
    return value;
}

// Splits "--name=value" into its parts; other words come back whole with no value.
std::pair<std::string, std::optional<std::string>> splitOption(const std::string& word) {
    const auto equals = word.find('=');
    if (word.rfind("--", 0) != 0 || equals == std::string::npos) return {word, std::nullopt};
    return {word.substr(0, equals), word.substr(equals + 1)};
}

bool applyOption(RenderOptions& options, const std::string& name, const std::string& value, Error* error) {
    if (name == "--plugin") {
        options.plugin = value;
    } else if (name == "--in") {
        options.input = value;
    } else if (name == "--out") {
        options.output = value;
    } else if (name == "--rate") {
        options.sampleRate = parsePositive(value);
        if (!options.sampleRate) return usageError(error, "--rate needs a positive number of hertz, not '" + value + "'");
    } else if (name == "--block") {
        const std::optional<double> block = parsePositive(value);
        if (!block || *block != std::floor(*block) || *block > kMaximumBlockSize)
            return usageError(error, "--block needs a whole number of frames from 1 to " +
                                         std::to_string(kMaximumBlockSize) + ", not '" + value + "'");
        options.blockSize = static_cast<uint32_t>(*block);
    } else if (name == "--set") {
        const auto equals = value.find('=');
        if (equals == std::string::npos || equals == 0)
            return usageError(error, "--set needs identifier=value, not '" + value + "'");
        options.settings.emplace_back(value.substr(0, equals), value.substr(equals + 1));
    } else {
        return usageError(error, "unknown option '" + name + "'");
    }
    return true;
}

}  // namespace

std::optional<RenderOptions> parseArguments(const std::vector<std::string>& arguments, Error* error) {
    RenderOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        auto [name, inlineValue] = splitOption(arguments[i]);
        if (name == "--help" || name == "-h") {
            options.helpRequested = true;
            return options;
        }
        std::string value;
        if (inlineValue) {
            value = *inlineValue;
        } else if (i + 1 < arguments.size()) {
            value = arguments[++i];
        } else {
            usageError(error, name.rfind("--", 0) == 0 ? name + " needs a value" : "unexpected argument '" + name + "'");
            return std::nullopt;
        }
        if (!applyOption(options, name, value, error)) return std::nullopt;
    }
    for (const auto& [option, given] : {std::pair{"--plugin", &options.plugin}, std::pair{"--in", &options.input},
                                        std::pair{"--out", &options.output}}) {
        if (given->empty()) {
            usageError(error, std::string(option) + " is required");
            return std::nullopt;
        }
    }
    return options;
}

std::string usageText() {
    return "usage: tolvane-render --plugin <lv2 bundle folder or URI> --in <audio file> --out <file.wav>\n"
           "                      [--rate R] [--block N] [--set identifier=value ...]\n"
           "Renders the file through the LV2 plug-in at the file's own sample rate (nothing is resampled;\n"
           "--rate only confirms it) in blocks of N frames (default 512), and writes 32-bit float WAV.\n"
           "A value may be a number or, for a parameter with named values, one of the names.\n";
}

}  // namespace tolvane::render
