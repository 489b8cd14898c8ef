#pragma once

#include "platform/audiotoolbox/AudioTypes.h"
#include "platform/avfaudio/AVAudioFormat.h"
#include "platform/avfaudio/AVAudioNode.h"
#include "platform/foundation/Error.h"

#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <vector>

class AUAudioUnit;
class AVAudioPlayerNode;

// One connection of an engine's graph: a source's output bus to a destination's input bus.
struct AVAudioConnection {
    std::shared_ptr<AVAudioNode> source;
    AVAudioNodeBus sourceBus = 0;
    std::shared_ptr<AVAudioNode> destination;
    AVAudioNodeBus destinationBus = 0;
    AVAudioFormat format;
};

// The graph as the audio thread renders it: every node that feeds the output node, in pull
// order (each node after the nodes it reads), with its output buffers allocated up front. Built
// and bound on the engine's thread, then handed to the audio thread whole; the audio thread
// never changes its shape, allocates or waits.
class RenderPlan {
public:
    struct Limits {
        double sampleRate = 44100;
        uint32_t maximumFrames = 512;
    };

    // A unit the plan renders, with the formats its buses must have.
    struct UnitUse {
        std::shared_ptr<AUAudioUnit> unit;
        std::optional<AVAudioFormat> inputFormat;
        AVAudioFormat outputFormat;
    };

    // The plan for what feeds `output`'s input bus 0, or nothing with the error when the graph
    // has a cycle, a connection at another rate than the device's, or too many channels.
    static std::unique_ptr<RenderPlan> build(const std::vector<AVAudioConnection>& connections,
                                             const AVAudioNode& output, Limits limits, Error* error);

    // The units to configure and allocate before bindUnits().
    const std::vector<UnitUse>& units() const { return units_; }
    // Takes each unit's render block; call once every unit's resources are allocated.
    void bindUnits();

    // The audio thread: renders `frames` frames into the device's channels, in pieces of at
    // most the plan's maximum. `sampleTime` is the engine's running sample count. Returns true
    // when a player consumed a scheduled segment.
    bool render(float* const* channels, uint32_t channelCount, uint32_t frames, double& sampleTime) noexcept;

    // Render calls a unit failed (they output silence instead).
    uint64_t unitFailureCount() const { return unitFailures_.load(std::memory_order_relaxed); }

    RenderPlan(const RenderPlan&) = delete;
    RenderPlan& operator=(const RenderPlan&) = delete;

    struct Step;

private:
    struct Builder;
    RenderPlan() = default;

    bool renderPiece(uint32_t frames, double sampleTime) noexcept;
    void renderUnit(Step& step, uint32_t frames, double sampleTime) noexcept;

    Limits limits_;
    std::vector<Step> steps_;
    std::vector<UnitUse> units_;
    std::vector<float> pool_;
    std::atomic<uint64_t> unitFailures_{0};
};

struct RenderPlan::Step {
    enum class Kind { silence, player, mixer, unit };
    Kind kind = Kind::silence;
    std::shared_ptr<AVAudioNode> node;  // kept alive while the audio thread may use it
    uint32_t channels = 0;
    std::array<float*, AudioBufferList::kMaxBuffers> out{};
    std::vector<std::size_t> inputs;  // steps read: a mixer's inputs, a unit's one input
    AVAudioPlayerNode* player = nullptr;
    AUInternalRenderBlock renderBlock;
    AURenderPullInputBlock pullBlock;
};
