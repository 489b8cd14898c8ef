#pragma once

#include <cstdint>

// Upper bounds on the sizes a model file may ask for. A model file is untrusted input: a few
// bytes of configuration must not be able to request gigabytes, overflow size arithmetic or
// stall a load. The bounds are far above any model this engine is meant to run.
namespace nam::limits {

// Channels of any layer or model (inputs, outputs, hidden widths).
inline constexpr int64_t kMaxChannels = 4096;
// Samples of look-back of any history: receptive fields, dilations, summed dilation spans.
inline constexpr int64_t kMaxLookback = int64_t{1} << 20;
// Largest processing block a model can be sized for.
inline constexpr int64_t kMaxBufferSize = int64_t{1} << 16;
// Floats of configuration-sized state (histories, per-block scratch, prewarm buffers) that one
// model part may hold; such state is not paid for by the file's weights.
inline constexpr int64_t kMaxStateValues = int64_t{1} << 24;

}  // namespace nam::limits
