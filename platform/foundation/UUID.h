#pragma once

#include <optional>
#include <string>
#include <string_view>

// Universally unique identifiers in their 36-character text form, as Foundation writes them:
// upper-case hexadecimal digits in groups of 8-4-4-4-12 separated by hyphens.

// A new random (version 4) identifier from the kernel's random source.
std::string newUUIDString();

// `text` as an identifier in its canonical (upper-case) form, or nothing when it is not the
// hyphenated 36-character form. Either letter case is accepted, so identifiers compare as values.
std::optional<std::string> canonicalUUIDString(std::string_view text);
