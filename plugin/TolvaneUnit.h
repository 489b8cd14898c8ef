#pragma once

#include "platform/audiotoolbox/AUAudioUnit.h"
#include "plugin/ParameterLayout.h"

#include <memory>

namespace tolvane::plugin {

// The component the plug-ins expose: effect "aufx", subtype "vnyl", manufacturer "MrLw".
AudioComponentDescription tolvaneComponentDescription();

// A new effect unit, or null with the error. Its resources come from the bundle of the binary that
// holds it, so a plug-in finds them inside its own bundle.
std::shared_ptr<AUAudioUnit> makeTolvaneUnit(Error* error);

// Host-facing names of the effect modes, which the tree's mode parameter carries as plain indexes.
const ValueNames& tolvaneValueNames();

}  // namespace tolvane::plugin
