#pragma once

#include <string_view>

// `text` (UTF-8) without its leading and trailing white space and line breaks: every character
// with the Unicode White_Space property (spaces of all widths, tabs, line and paragraph breaks).
// Bytes that are not valid UTF-8 count as text and stop the trimming.
std::string_view trimmedOfWhitespaceAndNewlines(std::string_view text);
