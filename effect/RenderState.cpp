#include "effect/RenderState.h"

RenderState::RenderState() {
    pitchBuf.reserve(kPitchBufLength);
    pitchDelayBuf.reserve(kPitchDelayBufLength);
    chorusIIILBuf.reserve(kModulatedLineLength);
    chorusIIIRBuf.reserve(kModulatedLineLength);
    flangerLBuf.reserve(kModulatedLineLength);
    flangerRBuf.reserve(kModulatedLineLength);
}
