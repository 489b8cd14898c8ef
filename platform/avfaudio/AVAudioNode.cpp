#include "platform/avfaudio/AVAudioNode.h"

#include "platform/audiotoolbox/AUAudioUnit.h"
#include "platform/avfaudio/AVAudioEngine.h"

namespace {

uint32_t busCount(AUAudioUnitBusArray* busses) { return busses != nullptr ? static_cast<uint32_t>(busses->count()) : 0; }

std::optional<AVAudioFormat> busFormat(AUAudioUnitBusArray* busses, AVAudioNodeBus bus) {
    if (busses == nullptr || bus >= busses->count()) return std::nullopt;
    return (*busses)[bus].format();
}

}  // namespace

AVAudioNode::AVAudioNode(std::shared_ptr<AUAudioUnit> unit) : unit_(std::move(unit)) {}

AVAudioNode::~AVAudioNode() = default;

uint32_t AVAudioNode::numberOfInputs() const { return unit_ ? busCount(unit_->inputBusses()) : 0; }

uint32_t AVAudioNode::numberOfOutputs() const { return unit_ ? busCount(unit_->outputBusses()) : 0; }

std::optional<AVAudioFormat> AVAudioNode::inputFormatForBus(AVAudioNodeBus bus) const {
    if (engine_ != nullptr) {
        if (auto format = engine_->connectionFormat(*this, bus, AVAudioEngine::Side::input)) return format;
    }
    return unconnectedInputFormat(bus);
}

std::optional<AVAudioFormat> AVAudioNode::outputFormatForBus(AVAudioNodeBus bus) const {
    if (engine_ != nullptr) {
        if (auto format = engine_->connectionFormat(*this, bus, AVAudioEngine::Side::output)) return format;
    }
    return unconnectedOutputFormat(bus);
}

void AVAudioNode::removeTapOnBus(AVAudioNodeBus) {}

std::optional<AVAudioFormat> AVAudioNode::unconnectedInputFormat(AVAudioNodeBus bus) const {
    return unit_ ? busFormat(unit_->inputBusses(), bus) : std::nullopt;
}

std::optional<AVAudioFormat> AVAudioNode::unconnectedOutputFormat(AVAudioNodeBus bus) const {
    return unit_ ? busFormat(unit_->outputBusses(), bus) : std::nullopt;
}

std::optional<AVAudioFormat> AVAudioOutputNode::unconnectedOutputFormat(AVAudioNodeBus bus) const {
    if (bus != 0 || engine() == nullptr) return std::nullopt;
    return engine()->deviceFormat();
}

std::optional<AVAudioFormat> AVAudioInputNode::unconnectedOutputFormat(AVAudioNodeBus bus) const {
    if (bus != 0 || engine() == nullptr) return std::nullopt;
    return engine()->deviceInputFormat();
}
