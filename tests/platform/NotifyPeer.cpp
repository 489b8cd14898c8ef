// A second process for the notify centre's tests.
//   notify_peer observe <folder> <name>...        prints "ready", then each delivered name on a
//                                                 line of its own; ends when its input ends
//   notify_peer post <folder> <count> <name>...   posts the names in turn, `count` rounds
#include "platform/foundation/DarwinNotifyCenter.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void printLine(std::string_view text) {
    std::string line(text);
    line += '\n';
    // One write per line, so lines from the delivery thread never interleave with others.
    (void)!write(STDOUT_FILENO, line.data(), line.size());
}

void printDelivery(DarwinNotifyCenter*, void*, std::string_view name, const void*, const void*) { printLine(name); }

int observe(DarwinNotifyCenter& center, const std::vector<std::string>& names) {
    static int observer;
    for (const std::string& name : names) {
        Error error;
        if (!center.addObserver(&observer, printDelivery, name, NotificationSuspensionBehavior::deliverImmediately, &error)) {
            printLine("error: " + error.localizedDescription);
            return 1;
        }
    }
    printLine("ready");
    char buffer[256];
    while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
    }
    center.removeEveryObserver(&observer);
    return 0;
}

int post(DarwinNotifyCenter& center, int rounds, const std::vector<std::string>& names) {
    for (int round = 0; round < rounds; ++round) {
        for (const std::string& name : names) {
            Error error;
            if (!center.post(name, &error)) {
                printLine("error: " + error.localizedDescription);
                return 1;
            }
        }
    }
    printLine("posted");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() >= 3 && arguments[0] == "observe") {
        DarwinNotifyCenter center(arguments[1]);
        return observe(center, {arguments.begin() + 2, arguments.end()});
    }
    if (arguments.size() >= 4 && arguments[0] == "post") {
        DarwinNotifyCenter center(arguments[1]);
        return post(center, std::atoi(arguments[2].c_str()), {arguments.begin() + 3, arguments.end()});
    }
    std::fprintf(stderr, "usage: notify_peer observe <folder> <name>... | post <folder> <count> <name>...\n");
    return 2;
}
