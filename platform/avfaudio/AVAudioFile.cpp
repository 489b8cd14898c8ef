#include "platform/avfaudio/AVAudioFile.h"

#include <algorithm>
#include <cmath>
#include <climits>
#include <filesystem>
#include <system_error>
#include <vector>

#include <sndfile.h>

namespace {

constexpr const char* kDomain = "AVAudioFile";
// Frames moved per libsndfile call when (de)interleaving, bounding the scratch buffer.
constexpr sf_count_t kChunkFrames = 4096;

void fail(Error* error, int64_t code, std::string message) { setError(error, kDomain, code, std::move(message)); }

std::string libraryMessage(SNDFILE* file) { return sf_strerror(file); }

// Regular files only: anything else is either no audio (a directory) or may block on open (a FIFO).
bool checkReadablePath(const std::string& path, Error* error) {
    std::error_code ec;
    const auto type = std::filesystem::status(path, ec).type();
    switch (type) {
        case std::filesystem::file_type::regular: return true;
        case std::filesystem::file_type::not_found:
            fail(error, AVAudioFile::kErrorFileNotFound, "No audio file at " + path);
            return false;
        case std::filesystem::file_type::directory:
            fail(error, AVAudioFile::kErrorUnreadable, path + " is a directory, not an audio file");
            return false;
        case std::filesystem::file_type::none:
            fail(error, AVAudioFile::kErrorUnreadable, "Cannot access " + path + ": " + ec.message());
            return false;
        default:
            fail(error, AVAudioFile::kErrorUnreadable, path + " is not a regular file");
            return false;
    }
}

// Headerless data is what libsndfile falls back to for some file extensions; it says nothing
// about its own layout, so it is no audio file we can trust.
bool isSelfDescribing(const SF_INFO& info) { return (info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_RAW; }

// frames x channels, or 0 when either is negative or the product does not fit a size.
std::size_t checkedSampleCount(sf_count_t frames, int channels) {
    std::size_t samples = 0;
    if (frames < 0 || channels <= 0 ||
        __builtin_mul_overflow(static_cast<std::size_t>(frames), static_cast<std::size_t>(channels), &samples)) {
        return 0;
    }
    return samples;
}

// A header we can deliver from: a known layout, a usable rate and channel count, and a frame
// count whose sample total can be computed.
bool hasUsableShape(const SF_INFO& info) {
    if (!isSelfDescribing(info) || info.channels <= 0 || info.samplerate <= 0 || info.frames < 0) return false;
    return info.frames == 0 || checkedSampleCount(info.frames, info.channels) != 0;
}

}  // namespace

struct AVAudioFile::Handle {
    SNDFILE* file = nullptr;
    bool writing = false;
    int channels = 0;
    std::vector<float> interleaved;  // scratch for multi-channel files, at most kChunkFrames frames

    Handle(SNDFILE* f, bool forWriting, int channelCount) : file(f), writing(forWriting), channels(channelCount) {}
    ~Handle() {
        if (file) sf_close(file);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    float* scratchFor(sf_count_t frames) {
        interleaved.resize(checkedSampleCount(frames, channels));
        return interleaved.data();
    }

    // Reads up to `frames` frames into the channel pointers at `offset`; returns the frames read.
    sf_count_t readChunk(float* const* channelData, sf_count_t offset, sf_count_t frames) {
        if (channels == 1) return sf_readf_float(file, channelData[0] + offset, frames);
        float* scratch = scratchFor(frames);
        const sf_count_t got = sf_readf_float(file, scratch, frames);
        for (sf_count_t frame = 0; frame < got; ++frame) {
            const float* source = scratch + frame * channels;
            for (int channel = 0; channel < channels; ++channel) channelData[channel][offset + frame] = source[channel];
        }
        return got;
    }

    sf_count_t writeChunk(const float* const* channelData, sf_count_t offset, sf_count_t frames) {
        if (channels == 1) return sf_writef_float(file, channelData[0] + offset, frames);
        float* scratch = scratchFor(frames);
        for (sf_count_t frame = 0; frame < frames; ++frame) {
            float* target = scratch + frame * channels;
            for (int channel = 0; channel < channels; ++channel) target[channel] = channelData[channel][offset + frame];
        }
        return sf_writef_float(file, scratch, frames);
    }
};

AVAudioFile::AVAudioFile(std::unique_ptr<Handle> handle, std::string path, AVAudioFormat format, int64_t length)
    : handle_(std::move(handle)), path_(std::move(path)), processingFormat_(format), length_(length) {}

AVAudioFile::~AVAudioFile() = default;

std::unique_ptr<AVAudioFile> AVAudioFile::initForReading(const std::string& path, Error* error) {
    if (!checkReadablePath(path, error)) return nullptr;
    SF_INFO info{};
    SNDFILE* raw = sf_open(path.c_str(), SFM_READ, &info);
    if (!raw) {
        fail(error, kErrorUnreadable, "Cannot read " + path + " as audio: " + libraryMessage(nullptr));
        return nullptr;
    }
    auto handle = std::make_unique<Handle>(raw, false, info.channels);
    const auto format = hasUsableShape(info)
                            ? AVAudioFormat::standardFormat(info.samplerate, static_cast<uint32_t>(info.channels))
                            : std::nullopt;
    if (!format) {
        fail(error, kErrorUnreadable, "Cannot read " + path + " as audio: unsupported or malformed header");
        return nullptr;
    }
    // libsndfile already counts only the whole frames present when a header promises more data
    // than the file holds, so length never overstates what a read can deliver.
    return std::unique_ptr<AVAudioFile>(new AVAudioFile(std::move(handle), path, *format, info.frames));
}

std::unique_ptr<AVAudioFile> AVAudioFile::initForWriting(const std::string& path, const AVAudioFormat& format,
                                                         Error* error) {
    const double rate = std::round(format.sampleRate());
    if (rate < 1.0 || rate > static_cast<double>(INT_MAX) || format.channelCount() > static_cast<uint32_t>(INT_MAX)) {
        fail(error, kErrorWriteFailed, "Cannot write " + path + ": the format has no WAV equivalent");
        return nullptr;
    }
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = static_cast<int>(format.channelCount());
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* raw = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!raw) {
        fail(error, kErrorWriteFailed, "Cannot create " + path + ": " + libraryMessage(nullptr));
        return nullptr;
    }
    auto handle = std::make_unique<Handle>(raw, true, info.channels);
    return std::unique_ptr<AVAudioFile>(new AVAudioFile(std::move(handle), path, format, 0));
}

bool AVAudioFile::readIntoBuffer(AVAudioPCMBuffer& buffer, Error* error) {
    buffer.setFrameLength(0);
    if (handle_->writing) {
        fail(error, kErrorReadFailed, path_ + " is open for writing");
        return false;
    }
    if (buffer.format().channelCount() != processingFormat_.channelCount() || buffer.floatChannelData() == nullptr) {
        fail(error, kErrorReadFailed,
             "Buffer has " + std::to_string(buffer.format().channelCount()) + " channels but " + path_ + " has " +
                 std::to_string(processingFormat_.channelCount()));
        return false;
    }
    const sf_count_t wanted = buffer.frameCapacity();
    sf_count_t total = 0;
    while (total < wanted) {
        const sf_count_t request = std::min(kChunkFrames, wanted - total);
        const sf_count_t got = handle_->readChunk(buffer.floatChannelData(), total, request);
        if (got <= 0) break;
        total += got;
        if (got < request) break;
    }
    buffer.setFrameLength(static_cast<uint32_t>(total));
    framePosition_ += total;
    if (total < wanted && framePosition_ < length_) {
        const int code = sf_error(handle_->file);
        fail(error, kErrorReadFailed,
             path_ + " ended at frame " + std::to_string(framePosition_) + " of " + std::to_string(length_) +
                 (code != SF_ERR_NO_ERROR ? ": " + libraryMessage(handle_->file) : std::string()));
        return false;
    }
    return true;
}

bool AVAudioFile::writeFromBuffer(const AVAudioPCMBuffer& buffer, Error* error) {
    if (!handle_->writing) {
        fail(error, kErrorWriteFailed, path_ + " is open for reading");
        return false;
    }
    if (buffer.format().channelCount() != processingFormat_.channelCount() || buffer.floatChannelData() == nullptr) {
        fail(error, kErrorWriteFailed,
             "Buffer has " + std::to_string(buffer.format().channelCount()) + " channels but " + path_ + " has " +
                 std::to_string(processingFormat_.channelCount()));
        return false;
    }
    const sf_count_t wanted = buffer.frameLength();
    sf_count_t total = 0;
    while (total < wanted) {
        const sf_count_t request = std::min(kChunkFrames, wanted - total);
        const sf_count_t put = handle_->writeChunk(buffer.floatChannelData(), total, request);
        if (put > 0) total += put;
        if (put < request) break;
    }
    length_ += total;
    framePosition_ += total;
    if (total < wanted) {
        fail(error, kErrorWriteFailed, "Cannot write " + path_ + ": " + libraryMessage(handle_->file));
        return false;
    }
    return true;
}
