#include "tools/tolvane-render/Render.h"

#include "effect/SampleRateRange.h"
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

// Feeds the plug-in block by block and writes what it returns, compensated for its latency: the
// latency port read after the first block gives how many frames the output runs behind, that
// many are dropped from its start, and as many frames of silence are fed after the file so that
// its tail comes out too. The output lines up with the input and is exactly as long.
class CompensatedWriter {
public:
    CompensatedWriter(Lv2Host& host, AVAudioFile& output, uint32_t blockSize, LevelMeter& levels)
        : host_(host), output_(output), levels_(levels), out_(AVAudioPCMBuffer::initWithPCMFormat(output.processingFormat(), blockSize)) {}

    bool ready() const { return out_ != nullptr; }

    // Runs one block whose input the caller has placed in the plug-in's input buffers, and writes
    // what of its output belongs to the file's `totalFrames`.
    bool run(uint32_t frames, int64_t totalFrames, Error* error) {
        host_.run(frames);
        if (!latency_) latency_ = latencyFrames(host_.reportedLatency());
        const auto skip = static_cast<uint32_t>(std::min<int64_t>(frames, *latency_ - skipped_));
        skipped_ += skip;
        const auto keep = static_cast<uint32_t>(std::min<int64_t>(frames - skip, totalFrames - written_));
        if (keep == 0) return true;
        for (uint32_t c = 0; c < host_.audioOutputCount(); ++c) {
            const float* source = host_.audioOutput(c) + skip;
            std::copy(source, source + keep, out_->floatChannelData()[c]);
            levels_.add(source, keep);
        }
        out_->setFrameLength(keep);
        written_ += keep;
        Error writeError;
        if (!output_.writeFromBuffer(*out_, &writeError))
            return fail(error, kErrorOutputFile, output_.path() + ": " + writeError.localizedDescription);
        return true;
    }

    // Frames of silence still to feed after the file for its tail to come out.
    int64_t tailFramesLeft(int64_t totalInputFrames) const { return totalInputFrames - written_; }
    uint32_t latency() const { return latency_.value_or(0); }

private:
    static uint32_t latencyFrames(std::optional<float> reported) {
        if (!reported || !std::isfinite(*reported) || *reported <= 0) return 0;
        return static_cast<uint32_t>(std::min(std::lround(*reported), 1L << 24));
    }

    Lv2Host& host_;
    AVAudioFile& output_;
    LevelMeter& levels_;
    std::shared_ptr<AVAudioPCMBuffer> out_;
    std::optional<uint32_t> latency_;
    int64_t skipped_ = 0;
    int64_t written_ = 0;
};

bool processFile(Lv2Host& host, AVAudioFile& input, AVAudioFile& output, uint32_t blockSize, LevelMeter& levels,
                 uint32_t& latency, Error* error) {
    const uint32_t fileChannels = input.processingFormat().channelCount();
    auto in = AVAudioPCMBuffer::initWithPCMFormat(input.processingFormat(), blockSize);
    CompensatedWriter writer(host, output, blockSize, levels);
    if (!in || !writer.ready())
        return fail(error, kErrorUsage, "cannot hold blocks of " + std::to_string(blockSize) + " frames");
    const int64_t total = input.length();
    while (input.framePosition() < total) {
        Error readError;
        if (!input.readIntoBuffer(*in, &readError))
            return fail(error, kErrorInputFile, input.path() + ": " + readError.localizedDescription);
        const uint32_t frames = in->frameLength();
        if (frames == 0) break;
        for (uint32_t c = 0; c < host.audioInputCount(); ++c) {
            const float* source = in->floatChannelData()[std::min(c, fileChannels - 1)];
            std::copy(source, source + frames, host.audioInput(c));
        }
        if (!writer.run(frames, total, error)) return false;
    }
    for (uint32_t c = 0; c < host.audioInputCount(); ++c) std::fill_n(host.audioInput(c), blockSize, 0.0f);
    while (writer.tailFramesLeft(total) > 0) {
        const auto frames = static_cast<uint32_t>(std::min<int64_t>(blockSize, writer.tailFramesLeft(total)));
        if (!writer.run(frames, total, error)) return false;
    }
    latency = writer.latency();
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
    if (!isSupportedSampleRate(rate)) {
        std::ostringstream message;
        message << options.input << " is at " << hertz(rate) << "; tolvane-render renders at " << kLowestSampleRate
                << " to " << kHighestSampleRate << " Hz, the rates the effect honours";
        fail(error, kErrorUnsupportedRate, message.str());
        return std::nullopt;
    }
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

    host->activate();
    LevelMeter levels;
    uint32_t latency = 0;
    if (!processFile(*host, *input, *output, options.blockSize, levels, latency, error)) return std::nullopt;
    host->deactivate();

    RenderSummary summary;
    summary.pluginName = host->name();
    summary.pluginUri = host->uri();
    summary.sampleRate = rate;
    summary.inputChannels = fileChannels;
    summary.outputChannels = host->audioOutputCount();
    summary.frames = output->length();
    summary.reportedLatency = host->reportedLatency();
    summary.compensatedLatency = latency;
    summary.nonFiniteSamples = levels.nonFiniteSamples();
    summary.peakDbfs = levels.peakDbfs();
    summary.rmsDbfs = levels.rmsDbfs();
    return summary;
}

void LevelMeter::add(const float* samples, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        if (!std::isfinite(samples[i])) {
            ++nonFinite_;
            continue;
        }
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
