#include "platform/os/Log.h"

#include <cstdio>
#include <utility>

namespace {
// A message always stays on its own line, so a reader can split the stream by line feeds.
void appendOnOneLine(std::string& line, std::string_view text) {
    for (const char c : text) line.push_back(c == '\n' || c == '\r' ? ' ' : c);
}
}  // namespace

OSLog::OSLog(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void OSLog::info(std::string_view message) const { write("info", message); }

void OSLog::error(std::string_view message) const { write("error", message); }

void OSLog::write(std::string_view level, std::string_view message) const {
    std::string line;
    line.reserve(subsystem_.size() + category_.size() + level.size() + message.size() + 8);
    line += '[';
    appendOnOneLine(line, subsystem_);
    line += ':';
    appendOnOneLine(line, category_);
    line += "] ";
    line += level;
    line += ": ";
    appendOnOneLine(line, message);
    line += '\n';
    // One call per line: stdio locks the stream, so lines from different threads never interleave.
    std::fwrite(line.data(), 1, line.size(), stderr);
}
