#pragma once

#include "platform/avfaudio/AVAudioFile.h"
#include "platform/foundation/Bundle.h"
#include "tests/support/TempFolder.h"

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>
#include <vector>

namespace tolvane::test {

// A scratch folder with WAV files written into it, which the effect can read as its bundle.
class BundleFolder : public TempFolder {
public:
    Bundle bundle() const { return Bundle(path()); }

    // A float WAV file; `channels` holds one vector of samples per channel (all the same length).
    void writeWav(const std::string& fileName, const std::vector<std::vector<float>>& channels, double rate = 44100) const {
        const auto frames = static_cast<uint32_t>(channels.at(0).size());
        Error error;
        auto file = AVAudioFile::openForWriting(this->file(fileName).string(),
                                                *AVAudioFormat::standardFormat(rate, static_cast<uint32_t>(channels.size())),
                                                &error);
        if (!file) throw std::runtime_error(error.description());
        if (frames == 0) return;
        auto buffer = AVAudioPCMBuffer::create(file->processingFormat(), frames);
        for (std::size_t c = 0; c < channels.size(); ++c)
            std::copy(channels[c].begin(), channels[c].end(), buffer->floatChannelData()[c]);
        buffer->setFrameLength(frames);
        if (!file->writeFromBuffer(*buffer, &error)) throw std::runtime_error(error.description());
    }
};

// An LSTM state dictionary of the VINYL models: all tensors zero but the dense bias, so the
// model adds `bias` to every sample.
inline std::string vinylModelJson(float bias = 0.0f) {
    using nlohmann::json;
    auto matrix = [](int rows, int cols) { return json(std::vector<std::vector<float>>(rows, std::vector<float>(cols, 0.0f))); };
    json state = {{"rec.weight_ih_l0", matrix(160, 1)}, {"rec.weight_hh_l0", matrix(160, 40)},
                  {"rec.bias_ih_l0", std::vector<float>(160, 0.0f)}, {"rec.bias_hh_l0", std::vector<float>(160, 0.0f)},
                  {"lin.weight", matrix(1, 40)}, {"lin.bias", std::vector<float>{bias}}};
    return json{{"state_dict", state}}.dump();
}

// A one-tap Linear model file: y = gain·x.
inline std::string gainModelNam(float gain) {
    using nlohmann::json;
    return json{{"version", "0.5.4"},
                {"architecture", "Linear"},
                {"config", {{"receptive_field", 1}, {"bias", false}}},
                {"weights", {gain}},
                {"sample_rate", 48000}}
        .dump();
}

// Every resource the effect loads, small: identity-like models and short beds whose first
// sample tells which file they came from.
class FullTestBundle : public BundleFolder {
public:
    FullTestBundle() {
        for (int k : {0, 12, 25, 37, 50, 62, 75, 87, 100}) {
            write("tv-vinyl-" + std::to_string(k) + ".json", vinylModelJson());
            write("tv-drive-" + std::to_string(k) + ".nam", gainModelNam(1.0f));
            writeWav("tvradio_" + std::to_string(k) + "-48k.wav", {{1.0f, 0.5f, 0.25f}}, 48000);
        }
        for (int k : {0, 12, 25, 37, 50, 67, 75}) write("bit" + std::to_string(k) + ".nam", gainModelNam(1.0f));
        for (int k : {25, 50, 75, 100}) writeWav("crackle" + std::to_string(k) + ".wav", {std::vector<float>(64, static_cast<float>(k))});
        writeWav("hiss.wav", {std::vector<float>(100, 0.01f)});
        writeWav("tvradio.wav", {std::vector<float>(64, 1.0f)});
        for (int k = 2; k <= 22; ++k) writeWav("tvradio_" + std::to_string(k) + ".wav", {std::vector<float>(64, static_cast<float>(k))});
        for (int k = 1; k <= 9; ++k) writeWav("static" + std::to_string(k) + ".wav", {std::vector<float>(64, static_cast<float>(k))});
    }
};

}  // namespace tolvane::test
