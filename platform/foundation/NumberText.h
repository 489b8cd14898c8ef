#pragma once

#include <optional>
#include <string_view>

// Numbers in text that is stored, sent or read back: '.' is the decimal point whatever locale the
// process runs in. A host sets the user's locale (a comma in German, for one), and the C library's
// readers follow it, so "62.25" would read as 62 there.

// The number that the whole text spells in std::from_chars' general format ("-0.5", "1e3"; no
// leading '+' or space). Beyond a double's range it reads as the infinity of its sign, too close
// to zero as a zero of its sign, as the C library's reader does. Nothing when any character is
// left over or there is no number at all.
std::optional<double> parseDouble(std::string_view text);

// The same for a float: a value beyond a float's range is an infinity.
std::optional<float> parseFloat(std::string_view text);
