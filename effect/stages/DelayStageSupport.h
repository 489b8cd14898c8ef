#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <vector>

// Helpers of the delay-based stages (PITCH, CHORUS, FLANGER).
namespace delaystage {

// Makes `line` `length` zeros. The render state reserved that storage when it was created, so
// this never touches the heap on the render thread. Without the storage the line is left alone
// and false comes back; the caller then skips its block rather than allocate.
inline bool zeroWithinReservedStorage(std::vector<float>& line, std::size_t length) {
    if (line.capacity() < length) return false;
    line.assign(length, 0.0f);
    return true;
}

// An 11-point knob curve, one entry per knob step of 10, linearly interpolated. v must already
// lie within 0..100 (dsp::knobInRange); 100 gives the last entry.
inline float knobCurve(const std::array<float, 11>& table, float v) {
    const float x = v / 100.0f * 10.0f;
    const int i = std::min(static_cast<int>(x), 9);
    const auto at = static_cast<std::size_t>(i);
    return table[at] + (table[at + 1] - table[at]) * (x - static_cast<float>(i));
}

}  // namespace delaystage
