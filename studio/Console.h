#pragma once

#include <string_view>

namespace tolvane::studio {

// One line on standard output, flushed at once (the application's console messages).
void printLine(std::string_view line);

// Prints "Fatal error: <message>" on standard error and stops the program.
[[noreturn]] void fatalError(std::string_view message);

}  // namespace tolvane::studio
