#include "effect/stages/Stages.h"

#include "effect/RenderState.h"

// Pass-through until the stage is built.
void processFillDriveStereo(RenderState&, RenderState&, float*, float*, uint32_t, std::span<const float>, float, float, float, float) {}
void processFillDriveMono(RenderState&, float*, uint32_t, std::span<const float>, float, float, float, float) {}
