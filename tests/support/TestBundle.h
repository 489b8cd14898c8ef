#pragma once

#include "platform/avfaudio/AVAudioFile.h"
#include "platform/foundation/Bundle.h"
#include "tests/support/Beds.h"
#include "tests/support/ModelFiles.h"
#include "tests/support/TempFolder.h"

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
        const auto bed = bedFrom(channels, rate);
        Error error;
        auto file = AVAudioFile::initForWriting(this->file(fileName).string(), bed->format(), &error);
        if (!file) throw std::runtime_error(error.description());
        if (bed->frameLength() > 0 && !file->writeFromBuffer(*bed, &error)) throw std::runtime_error(error.description());
    }
};

// Every resource the effect loads, small: identity-like models and short beds whose first
// sample tells which file they came from.
class FullTestBundle : public BundleFolder {
public:
    FullTestBundle() {
        for (int k : {0, 12, 25, 37, 50, 62, 75, 87, 100}) {
            write("tv-vinyl-" + std::to_string(k) + ".json", VinylModelFile{}.toJson().dump());
            write("tv-drive-" + std::to_string(k) + ".nam", linearModel({1.0f}).dump());
            writeWav("tvradio_" + std::to_string(k) + "-48k.wav", {{1.0f, 0.5f, 0.25f}}, 48000);
        }
        for (int k : {0, 12, 25, 37, 50, 67, 75}) write("bit" + std::to_string(k) + ".nam", linearModel({1.0f}).dump());
        for (int k : {25, 50, 75, 100}) writeWav("crackle" + std::to_string(k) + ".wav", {std::vector<float>(64, static_cast<float>(k))});
        writeWav("hiss.wav", {std::vector<float>(100, 0.01f)});
        writeWav("tvradio.wav", {std::vector<float>(64, 1.0f)});
        for (int k = 2; k <= 22; ++k) writeWav("tvradio_" + std::to_string(k) + ".wav", {std::vector<float>(64, static_cast<float>(k))});
        for (int k = 1; k <= 9; ++k) writeWav("static" + std::to_string(k) + ".wav", {std::vector<float>(64, static_cast<float>(k))});
    }
};

}  // namespace tolvane::test
