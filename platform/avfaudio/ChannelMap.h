#pragma once

#include <cstdint>

// Carries `frames` samples of `inChannels` channels onto `outChannels` channels, replacing or
// adding to what `out` holds. More output channels repeat the input's (mono reaches every
// channel); fewer output channels take the mean of the input channels that fold onto them
// (stereo to mono is (left + right) / 2). Real-time safe.
inline void mapChannels(const float* const* in, uint32_t inChannels, float* const* out, uint32_t outChannels,
                        uint32_t frames, bool add) noexcept {
    for (uint32_t c = 0; c < outChannels; ++c) {
        float* destination = out[c];
        if (outChannels >= inChannels) {
            const float* source = in[c % inChannels];
            for (uint32_t i = 0; i < frames; ++i) destination[i] = (add ? destination[i] : 0.0f) + source[i];
            continue;
        }
        uint32_t folded = 0;
        for (uint32_t k = c; k < inChannels; k += outChannels) ++folded;
        const float scale = 1.0f / static_cast<float>(folded);
        for (uint32_t i = 0; i < frames; ++i) {
            float sum = 0.0f;
            for (uint32_t k = c; k < inChannels; k += outChannels) sum += in[k][i];
            destination[i] = (add ? destination[i] : 0.0f) + sum * scale;
        }
    }
}
