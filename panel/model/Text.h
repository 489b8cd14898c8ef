#pragma once

#include <string>
#include <string_view>
#include <vector>

// Unicode text as the panel treats names, on UTF-8 strings (bytes that are not UTF-8 read as
// U+FFFD). No locale takes part anywhere: a name behaves alike for every user. Names are trimmed
// with `trimmedOfWhitespaceAndNewlines` (platform/foundation/Trimming.h).

// Full default upper-casing, where one character may become several ("ß" gives "SS").
std::string uppercased(std::string_view text);

// `a` and `b` are the same text once letter case and diacritical marks are set aside, and
// precomposed and decomposed forms count as one ("dústy vinyl" equals "Dusty Vinyl").
bool equalIgnoringCaseAndDiacritics(std::string_view a, std::string_view b);

// The user-perceived characters of `text` in order, each as its UTF-8 bytes: a base letter with its
// combining marks, a pair of line-break characters or a flag is one entry.
std::vector<std::string> userPerceivedCharacters(std::string_view text);

// The character begins with a letter or a decimal digit of any script.
bool isLetterOrDigit(std::string_view character);
