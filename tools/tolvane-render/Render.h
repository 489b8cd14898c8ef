#pragma once

#include "platform/foundation/Error.h"
#include "tools/tolvane-render/Arguments.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tolvane::render {

struct RenderSummary {
    std::string pluginName;
    std::string pluginUri;
    double sampleRate = 0;
    uint32_t inputChannels = 0;
    uint32_t outputChannels = 0;
    int64_t frames = 0;
    std::optional<float> reportedLatency;
    uint32_t compensatedLatency = 0;  // frames dropped from the output's start and fed after the file
    uint64_t nonFiniteSamples = 0;    // NaN or infinite samples in the output
    // Of the output, over all channels; -inf for silence.
    double peakDbfs = 0;
    double rmsDbfs = 0;
};

// Peak and RMS of a stream of samples.
class LevelMeter {
public:
    void add(const float* samples, uint32_t count);
    double peakDbfs() const;
    double rmsDbfs() const;
    // Samples that were NaN or infinite; the levels are those of the finite ones.
    uint64_t nonFiniteSamples() const { return nonFinite_; }

private:
    uint64_t nonFinite_ = 0;
    float peak_ = 0;
    double sumOfSquares_ = 0;
    uint64_t count_ = 0;
};

// Renders the input file through the plug-in into the output file, compensated for the
// latency the plug-in reports: the output lines up with the input, has its length and ends with
// the plug-in's tail. The parameter values are in force from the first output sample: the
// plug-in receives them with its first block.
std::optional<RenderSummary> renderFile(const RenderOptions& options, Error* error);

}  // namespace tolvane::render
