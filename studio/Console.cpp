#include "studio/Console.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tolvane::studio {

void printLine(std::string_view line) {
    std::string text(line);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void fatalError(std::string_view message) {
    std::string text = "Fatal error: ";
    text += message;
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace tolvane::studio
