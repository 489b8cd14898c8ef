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

private:
    float peak_ = 0;
    double sumOfSquares_ = 0;
    uint64_t count_ = 0;
};

// Renders the input file through the plug-in into the output file. The parameter values are in
// force, with whatever the plug-in loads for them, from the first output sample: they are handed
// to the plug-in in a zero-length run, and the plug-in is then activated again before the file
// is processed.
std::optional<RenderSummary> renderFile(const RenderOptions& options, Error* error);

}  // namespace tolvane::render
