#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

// The fractional delay line of the wow and flutter: a fixed ring of 4096 samples.
class DelayLine {
public:
    static constexpr int64_t capacity = 4096;

    // Stores the sample at the write head, then advances the head.
    void write(float sample) {
        buffer[static_cast<std::size_t>(writeHead)] = sample;
        writeHead = (writeHead + 1) % capacity;
    }

    // The sample d samples behind the write head, linearly interpolated; d is held to 1..4095
    // (a NaN reads at 4095), so delay 1 is the newest sample.
    float read(float d) const {
        d = d < 4095.0f ? std::max(d, 1.0f) : 4095.0f;
        const float p = static_cast<float>(writeHead) - d;
        const float fl = std::floor(p);
        const auto i = static_cast<int64_t>(fl);
        const float f = p - fl;
        const float a = buffer[static_cast<std::size_t>(i & (capacity - 1))];
        const float b = buffer[static_cast<std::size_t>((i + 1) & (capacity - 1))];
        return f * b + (1.0f - f) * a;
    }

    // A fresh line: all zeros, write head at 0.
    void clear() {
        buffer.fill(0.0f);
        writeHead = 0;
    }

    std::array<float, capacity> buffer{};
    int64_t writeHead = 0;
};
