#pragma once

// Small `.nam` model files for the stage tests: Linear models (an FIR over the input, so [1] is
// the identity and [g] a gain) written to a scratch folder, loaded and sized like the loaders do.

#include "neural/NAMPlayer.h"
#include "tests/support/ModelFiles.h"
#include "tests/support/TempFolder.h"

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace stage_test {

class ModelFolder : public tolvane::test::TempFolder {
public:
    // Writes a Linear model with taps t[0..] (t[0] on the current sample) as <name>.nam.
    std::filesystem::path writeLinear(const std::string& name, const std::vector<float>& taps) const {
        return write(name + ".nam", tolvane::test::linearModel(taps).dump());
    }

    // A loaded player, reset for blocks of up to maxFrames.
    std::shared_ptr<NAMPlayer> player(const std::string& name, const std::vector<float>& taps, double fs = 44100,
                                      int32_t maxFrames = 4096) const {
        auto p = std::make_shared<NAMPlayer>();
        Error error;
        if (!p->loadModelAtPath(writeLinear(name, taps).string(), &error))
            throw std::runtime_error(error.description());
        p->resetWithSampleRate(fs, maxFrames);
        return p;
    }
};

// Taps whose output overflows float for inputs of magnitude 2 and more: +inf on the first
// sample of a constant input, then inf - inf = NaN.
inline std::vector<float> overflowingTaps() { return {3e38f, -3e38f}; }

}  // namespace stage_test
