#include "plugin/AudioUnitPlugin.h"

#include "platform/os/Log.h"

namespace tolvane::plugin {

namespace {

using DISTRHO::kParameterIsAutomatable;
using DISTRHO::kParameterIsBoolean;
using DISTRHO::kParameterIsInteger;

uint32_t parameterCountOf(const std::unique_ptr<AudioUnitAdapter>& adapter) {
    return adapter ? adapter->parameterCount() : 0;
}

const OSLog& pluginLog() {
    static const OSLog log("com.marlowen.tolvane.plugin", "AudioUnitPlugin");
    return log;
}

const char* const kStereoNames[2][2] = {{"Input L", "Input R"}, {"Output L", "Output R"}};
const char* const kStereoSymbols[2][2] = {{"in_l", "in_r"}, {"out_l", "out_r"}};

}  // namespace

AudioUnitPlugin::AudioUnitPlugin(std::unique_ptr<AudioUnitAdapter> adapter, PluginIdentity identity)
    : Plugin(parameterCountOf(adapter), 0, 0),
      adapter_(std::move(adapter)),
      identity_(identity),
      maker_(adapter_->unit().manufacturerName()) {
    setLatency(adapter_->latencyFrames());
}

void AudioUnitPlugin::initAudioPort(bool input, uint32_t index, DISTRHO::AudioPort& port) {
    const int direction = input ? 0 : 1;
    if (adapter_->channels() == 2 && index < 2) {
        port.name = kStereoNames[direction][index];
        port.symbol = kStereoSymbols[direction][index];
        port.groupId = DISTRHO::kPortGroupStereo;
    } else {
        port.name = input ? "Input" : "Output";
        port.symbol = input ? "in" : "out";
        port.groupId = DISTRHO::kPortGroupMono;
    }
}

void AudioUnitPlugin::initParameter(uint32_t index, DISTRHO::Parameter& parameter) {
    if (index >= adapter_->parameterCount()) return;
    const HostParameter& p = adapter_->layout().parameters[index];
    parameter.hints = kParameterIsAutomatable | (p.isBoolean ? kParameterIsBoolean : 0u) |
                      (p.isInteger ? kParameterIsInteger : 0u);
    parameter.name = p.name.c_str();
    parameter.symbol = p.symbol.c_str();
    parameter.unit = p.unitLabel.c_str();
    parameter.ranges = DISTRHO::ParameterRanges(p.defaultValue, p.minValue, p.maxValue);
    if (!p.valueNames.empty()) {
        const auto count = static_cast<uint8_t>(std::min<std::size_t>(p.valueNames.size(), 255));
        auto* values = new DISTRHO::ParameterEnumerationValue[count];  // owned and freed by DPF
        for (uint8_t i = 0; i < count; ++i)
            values[i] = DISTRHO::ParameterEnumerationValue(p.minValue + i, p.valueNames[i].c_str());
        parameter.enumValues.count = count;
        parameter.enumValues.restrictedMode = true;
        parameter.enumValues.values = values;
    }
    if (p.groupIndex) parameter.groupId = *p.groupIndex;
}

void AudioUnitPlugin::initPortGroup(uint32_t groupId, DISTRHO::PortGroup& portGroup) {
    const auto& groups = adapter_->layout().groups;
    if (groupId < groups.size()) {
        portGroup.name = groups[groupId].name.c_str();
        portGroup.symbol = groups[groupId].symbol.c_str();
    } else {
        Plugin::initPortGroup(groupId, portGroup);
    }
}

float AudioUnitPlugin::getParameterValue(uint32_t index) const { return adapter_->parameterValue(index); }

void AudioUnitPlugin::setParameterValue(uint32_t index, float value) { adapter_->setParameterValue(index, value); }

void AudioUnitPlugin::activate() {
    Error error;
    if (!adapter_->activate(getSampleRate(), getBufferSize(), &error))
        pluginLog().error("cannot activate " + adapter_->unit().audioUnitName() + ": " + error.description());
    setLatency(adapter_->latencyFrames());
}

void AudioUnitPlugin::deactivate() { adapter_->deactivate(); }

void AudioUnitPlugin::run(const float** inputs, float** outputs, uint32_t frames) {
    adapter_->run(inputs, outputs, frames);
}

// DPF deactivates around these callbacks; should a wrapper not, the unit is brought to the new
// settings here so that it never renders at a rate or block size it did not allocate for.
void AudioUnitPlugin::bufferSizeChanged(uint32_t newBufferSize) { reactivateIfActive(getSampleRate(), newBufferSize); }

void AudioUnitPlugin::sampleRateChanged(double newSampleRate) { reactivateIfActive(newSampleRate, getBufferSize()); }

void AudioUnitPlugin::reactivateIfActive(double sampleRate, uint32_t bufferSize) {
    if (!adapter_->isActive()) return;
    Error error;
    if (!adapter_->activate(sampleRate, bufferSize, &error))
        pluginLog().error("cannot reactivate " + adapter_->unit().audioUnitName() + ": " + error.description());
    setLatency(adapter_->latencyFrames());
}

}  // namespace tolvane::plugin
