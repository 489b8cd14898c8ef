#include "tools/tolvane-make-resources/AudioFileWriter.h"

#include <sndfile.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>

namespace tolvane::resources {
namespace {

int formatCode(SampleEncoding encoding, Container container) {
    const int major = container == Container::Wav ? SF_FORMAT_WAV : SF_FORMAT_AIFF;
    const int minor = encoding == SampleEncoding::Pcm16 ? SF_FORMAT_PCM_16 : SF_FORMAT_FLOAT;
    return major | minor;
}

std::vector<double> interleave(const Audio& audio) {
    const size_t frames = audio.frames();
    const size_t channels = audio.channels.size();
    std::vector<double> out(frames * channels);
    for (size_t c = 0; c < channels; ++c) {
        if (audio.channels[c].size() != frames) throw std::runtime_error("channels differ in length");
        for (size_t i = 0; i < frames; ++i) out[i * channels + c] = audio.channels[c][i];
    }
    return out;
}

struct SndFileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};

}  // namespace

void writeAudioFile(const std::filesystem::path& path, const Audio& audio, SampleEncoding encoding,
                    Container container) {
    if (audio.channels.empty() || audio.frames() == 0) throw std::runtime_error("no audio for " + path.string());
    SF_INFO info{};
    info.samplerate = static_cast<int>(std::lround(audio.sampleRate));
    info.channels = static_cast<int>(audio.channels.size());
    info.format = formatCode(encoding, container);
    std::unique_ptr<SNDFILE, SndFileCloser> file(sf_open(path.c_str(), SFM_WRITE, &info));
    if (!file) throw std::runtime_error("cannot write " + path.string() + ": " + sf_strerror(nullptr));
    // The peak chunk of float files holds the time of writing; leave it out for repeatable bytes.
    sf_command(file.get(), SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    sf_command(file.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
    const std::vector<double> samples = interleave(audio);
    const auto frames = static_cast<sf_count_t>(audio.frames());
    if (sf_writef_double(file.get(), samples.data(), frames) != frames) {
        throw std::runtime_error("short write to " + path.string() + ": " + sf_strerror(file.get()));
    }
}

}  // namespace tolvane::resources
