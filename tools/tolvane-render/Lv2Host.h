#pragma once

#include "platform/foundation/Error.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tolvane::render {

// Errors of the offline host have this domain.
inline constexpr const char* kRenderErrorDomain = "tolvane-render";
enum RenderErrorCode : int64_t {
    kErrorUsage = -1,
    kErrorPluginNotFound = -2,
    kErrorPluginUnusable = -3,
    kErrorUnknownParameter = -4,
    kErrorBadValue = -5,
    kErrorInputFile = -6,
    kErrorOutputFile = -7,
    kErrorRateMismatch = -8,
    kErrorChannels = -9,
    kErrorUnsupportedRate = -10,
};

// A control input of the plug-in, as its description declares it.
struct ControlInput {
    uint32_t index = 0;
    std::string symbol;
    std::string name;
    float minValue = 0;
    float maxValue = 1;
    float defaultValue = 0;
    std::vector<std::pair<std::string, float>> scalePoints;  // label, value
    // The port's description gives its range and default as fractions of the sample rate (the
    // LV2 sample-rate property); from instantiation on they are in hertz at the host's rate.
    bool scaledByRate = false;
};

// One LV2 plug-in loaded through lilv as a host loads it: the description from its bundle, the
// binary instantiated with the URID-map and options features, every port connected to buffers
// owned here.
class Lv2Host {
public:
    // `plugin` is a bundle folder (holding exactly one plug-in) or a plug-in URI looked up on
    // LV2_PATH. Null with the error when nothing usable is found.
    static std::unique_ptr<Lv2Host> open(const std::string& plugin, Error* error);
    ~Lv2Host();
    Lv2Host(const Lv2Host&) = delete;
    Lv2Host& operator=(const Lv2Host&) = delete;

    const std::string& uri() const;
    const std::string& name() const;
    uint32_t audioInputCount() const;
    uint32_t audioOutputCount() const;
    const std::vector<ControlInput>& controlInputs() const;
    const ControlInput* findControl(const std::string& symbol) const;

    // Creates the instance for this rate and largest block, with every control at its default.
    bool instantiate(double sampleRate, uint32_t maximumBlock, Error* error);
    // The value for a control input: a number in its range or the label of one of its scale points.
    bool setControl(const std::string& symbol, const std::string& value, Error* error);

    void activate();
    void deactivate();
    // Processes `frames` (at most the maximum block) from the input buffers into the output buffers.
    void run(uint32_t frames);
    float* audioInput(uint32_t channel);
    const float* audioOutput(uint32_t channel) const;
    // The value of the plug-in's latency output after a run, when it has one.
    std::optional<float> reportedLatency() const;

private:
    struct State;
    explicit Lv2Host(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace tolvane::render
