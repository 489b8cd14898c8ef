#pragma once

#include "DistrhoPlugin.hpp"
#include "plugin/AudioUnitAdapter.h"

#include <memory>
#include <string>

namespace tolvane::plugin {

// What a plug-in variant says about itself beyond what the unit reports.
struct PluginIdentity {
    const char* label;  // short restricted name: letters, digits and '_'
    const char* description;
    const char* license;
    uint32_t version;  // d_version(major, minor, micro)
    int64_t uniqueId;
};

// Exposes an AUAudioUnit as a DPF plug-in: the unit's parameters with their symbols, names,
// ranges, units, groups and hints, its latency, and its processing. The format wrappers (LV2,
// VST3, CLAP) sit on top.
class AudioUnitPlugin : public DISTRHO::Plugin {
public:
    AudioUnitPlugin(std::unique_ptr<AudioUnitAdapter> adapter, PluginIdentity identity);

    AudioUnitAdapter& adapter() const { return *adapter_; }

protected:
    const char* getLabel() const override { return identity_.label; }
    const char* getDescription() const override { return identity_.description; }
    const char* getMaker() const override { return maker_.c_str(); }
    const char* getLicense() const override { return identity_.license; }
    uint32_t getVersion() const override { return identity_.version; }
    int64_t getUniqueId() const override { return identity_.uniqueId; }

    void initAudioPort(bool input, uint32_t index, DISTRHO::AudioPort& port) override;
    void initParameter(uint32_t index, DISTRHO::Parameter& parameter) override;
    void initPortGroup(uint32_t groupId, DISTRHO::PortGroup& portGroup) override;

    float getParameterValue(uint32_t index) const override;
    void setParameterValue(uint32_t index, float value) override;

    void activate() override;
    void deactivate() override;
    void run(const float** inputs, float** outputs, uint32_t frames) override;
    void bufferSizeChanged(uint32_t newBufferSize) override;
    void sampleRateChanged(double newSampleRate) override;

private:
    void reactivateIfActive(double sampleRate, uint32_t bufferSize);

    std::unique_ptr<AudioUnitAdapter> adapter_;
    PluginIdentity identity_;
    std::string maker_;
};

}  // namespace tolvane::plugin
