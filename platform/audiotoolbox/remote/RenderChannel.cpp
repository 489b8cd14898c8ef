#include "platform/audiotoolbox/remote/RenderChannel.h"

#include "platform/os/Waiting.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace remote {

namespace {

constexpr std::string_view kDomain = "RenderChannel";

std::size_t planesOffset() { return (sizeof(RenderChannelHeader) + 63) / 64 * 64; }

void fail(Error* error, std::string what) {
    setError(error, std::string(kDomain), -1, std::move(what) + ": " + std::strerror(errno));
}

bool validShape(uint32_t maxFrames, uint32_t inputChannels, uint32_t outputChannels) {
    constexpr uint32_t kLargestBlock = 1u << 16;
    return maxFrames > 0 && maxFrames <= kLargestBlock && inputChannels <= kMaxRenderChannels &&
           outputChannels > 0 && outputChannels <= kMaxRenderChannels;
}

}  // namespace

std::size_t RenderChannel::byteSize(uint32_t maxFrames, uint32_t inputChannels, uint32_t outputChannels) {
    return planesOffset() + sizeof(float) * static_cast<std::size_t>(maxFrames) * (inputChannels + outputChannels);
}

RenderChannel::RenderChannel(void* memory, std::size_t size, uint32_t maxFrames, uint32_t inputChannels,
                             uint32_t outputChannels)
    : memory_(memory),
      size_(size),
      header_(static_cast<RenderChannelHeader*>(memory)),
      planes_(reinterpret_cast<float*>(static_cast<unsigned char*>(memory) + planesOffset())),
      maxFrames_(maxFrames),
      inputChannels_(inputChannels),
      outputChannels_(outputChannels) {}

RenderChannel::~RenderChannel() { munmap(memory_, size_); }

std::unique_ptr<RenderChannel> RenderChannel::create(uint32_t maxFrames, uint32_t inputChannels,
                                                     uint32_t outputChannels, int* fd, Error* error) {
    if (!validShape(maxFrames, inputChannels, outputChannels)) {
        setError(error, std::string(kDomain), -2, "unsupported block size or channel count");
        return nullptr;
    }
    const std::size_t size = byteSize(maxFrames, inputChannels, outputChannels);
    const int memfd = memfd_create("tolvane-render", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (memfd < 0) {
        fail(error, "memfd_create");
        return nullptr;
    }
    void* memory = MAP_FAILED;
    if (ftruncate(memfd, static_cast<off_t>(size)) == 0)
        memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, memfd, 0);
    if (memory == MAP_FAILED) {
        fail(error, "cannot map the render channel");
        close(memfd);
        return nullptr;
    }
    // Its size is fixed from here on: neither side can shrink it under the other's mapping.
    (void)fcntl(memfd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
    auto* header = new (memory) RenderChannelHeader;
    header->maxFrames = maxFrames;
    header->inputChannels = inputChannels;
    header->outputChannels = outputChannels;
    *fd = memfd;
    return std::unique_ptr<RenderChannel>(new RenderChannel(memory, size, maxFrames, inputChannels, outputChannels));
}

std::unique_ptr<RenderChannel> RenderChannel::map(int fd, uint32_t maxFrames, uint32_t inputChannels,
                                                  uint32_t outputChannels, Error* error) {
    if (!validShape(maxFrames, inputChannels, outputChannels)) {
        setError(error, std::string(kDomain), -2, "unsupported block size or channel count");
        return nullptr;
    }
    const std::size_t size = byteSize(maxFrames, inputChannels, outputChannels);
    struct stat info {};
    if (fstat(fd, &info) != 0 || static_cast<std::size_t>(info.st_size) != size) {
        setError(error, std::string(kDomain), -3, "the render channel does not have the announced size");
        return nullptr;
    }
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) {
        fail(error, "cannot map the render channel");
        return nullptr;
    }
    const auto* header = static_cast<const RenderChannelHeader*>(memory);
    if (header->magic != kRenderChannelMagic || header->version != kRenderChannelVersion ||
        header->maxFrames != maxFrames || header->inputChannels != inputChannels ||
        header->outputChannels != outputChannels) {
        munmap(memory, size);
        setError(error, std::string(kDomain), -3, "the render channel does not have the announced layout");
        return nullptr;
    }
    return std::unique_ptr<RenderChannel>(new RenderChannel(memory, size, maxFrames, inputChannels, outputChannels));
}

void futexWait(std::atomic<uint32_t>& word, uint32_t expected, std::optional<std::chrono::nanoseconds> timeout) noexcept {
    const timespec limit = timeout ? timespecFor(*timeout) : timespec{};
    // Not FUTEX_PRIVATE: the word lives in memory shared with another process.
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT, expected, timeout ? &limit : nullptr, nullptr, 0);
}

void futexWake(std::atomic<uint32_t>& word) noexcept {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
}

}  // namespace remote
