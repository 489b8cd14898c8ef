#include "effect/stages/Stages.h"

#include "effect/RenderState.h"

// Pass-through until the stage is built.
void processRadioStereo(RenderState&, RenderState&, float*, float*, uint32_t, bool, float, float, float, float) {}
void processRadioMono(RenderState&, float*, uint32_t, bool, float, float, float, float) {}
