#include "plugin/TolvaneUnit.h"

#include "effect/Kessrin_VinylExtensionAudioUnit.h"

namespace tolvane::plugin {

AudioComponentDescription tolvaneComponentDescription() {
    return {fourCharCode("aufx"), fourCharCode("vnyl"), fourCharCode("MrLw"), 0, 0};
}

std::shared_ptr<AUAudioUnit> makeTolvaneUnit(Error* error) {
    return makeAudioUnit(tolvaneComponentDescription(), 0, error);
}

const ValueNames& tolvaneValueNames() {
    static const ValueNames names{
        {"effectMode", {"VINYL", "LO-FI", "FILLDRIVE", "ISOLATOR", "PITCH", "RADIO", "CHORUS", "FLANGER"}},
    };
    return names;
}

}  // namespace tolvane::plugin
