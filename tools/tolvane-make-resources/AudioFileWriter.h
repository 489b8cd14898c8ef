#pragma once

#include <filesystem>
#include <vector>

namespace tolvane::resources {

// Planar audio: one vector per channel, all the same length.
struct Audio {
    double sampleRate = 44100.0;
    std::vector<std::vector<double>> channels;

    size_t frames() const { return channels.empty() ? 0 : channels.front().size(); }
};

enum class SampleEncoding { Pcm16, Float32 };
enum class Container { Wav, Aiff };

// Writes the audio with libsndfile. Samples beyond full scale are clipped, not wrapped. No chunk
// that carries a time stamp is written, so the same audio always gives the same bytes.
// Throws std::runtime_error when the file cannot be written.
void writeAudioFile(const std::filesystem::path& path, const Audio& audio, SampleEncoding encoding,
                    Container container = Container::Wav);

}  // namespace tolvane::resources
