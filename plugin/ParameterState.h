#pragma once

#include "platform/foundation/Error.h"
#include "plugin/AudioUnitAdapter.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace tolvane::plugin {

// A saved state is a few hundred bytes; a document far larger is not one of ours.
inline constexpr std::size_t kLargestParameterState = std::size_t{64} << 10;

// The settings a host stores for a plug-in whose format keeps no parameter values of its own
// (CLAP): every parameter by its stable symbol, as a small JSON document
//   {"format": "tolvane-parameters", "version": 1, "parameters": {"compressor": 50, ...}}.
std::string saveParameterState(const AudioUnitAdapter& adapter);

// Applies a stored document: each known symbol takes its value (conformed to the parameter's
// range and steps, as a host change is); symbols the plug-in does not know are ignored and
// parameters the document lacks keep their value. A document that is not one of ours (larger than
// kLargestParameterState, nested deeper than kMaxJSONNesting, or of another format), or holds a
// value that is not a finite number, changes nothing and gives false with the reason.
bool loadParameterState(AudioUnitAdapter& adapter, std::string_view document, Error* error);

}  // namespace tolvane::plugin
