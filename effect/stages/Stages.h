#pragma once

#include <cstdint>
#include <span>

class RenderState;

// The per-mode processing stages. Each runs once per render call, in place on the channel
// buffers, on the render thread. Knob values arrive unscaled on the 0-100 scale, in the order
// knob 1, knob 3, knob 2. A stereo stage takes the left (render) state and the mode's right
// state; CHORUS and FLANGER keep both channels in one state and take a null right buffer for a
// mono block.

// 0 VINYL
void processVinylStereo(RenderState& left, RenderState& right, float* L, float* R, uint32_t n,
                        std::span<const float> knobValues, float fs, float targetDelay, float knob1, float knob3,
                        float knob2);
void processVinylMono(RenderState& state, float* samples, uint32_t n, std::span<const float> knobValues, float fs,
                      float targetDelay, float knob1, float knob3, float knob2);

// 1 LO-FI
void processLoFiStereo(RenderState& left, RenderState& right, float* L, float* R, uint32_t n,
                       std::span<const float> knobValues, float fs, float knob1, float knob3, float knob2);
void processLoFiMono(RenderState& state, float* samples, uint32_t n, std::span<const float> knobValues, float fs,
                     float knob1, float knob3, float knob2);

// 2 FILLDRIVE
void processFillDriveStereo(RenderState& left, RenderState& right, float* L, float* R, uint32_t n,
                            std::span<const float> knobValues, float fs, float knob1, float knob3, float knob2);
void processFillDriveMono(RenderState& state, float* samples, uint32_t n, std::span<const float> knobValues,
                          float fs, float knob1, float knob3, float knob2);

// 3 ISOLATOR
void processIsolatorBands(RenderState& left, RenderState& right, float* L, float* R, uint32_t n, float fs,
                          float knob1, float knob3, float knob2);
void processIsolatorMono(RenderState& state, float* samples, uint32_t n, float fs, float knob1, float knob3,
                         float knob2);

// 4 PITCH
void processPitchStereo(RenderState& left, RenderState& right, float* L, float* R, uint32_t n, float fs,
                        float knob1, float knob3, float knob2);
void processPitchMono(RenderState& state, float* samples, uint32_t n, float fs, float knob1, float knob3,
                      float knob2);
// One channel's pitch state at rest: silent rings, read position half a ring behind the write
// position. The render block uses it when the mode leaves PITCH.
void restPitchState(RenderState& state) noexcept;

// 5 RADIO
void processRadioStereo(RenderState& left, RenderState& right, float* L, float* R, uint32_t n, bool isAM, float fs,
                        float knob1, float knob3, float knob2);
void processRadioMono(RenderState& state, float* samples, uint32_t n, bool isAM, float fs, float knob1, float knob3,
                      float knob2);

// 6 CHORUS and 7 FLANGER (R is null for a mono block)
void processChorus(RenderState& state, float* L, float* R, uint32_t n, float fs, float knob1, float knob3,
                   float knob2);
void processFlanger(RenderState& state, float* L, float* R, uint32_t n, float fs, float knob1, float knob3,
                    float knob2);
