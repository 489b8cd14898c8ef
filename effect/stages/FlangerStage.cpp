#include "effect/stages/Stages.h"

#include "effect/RenderState.h"

// Pass-through until the stage is built.
void processFlanger(RenderState&, float*, float*, uint32_t, float, float, float, float) {}
