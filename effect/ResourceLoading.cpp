#include "effect/Kessrin_VinylExtensionAudioUnit.h"

// The resource readers. They fill the render states' slots from the bundle.

void Kessrin_VinylExtensionAudioUnit::loadHissBed() {}
void Kessrin_VinylExtensionAudioUnit::loadVinylModels(RenderState&) {}
void Kessrin_VinylExtensionAudioUnit::loadBitModels(RenderState&, double) {}
void Kessrin_VinylExtensionAudioUnit::loadDriveModels(RenderState&, double) {}
void Kessrin_VinylExtensionAudioUnit::loadCrackleBeds() {}
void Kessrin_VinylExtensionAudioUnit::loadRadioBeds() {}
void Kessrin_VinylExtensionAudioUnit::loadStaticBeds() {}
void Kessrin_VinylExtensionAudioUnit::loadRadioImpulseResponses() {}
