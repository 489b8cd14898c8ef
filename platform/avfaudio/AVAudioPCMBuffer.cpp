#include "platform/avfaudio/AVAudioPCMBuffer.h"

#include <new>
#include <stdexcept>

#include <unistd.h>

namespace {

// More bytes than the machine has memory would only succeed on paper (overcommit) and then be
// killed while the samples are zeroed, so such a buffer counts as one that cannot be held.
uint64_t physicalMemoryBytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return UINT64_MAX;
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(pages), static_cast<uint64_t>(pageSize), &bytes)) return UINT64_MAX;
    return bytes;
}

// channels x frames samples, or throws std::bad_alloc when that many floats cannot be held.
std::size_t sampleCountFor(uint32_t channels, uint32_t frames) {
    std::size_t samples = 0;
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<std::size_t>(channels), static_cast<std::size_t>(frames), &samples) ||
        __builtin_mul_overflow(samples, sizeof(float), &bytes) || bytes > physicalMemoryBytes()) {
        throw std::bad_alloc();
    }
    return samples;
}

}  // namespace

AVAudioPCMBuffer::AVAudioPCMBuffer(const AVAudioFormat& format, uint32_t frameCapacity)
    : format_(format),
      frameCapacity_(frameCapacity),
      samples_(sampleCountFor(format.channelCount(), frameCapacity)),
      channelPointers_(format.channelCount()) {
    for (std::size_t channel = 0; channel < channelPointers_.size(); ++channel) {
        channelPointers_[channel] = samples_.data() + channel * frameCapacity_;
    }
}

std::shared_ptr<AVAudioPCMBuffer> AVAudioPCMBuffer::initWithPCMFormat(const AVAudioFormat& format, uint32_t frameCapacity) {
    if (frameCapacity == 0 || format.channelCount() == 0) return nullptr;
    try {
        return std::make_shared<AVAudioPCMBuffer>(format, frameCapacity);
    } catch (const std::bad_alloc&) {
        return nullptr;
    } catch (const std::length_error&) {
        return nullptr;
    }
}
