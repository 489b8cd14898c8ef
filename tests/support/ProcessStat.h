#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane::test {

// What /proc/<pid>/stat says of a process: its state letter and the CPU time it used so far.
struct ProcessStat {
    char state = '?';
    double cpuSeconds = 0;
};

// Nothing when the process or thread is gone or the line cannot be read. The command name may
// hold spaces and parentheses, so the fields are counted from the last ')'.
inline std::optional<ProcessStat> readProcessStat(const std::filesystem::path& statFile) {
    std::ifstream file(statFile);
    const std::string text((std::istreambuf_iterator<char>(file)), {});
    const auto close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) return std::nullopt;
    std::string_view rest = std::string_view(text).substr(close + 2);
    ProcessStat stat;
    stat.state = rest.front();
    // Field 3 is the state; 14 and 15 are user and system time in clock ticks.
    long ticks = 0;
    for (int index = 3; index <= 15 && !rest.empty(); ++index) {
        const auto end = std::min(rest.find(' '), rest.size());
        if (index >= 14) {
            long value = 0;
            std::from_chars(rest.data(), rest.data() + end, value);
            ticks += value;
        }
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    stat.cpuSeconds = static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
    return stat;
}

inline std::optional<ProcessStat> readProcessStat(pid_t pid) {
    return readProcessStat("/proc/" + std::to_string(pid) + "/stat");
}

}  // namespace tolvane::test
