#include "tools/tolvane-render/Render.h"

#include "platform/avfaudio/AVAudioFile.h"
#include "tools/tolvane-render/Lv2Host.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace tolvane::render {

namespace {

bool fail(Error* error, RenderErrorCode code, std::string message) {
    setError(error, kRenderErrorDomain, code, std::move(message));
    return false;
}

std::string hertz(double rate) {
    std::ostringstream text;
    text << rate << " Hz";
    return text.str();
}

// The file's channels must match the plug-in's inputs; a mono file also feeds every input.
bool checkChannels(uint32_t fileChannels, uint32_t pluginInputs, Error* error) {
    if (pluginInputs == 0) return fail(error, kErrorChannels, "the plug-in has no audio input");
    if (fileChannels == pluginInputs || fileChannels == 1) return true;
    return fail(error, kErrorChannels, "the file has " + std::to_string(fileChannels) + " channels; the plug-in takes " +
                                           std::to_string(pluginInputs));
}

bool applySettings(Lv2Host& host, const RenderOptions& options, Error* error) {
    for (const auto& [symbol, value] : options.settings) {
        if (!host.setControl(symbol, value, error)) return false;
    }
    return true;
}

// Control values reach a DPF-built plug-in only inside run(): a zero-length run hands them over,
// and activating again lets the plug-in prepare for them before the first real block.
void primeWithSettings(Lv2Host& host) {
    host.activate();
    host.run(0);
    host.deactivate();
    host.activate();
}

bool processFile(Lv2Host& host, AVAudioFile& input, AVAudioFile& output, uint32_t blockSize, LevelMeter& levels,
                 Error* error) {
    const uint32_t fileChannels = input.processingFormat().channelCount();
    auto in = AVAudioPCMBuffer::initWithPCMFormat(input.processingFormat(), blockSize);
    auto out = AVAudioPCMBuffer::initWithPCMFormat(output.processingFormat(), blockSize);
    if (!in || !out) return fail(error, kErrorUsage, "cannot hold blocks of " + std::to_string(blockSize) + " frames");
    while (input.framePosition() < input.length()) {
        Error readError;
        if (!input.readIntoBuffer(*in, &readError))
            return fail(error, kErrorInputFile, input.path() + ": " + readError.localizedDescription);
        const uint32_t frames = in->frameLength();
        if (frames == 0) break;
        for (uint32_t c = 0; c < host.audioInputCount(); ++c) {
            const float* source = in->floatChannelData()[std::min(c, fileChannels - 1)];
            std::copy(source, source + frames, host.audioInput(c));
        }
        host.run(frames);
        for (uint32_t c = 0; c < host.audioOutputCount(); ++c) {
            std::copy(host.audioOutput(c), host.audioOutput(c) + frames, out->floatChannelData()[c]);
            levels.add(host.audioOutput(c), frames);
        }
        out->setFrameLength(frames);
        Error writeError;
        if (!output.writeFromBuffer(*out, &writeError))
            return fail(error, kErrorOutputFile, output.path() + ": " + writeError.localizedDescription);
    }
    return true;
}

}  // namespace

std::optional<RenderSummary> renderFile(const RenderOptions& options, Error* error) {
    Error fileError;
    std::unique_ptr<AVAudioFile> input = AVAudioFile::initForReading(options.input, &fileError);
    if (!input) {
        fail(error, kErrorInputFile, options.input + ": " + fileError.localizedDescription);
        return std::nullopt;
    }
    const double rate = input->processingFormat().sampleRate();
    if (options.sampleRate && *options.sampleRate != rate) {
        fail(error, kErrorRateMismatch, options.input + " is at " + hertz(rate) + ", not " + hertz(*options.sampleRate) +
                                            "; tolvane-render does not resample");
        return std::nullopt;
    }

    std::unique_ptr<Lv2Host> host = Lv2Host::open(options.plugin, error);
    if (!host) return std::nullopt;
    const uint32_t fileChannels = input->processingFormat().channelCount();
    if (!checkChannels(fileChannels, host->audioInputCount(), error)) return std::nullopt;
    if (host->audioOutputCount() == 0) {
        fail(error, kErrorChannels, "the plug-in has no audio output");
        return std::nullopt;
    }
    if (!host->instantiate(rate, options.blockSize, error)) return std::nullopt;
    if (!applySettings(*host, options, error)) return std::nullopt;

    const auto outputFormat = AVAudioFormat::standardFormat(rate, host->audioOutputCount());
    std::unique_ptr<AVAudioFile> output = AVAudioFile::initForWriting(options.output, *outputFormat, &fileError);
    if (!output) {
        fail(error, kErrorOutputFile, options.output + ": " + fileError.localizedDescription);
        return std::nullopt;
    }

    primeWithSettings(*host);
    LevelMeter levels;
    if (!processFile(*host, *input, *output, options.blockSize, levels, error)) return std::nullopt;
    host->deactivate();

    RenderSummary summary;
    summary.pluginName = host->name();
    summary.pluginUri = host->uri();
    summary.sampleRate = rate;
    summary.inputChannels = fileChannels;
    summary.outputChannels = host->audioOutputCount();
    summary.frames = output->length();
    summary.reportedLatency = host->reportedLatency();
    summary.peakDbfs = levels.peakDbfs();
    summary.rmsDbfs = levels.rmsDbfs();
    return summary;
}

void LevelMeter::add(const float* samples, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        peak_ = std::max(peak_, std::fabs(samples[i]));
        sumOfSquares_ += static_cast<double>(samples[i]) * samples[i];
    }
    count_ += count;
}

double LevelMeter::peakDbfs() const { return 20.0 * std::log10(static_cast<double>(peak_)); }

double LevelMeter::rmsDbfs() const {
    return count_ == 0 ? -INFINITY : 10.0 * std::log10(sumOfSquares_ / static_cast<double>(count_));
}

}  // namespace tolvane::render
