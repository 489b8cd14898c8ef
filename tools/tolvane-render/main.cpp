// tolvane-render: an offline LV2 host. Renders an audio file through a plug-in into a WAV file.

#include "tools/tolvane-render/Arguments.h"
#include "tools/tolvane-render/Lv2Host.h"
#include "tools/tolvane-render/Render.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {
// The file is written, but what it holds is not usable audio.
constexpr int kExitNonFiniteOutput = 3;
}  // namespace

int main(int argc, char** argv) {
    using namespace tolvane::render;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    Error error;
    const std::optional<RenderOptions> options = parseArguments(arguments, &error);
    if (!options) {
        std::fprintf(stderr, "tolvane-render: %s\n%s", error.localizedDescription.c_str(), usageText().c_str());
        return 2;
    }
    if (options->helpRequested) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    const std::optional<RenderSummary> summary = renderFile(*options, &error);
    if (!summary) {
        std::fprintf(stderr, "tolvane-render: %s\n", error.localizedDescription.c_str());
        return error.code == kErrorUsage ? 2 : 1;
    }
    std::printf("tolvane-render: %s: %lld frames at %.0f Hz, %u in, %u out, latency %u frames compensated, "
                "peak %.1f dBFS, RMS %.1f dBFS -> %s\n",
                summary->pluginName.c_str(), static_cast<long long>(summary->frames), summary->sampleRate,
                summary->inputChannels, summary->outputChannels, summary->compensatedLatency, summary->peakDbfs,
                summary->rmsDbfs, options->output.c_str());
    if (summary->nonFiniteSamples > 0) {
        std::fprintf(stderr, "tolvane-render: warning: %llu output samples are not finite (NaN or infinite)\n",
                     static_cast<unsigned long long>(summary->nonFiniteSamples));
        return kExitNonFiniteOutput;
    }
    return 0;
}
