#include "platform/avfaudio/RenderPlan.h"

#include "platform/audiotoolbox/AUAudioUnit.h"
#include "platform/avfaudio/AVAudioPlayerNode.h"
#include "platform/avfaudio/ChannelMap.h"

#include <algorithm>
#include <string>

namespace {

constexpr const char* kDomain = "AVAudioEngine";

std::string hertz(double rate) { return std::to_string(static_cast<long long>(rate)) + " Hz"; }

void zero(float* const* channels, uint32_t channelCount, uint32_t frames) noexcept {
    for (uint32_t c = 0; c < channelCount; ++c) std::fill(channels[c], channels[c] + frames, 0.0f);
}

}  // namespace

struct RenderPlan::Builder {
    const std::vector<AVAudioConnection>& connections;
    RenderPlan& plan;
    Error* error;
    std::vector<const AVAudioNode*> path;

    bool fail(std::string message) {
        setError(error, kDomain, kAudioUnitErr_FormatNotSupported, std::move(message));
        return false;
    }

    const AVAudioConnection* inputOf(const AVAudioNode& node, AVAudioNodeBus bus) const {
        for (const auto& connection : connections) {
            if (connection.destination.get() == &node && connection.destinationBus == bus) return &connection;
        }
        return nullptr;
    }

    std::vector<const AVAudioConnection*> inputsOf(const AVAudioNode& node) const {
        std::vector<const AVAudioConnection*> inputs;
        for (const auto& connection : connections) {
            if (connection.destination.get() == &node) inputs.push_back(&connection);
        }
        std::ranges::sort(inputs, {}, &AVAudioConnection::destinationBus);
        return inputs;
    }

    bool checkFormat(const AVAudioConnection& connection) {
        if (connection.format.sampleRate() != plan.limits_.sampleRate) {
            return fail("a connection runs at " + hertz(connection.format.sampleRate()) + " and the output at " +
                        hertz(plan.limits_.sampleRate) + "; the engine does not convert sample rates");
        }
        if (connection.format.channelCount() > AudioBufferList::kMaxBuffers) {
            return fail("a connection has " + std::to_string(connection.format.channelCount()) +
                        " channels; the engine carries at most " + std::to_string(AudioBufferList::kMaxBuffers));
        }
        return true;
    }

    // Adds the steps that render what `feeding` carries; the source's own step comes last.
    std::optional<std::size_t> visit(const AVAudioConnection& feeding) {
        const AVAudioNode& node = *feeding.source;
        if (!checkFormat(feeding)) return std::nullopt;
        if (std::ranges::find(path, &node) != path.end()) {
            fail("the graph has a cycle");
            return std::nullopt;
        }
        path.push_back(&node);
        Step step;
        step.node = feeding.source;
        step.channels = feeding.format.channelCount();
        bool ok = true;
        if (auto* player = dynamic_cast<AVAudioPlayerNode*>(feeding.source.get())) {
            step.kind = Step::Kind::player;
            step.player = player;
        } else if (dynamic_cast<const AVAudioMixerNode*>(&node) != nullptr) {
            step.kind = Step::Kind::mixer;
            for (const AVAudioConnection* input : inputsOf(node)) {
                const auto index = visit(*input);
                ok = ok && index.has_value();
                if (!ok) break;
                step.inputs.push_back(*index);
            }
        } else if (node.hostedAudioUnit()) {
            step.kind = Step::Kind::unit;
            const AVAudioConnection* input = inputOf(node, 0);
            if (input != nullptr) {
                const auto index = visit(*input);
                ok = index.has_value();
                if (ok) step.inputs.push_back(*index);
            }
            if (ok) {
                plan.units_.push_back({node.hostedAudioUnit(), input ? std::optional(input->format) : std::nullopt, feeding.format});
            }
        }
        path.pop_back();
        if (!ok) return std::nullopt;
        plan.steps_.push_back(std::move(step));
        return plan.steps_.size() - 1;
    }
};

std::unique_ptr<RenderPlan> RenderPlan::build(const std::vector<AVAudioConnection>& connections, const AVAudioNode& output,
                                              Limits limits, Error* error) {
    std::unique_ptr<RenderPlan> plan(new RenderPlan());
    plan->limits_ = limits;
    plan->limits_.maximumFrames = std::max(limits.maximumFrames, 1u);
    Builder builder{connections, *plan, error, {}};
    if (const AVAudioConnection* root = builder.inputOf(output, 0)) {
        if (!builder.visit(*root)) return nullptr;
    }
    std::size_t samples = 0;
    for (const Step& step : plan->steps_) samples += std::size_t{step.channels} * plan->limits_.maximumFrames;
    plan->pool_.assign(samples, 0.0f);
    float* next = plan->pool_.data();
    for (Step& step : plan->steps_) {
        for (uint32_t c = 0; c < step.channels; ++c, next += plan->limits_.maximumFrames) step.out[c] = next;
    }
    return plan;
}

void RenderPlan::bindUnits() {
    for (Step& step : steps_) {
        if (step.kind != Step::Kind::unit) continue;
        step.renderBlock = step.node->hostedAudioUnit()->internalRenderBlock();
        const Step* upstream = step.inputs.empty() ? nullptr : &steps_[step.inputs.front()];
        // Hands the unit what its input step rendered: the step's own buffers when the unit
        // offers none, a copy otherwise. A missing input reads as silence.
        step.pullBlock = [upstream](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount frames, NSInteger,
                                    AudioBufferList* list) -> AUAudioUnitStatus {
            for (uint32_t b = 0; b < list->mNumberBuffers; ++b) {
                AudioBuffer& buffer = list->mBuffers[b];
                float* source = upstream ? upstream->out[std::min(b, upstream->channels - 1)] : nullptr;
                if (buffer.mData == nullptr && source != nullptr) {
                    buffer.mData = source;
                } else if (buffer.mData != nullptr) {
                    auto* destination = static_cast<float*>(buffer.mData);
                    if (source == nullptr) {
                        std::fill(destination, destination + frames, 0.0f);
                    } else if (destination != source) {
                        std::copy(source, source + frames, destination);
                    }
                }
                buffer.mDataByteSize = frames * sizeof(float);
            }
            return noErr;
        };
    }
}

bool RenderPlan::render(float* const* channels, uint32_t channelCount, uint32_t frames, double& sampleTime) noexcept {
    if (steps_.empty()) {
        zero(channels, channelCount, frames);
        return false;
    }
    bool consumed = false;
    std::array<float*, AudioBufferList::kMaxBuffers> out{};
    for (uint32_t offset = 0; offset < frames;) {
        const uint32_t piece = std::min(frames - offset, limits_.maximumFrames);
        consumed = renderPiece(piece, sampleTime) || consumed;
        const Step& last = steps_.back();
        for (uint32_t c = 0; c < channelCount && c < out.size(); ++c) out[c] = channels[c] + offset;
        mapChannels(last.out.data(), last.channels, out.data(), std::min<uint32_t>(channelCount, out.size()), piece, false);
        sampleTime += piece;
        offset += piece;
    }
    return consumed;
}

bool RenderPlan::renderPiece(uint32_t frames, double sampleTime) noexcept {
    bool consumed = false;
    for (Step& step : steps_) {
        switch (step.kind) {
            case Step::Kind::silence: zero(step.out.data(), step.channels, frames); break;
            case Step::Kind::player: consumed = step.player->render(step.out.data(), step.channels, frames) || consumed; break;
            case Step::Kind::mixer:
                zero(step.out.data(), step.channels, frames);
                for (const std::size_t index : step.inputs) {
                    const Step& input = steps_[index];
                    mapChannels(input.out.data(), input.channels, step.out.data(), step.channels, frames, true);
                }
                break;
            case Step::Kind::unit: renderUnit(step, frames, sampleTime); break;
        }
    }
    return consumed;
}

void RenderPlan::renderUnit(Step& step, uint32_t frames, double sampleTime) noexcept {
    if (!step.renderBlock) {
        zero(step.out.data(), step.channels, frames);
        return;
    }
    AudioBufferList list;
    list.mNumberBuffers = step.channels;
    for (uint32_t c = 0; c < step.channels; ++c) list.mBuffers[c] = {1, static_cast<uint32_t>(frames * sizeof(float)), step.out[c]};
    AudioUnitRenderActionFlags flags = 0;
    AudioTimeStamp timestamp;
    timestamp.mSampleTime = sampleTime;
    timestamp.mFlags = 1;  // the sample time is valid
    const AUAudioUnitStatus status = step.renderBlock(&flags, &timestamp, frames, 0, &list, nullptr, &step.pullBlock);
    if (status != noErr) {
        unitFailures_.fetch_add(1, std::memory_order_relaxed);
        zero(step.out.data(), step.channels, frames);
        return;
    }
    // A unit may answer with buffers of its own.
    for (uint32_t c = 0; c < step.channels; ++c) {
        const auto* produced = static_cast<const float*>(list.mBuffers[c].mData);
        if (produced == nullptr) {
            std::fill(step.out[c], step.out[c] + frames, 0.0f);
        } else if (produced != step.out[c]) {
            std::copy(produced, produced + frames, step.out[c]);
        }
    }
}
