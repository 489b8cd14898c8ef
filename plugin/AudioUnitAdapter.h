#pragma once

#include "platform/audiotoolbox/AUAudioUnit.h"
#include "platform/foundation/Error.h"
#include "plugin/ParameterLayout.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace tolvane::plugin {

// Drives an AUAudioUnit the way a plug-in format's host expects: parameters by index, activation
// at the host's rate and block size, and processing of the host's (possibly larger) blocks. It
// knows the unit only through its buses, its parameter tree and its render block, so any unit can
// be wrapped.
//
// Threads: setParameterValue and parameterValue may be called from any thread; activate and
// deactivate from the host's non-real-time thread, never during run; run from the real-time thread.
class AudioUnitAdapter {
public:
    // `channels` is the plug-in's input and output channel count (1 or 2).
    AudioUnitAdapter(std::shared_ptr<AUAudioUnit> unit, uint32_t channels, const ValueNames& valueNames);
    ~AudioUnitAdapter();
    AudioUnitAdapter(const AudioUnitAdapter&) = delete;
    AudioUnitAdapter& operator=(const AudioUnitAdapter&) = delete;

    AUAudioUnit& unit() const { return *unit_; }
    uint32_t channels() const { return channels_; }
    const ParameterLayout& layout() const { return layout_; }
    uint32_t parameterCount() const { return static_cast<uint32_t>(layout_.parameters.size()); }

    // The value a host should see: its own last change until the unit has taken it, then the
    // unit's value.
    float parameterValue(uint32_t index) const noexcept;
    // Queues a host change. While active it reaches the unit as a parameter event of the next
    // render call; changes made while inactive are applied to the tree on activation, so that
    // the allocation already loads what they select. Out-of-range indexes and non-finite values
    // are ignored.
    void setParameterValue(uint32_t index, float value) noexcept;

    // Sets both buses to the host's rate and the plug-in's channel count, sets the frame limit,
    // allocates render resources (the unit loads what the current values need, on this thread)
    // and reads a render block at that rate. On failure the adapter stays inactive and the error
    // says why; run() then outputs silence.
    bool activate(double sampleRate, uint32_t maximumFrames, Error* error);
    void deactivate();
    bool isActive() const noexcept { return active_; }
    double sampleRate() const noexcept { return sampleRate_; }
    uint32_t maximumFrames() const noexcept { return maximumFrames_; }

    // The unit's latency in frames at its output bus's current rate.
    uint32_t latencyFrames() const;

    // Processes one host block: input into the output buffers, then the unit in place, in calls
    // of at most maximumFrames(). Inputs and outputs may be the same buffers. Allocates nothing
    // and takes no lock. A zero-frame call still hands pending changes to the unit.
    void run(const float* const* inputs, float* const* outputs, uint32_t frames) noexcept;

    // Render calls that failed (their output was replaced by silence) since creation.
    uint64_t failedRenderCalls() const noexcept { return failedRenderCalls_.load(std::memory_order_relaxed); }

    static constexpr uint32_t kDefaultMaximumFrames = 4096;

private:
    struct PendingValue {
        std::atomic<float> value{0};
        std::atomic<bool> changed{false};
    };

    void applyPendingValuesToTree();
    const AURenderEvent* takePendingEvents() noexcept;
    AUAudioUnitStatus renderSlice(const float* const* inputs, float* const* outputs, uint32_t offset, uint32_t frames,
                                  const AURenderEvent* events) noexcept;
    AUAudioUnitStatus pullInput(AUAudioFrameCount frames, AudioBufferList* buffers) const noexcept;
    bool setBusFormats(double sampleRate, Error* error);

    std::shared_ptr<AUAudioUnit> unit_;
    uint32_t channels_;
    ParameterLayout layout_;

    std::unique_ptr<PendingValue[]> pending_;
    // One event per parameter, linked afresh each block: no allocation on the render thread.
    std::vector<AURenderEvent> events_;

    AUInternalRenderBlock renderBlock_;
    AURenderPullInputBlock pullBlock_;
    AudioBufferList outputList_;
    std::array<const float*, AudioBufferList::kMaxBuffers> sliceInputs_{};
    AudioTimeStamp timestamp_;

    bool active_ = false;
    double sampleRate_ = 0;
    uint32_t maximumFrames_ = 0;
    std::atomic<uint64_t> failedRenderCalls_{0};
};

}  // namespace tolvane::plugin
