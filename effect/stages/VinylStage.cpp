#include "effect/stages/Stages.h"

#include "effect/RenderState.h"

// Pass-through until the stage is built.
void processVinylStereo(RenderState&, RenderState&, float*, float*, uint32_t, std::span<const float>, float, float, float, float, float) {}
void processVinylMono(RenderState&, float*, uint32_t, std::span<const float>, float, float, float, float, float) {}
