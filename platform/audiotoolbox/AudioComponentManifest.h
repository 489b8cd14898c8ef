#pragma once

#include "platform/audiotoolbox/AudioTypes.h"
#include "platform/foundation/Error.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What an installed plug-in bundle tells the component system about the component it carries,
// in a JSON file at the bundle's top:
//   { "type": "aufx", "subtype": "vnyl", "manufacturer": "MrLw",
//     "name": "Tolvane", "manufacturerName": "MrLw", "version": "1.0.0",
//     "executable": "tolvane-extension", "arguments": ["--channels", "2"] }
// The executable (a path relative to the bundle, inside it) is the extension that serves the
// component in a process of its own; "arguments" is optional.
struct AudioComponentManifest {
    static constexpr std::string_view kFileName = "component.json";

    AudioComponentDescription description;
    std::string name;
    std::string manufacturerName;
    std::string versionString;
    std::filesystem::path bundlePath;
    std::filesystem::path executablePath;  // absolute
    std::vector<std::string> arguments;
};

// Reads the manifest of the bundle folder `bundle`. Nothing, with the reason in `error`, when the
// file is missing or malformed, a code is not four one-byte characters, a text holds a NUL
// character, or the executable is missing, not executable, or outside the bundle once links
// are resolved.
std::optional<AudioComponentManifest> readAudioComponentManifest(const std::filesystem::path& bundle, Error* error);

// True when `component` is what `wanted` asks for: each of type, subtype and manufacturer equal,
// or zero in `wanted` (zero matches anything); flags compared under `wanted`'s mask.
bool componentMatches(const AudioComponentDescription& component, const AudioComponentDescription& wanted);
