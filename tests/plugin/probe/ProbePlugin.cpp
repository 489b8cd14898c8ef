// A tiny LV2 plug-in for the offline host's tests. Its "cutoff" port carries the LV2 sample-rate
// property (range and default are fractions of the rate); the output is the input scaled by
// cutoff / rate, so the value the host passed can be read back from the audio. Its "poison" port
// puts a NaN into the first sample of every block.

#include <lv2/core/lv2.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

struct Probe {
    double rate = 0;
    const float* in = nullptr;
    float* out = nullptr;
    const float* cutoff = nullptr;
    const float* poison = nullptr;
};

LV2_Handle instantiate(const LV2_Descriptor*, double rate, const char*, const LV2_Feature* const*) {
    auto* probe = new Probe;
    probe->rate = rate;
    return probe;
}

void connect(LV2_Handle handle, uint32_t port, void* data) {
    auto* probe = static_cast<Probe*>(handle);
    switch (port) {
        case 0: probe->in = static_cast<const float*>(data); break;
        case 1: probe->out = static_cast<float*>(data); break;
        case 2: probe->cutoff = static_cast<const float*>(data); break;
        case 3: probe->poison = static_cast<const float*>(data); break;
        default: break;
    }
}

void run(LV2_Handle handle, uint32_t frames) {
    const auto* probe = static_cast<const Probe*>(handle);
    const auto gain = static_cast<float>(*probe->cutoff / probe->rate);
    for (uint32_t i = 0; i < frames; ++i) probe->out[i] = probe->in[i] * gain;
    if (*probe->poison > 0.5f && frames > 0) probe->out[0] = std::numeric_limits<float>::quiet_NaN();
}

void cleanup(LV2_Handle handle) { delete static_cast<Probe*>(handle); }

const LV2_Descriptor kDescriptor = {"urn:tolvane:test:probe", instantiate, connect, nullptr, run, nullptr, cleanup, nullptr};

}  // namespace

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index == 0 ? &kDescriptor : nullptr;
}
