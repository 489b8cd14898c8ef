#pragma once

#include "platform/avfaudio/AVAudioPCMBuffer.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace tolvane::test {

// A bed in memory, as the loaders publish one: a float buffer with one list of samples per
// channel (all of one length). Empty lists still give a buffer, of no frames.
inline std::shared_ptr<AVAudioPCMBuffer> bedFrom(const std::vector<std::vector<float>>& channels, double rate = 44100) {
    const auto frames = static_cast<uint32_t>(channels.at(0).size());
    auto bed = AVAudioPCMBuffer::initWithPCMFormat(*AVAudioFormat::standardFormat(rate, static_cast<uint32_t>(channels.size())),
                                        std::max<uint32_t>(frames, 1));
    for (std::size_t c = 0; c < channels.size(); ++c)
        std::copy(channels[c].begin(), channels[c].end(), bed->floatChannelData()[c]);
    bed->setFrameLength(frames);
    return bed;
}

}  // namespace tolvane::test
