#include "platform/avfaudio/AVAudioPlayerNode.h"

#include "platform/audiotoolbox/AudioTypes.h"
#include "platform/avfaudio/ChannelMap.h"

#include <algorithm>
#include <array>
#include <limits>

namespace {

constexpr const char* kDomain = "AVAudioPlayerNode";
constexpr int64_t kErrorUnplayable = -1;
constexpr uint32_t kMaxChannels = AudioBufferList::kMaxBuffers;

void runAll(std::vector<AVAudioPlayerNode::CompletionHandler>& completions) {
    for (auto& completion : completions) {
        if (completion) completion();
    }
}

}  // namespace

AVAudioPlayerNode::~AVAudioPlayerNode() = default;

std::optional<AVAudioFormat> AVAudioPlayerNode::unconnectedOutputFormat(AVAudioNodeBus bus) const {
    if (bus != 0) return std::nullopt;
    return AVAudioFormat::standardFormat(44100, 2);
}

std::shared_ptr<const AVAudioPCMBuffer> AVAudioPlayerNode::decode(const AVAudioFile& file, Error* error) {
    // A file rewritten in place may keep its format and length: its modification time tells.
    std::error_code unknown;
    const auto modified = std::filesystem::last_write_time(file.path(), unknown);
    if (decoded_ && !unknown && decodedPath_ == file.path() && decodedModified_ == modified &&
        decoded_->format() == file.processingFormat() && decoded_->frameLength() == file.length()) {
        return decoded_;
    }
    const AVAudioFormat& format = file.processingFormat();
    if (format.channelCount() > kMaxChannels || file.length() > std::numeric_limits<uint32_t>::max()) {
        setError(error, kDomain, kErrorUnplayable, file.path() + " has more channels or frames than the player takes");
        return nullptr;
    }
    // A reader of its own, so the caller's file keeps its position.
    auto reader = AVAudioFile::initForReading(file.path(), error);
    if (!reader) return nullptr;
    const auto frames = static_cast<uint32_t>(reader->length());
    auto samples = AVAudioPCMBuffer::initWithPCMFormat(reader->processingFormat(), std::max(frames, 1u));
    if (!samples) {
        setError(error, kDomain, kErrorUnplayable, "no memory for the samples of " + file.path());
        return nullptr;
    }
    if (frames > 0 && !reader->readIntoBuffer(*samples, error)) return nullptr;
    samples->setFrameLength(frames);
    decodedPath_ = file.path();
    decodedModified_ = modified;
    decoded_ = std::move(samples);
    return decoded_;
}

bool AVAudioPlayerNode::scheduleFile(const AVAudioFile& file, CompletionHandler completion, Error* error) {
    auto samples = decode(file, error);
    if (!samples) return false;
    std::lock_guard lock(mutex_);
    const uint64_t id = nextId_++;
    queued_.push_back({id, std::move(samples)});
    pending_.push_back({id, std::move(completion)});
    publishLocked();
    return true;
}

void AVAudioPlayerNode::play() { playing_.store(true, std::memory_order_release); }

void AVAudioPlayerNode::pause() { playing_.store(false, std::memory_order_release); }

void AVAudioPlayerNode::stop() {
    playing_.store(false, std::memory_order_release);
    std::vector<CompletionHandler> dropped;
    {
        std::lock_guard lock(mutex_);
        for (auto& entry : pending_) dropped.push_back(std::move(entry.completion));
        pending_.clear();
        queued_.clear();
        publishLocked();
    }
    runAll(dropped);
}

void AVAudioPlayerNode::deliverConsumedCompletions() {
    std::vector<CompletionHandler> consumed;
    {
        std::lock_guard lock(mutex_);
        const uint64_t through = consumedThrough_.load(std::memory_order_acquire);
        for (auto& entry : pending_) {
            if (entry.id <= through) consumed.push_back(std::move(entry.completion));
        }
        std::erase_if(pending_, [through](const Pending& entry) { return entry.id <= through; });
        schedule_.collect();
        delivering_ += static_cast<int>(consumed.size());
    }
    runAll(consumed);
    std::lock_guard lock(mutex_);
    delivering_ -= static_cast<int>(consumed.size());
}

bool AVAudioPlayerNode::hasConsumedCompletionsToRun() {
    std::lock_guard lock(mutex_);
    const uint64_t through = consumedThrough_.load(std::memory_order_acquire);
    return delivering_ > 0 || std::ranges::any_of(pending_, [through](const Pending& entry) { return entry.id <= through; });
}

std::size_t AVAudioPlayerNode::pendingCompletionCount() {
    std::lock_guard lock(mutex_);
    return pending_.size();
}

void AVAudioPlayerNode::publishLocked() {
    const uint64_t finished = finishedThrough_.load(std::memory_order_acquire);
    std::erase_if(queued_, [finished](const Segment& segment) { return segment.id <= finished; });
    schedule_.publish(std::make_unique<Schedule>(Schedule{queued_}));
}

// Every segment that ends within the read-ahead of the play head counts as consumed.
void AVAudioPlayerNode::markConsumed(const Schedule& schedule, uint64_t& consumed, uint64_t finished) const noexcept {
    uint64_t ahead = 0;
    for (const Segment& segment : schedule.segments) {
        if (segment.id <= finished) continue;
        const uint32_t length = segment.samples->frameLength();
        ahead += segment.id == playingId_ ? length - position_ : length;
        if (ahead > readAheadFrames_) return;
        consumed = std::max(consumed, segment.id);
    }
}

bool AVAudioPlayerNode::render(float* const* channels, uint32_t channelCount, uint32_t frames) noexcept {
    uint32_t done = 0;
    uint64_t finished = finishedThrough_.load(std::memory_order_relaxed);
    const uint64_t consumedBefore = consumedThrough_.load(std::memory_order_relaxed);
    uint64_t consumed = consumedBefore;
    const Schedule* schedule = isPlaying() ? schedule_.acquire() : nullptr;
    if (schedule != nullptr) {
        for (const Segment& segment : schedule->segments) {
            if (done == frames) break;
            if (segment.id <= finished) continue;
            if (segment.id != playingId_) {
                playingId_ = segment.id;
                position_ = 0;
            }
            const AVAudioPCMBuffer& samples = *segment.samples;
            const uint32_t take = std::min(frames - done, samples.frameLength() - position_);
            const uint32_t inChannels = samples.format().channelCount();
            std::array<const float*, kMaxChannels> in{};
            std::array<float*, kMaxChannels> out{};
            for (uint32_t c = 0; c < inChannels; ++c) in[c] = samples.floatChannelData()[c] + position_;
            for (uint32_t c = 0; c < channelCount; ++c) out[c] = channels[c] + done;
            mapChannels(in.data(), inChannels, out.data(), channelCount, take, false);
            position_ += take;
            done += take;
            if (position_ >= samples.frameLength()) finished = segment.id;
        }
        markConsumed(*schedule, consumed, finished);
        consumed = std::max(consumed, finished);
    }
    schedule_.release();
    for (uint32_t c = 0; c < channelCount; ++c) std::fill(channels[c] + done, channels[c] + frames, 0.0f);
    finishedThrough_.store(finished, std::memory_order_release);
    if (consumed == consumedBefore) return false;
    consumedThrough_.store(consumed, std::memory_order_release);
    return true;
}
