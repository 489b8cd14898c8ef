#pragma once

#include <cstdint>
#include <span>

class RenderState;

// The model step of one VINYL channel, in place: the two vinyl profiles whose knob values
// bracket knob 1 run on the channel (+8 dB in), their results are blended linearly and trimmed by
// an amount that follows knob 1. The stage entry points call it once per channel; it is declared
// here so that tests can reach it alone. knobValues[i] is the knob value of state.vinylPlayers[i].
void runVinylModels(RenderState& state, float* samples, uint32_t n, std::span<const float> knobValues, float knob1);
// The same for two channels, each with its own state: every channel's result is exactly what
// runVinylModels gives it alone. The two channels' models run side by side, which is faster.
void runVinylModelsStereo(RenderState& left, RenderState& right, float* L, float* R, uint32_t n,
                          std::span<const float> knobValues, float knob1);

// The compressor's look-ahead at rate fs, in samples: 1 ms rounded up, at most 511.
int64_t compressorLookahead(float fs) noexcept;
