#pragma once

// What tests of things a person sees share: programs in the background (an X server, a host),
// a free display number, waiting for a condition, and coarse measures of a screenshot.

#include "panel/render/CairoSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tolvane::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A program started in the background with its output in a file; stopped (by its own process id)
// when the object goes.
class BackgroundProcess {
public:
    BackgroundProcess(const std::vector<std::string>& arguments, const fs::path& log) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~BackgroundProcess() { stop(); }
    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0 && !status(); }
    // Its wait status once it has ended (see waitpid), none while it runs.
    std::optional<int> status() const {
        int status = 0;
        if (!status_ && pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
        return status_;
    }
    void stop() {
        if (pid_ <= 0) return;
        // An ended process's id may be another's by now.
        if (!status()) kill(pid_, SIGTERM);
        for (int i = 0; i < 50 && !status(); ++i) std::this_thread::sleep_for(100ms);
        if (!status()) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = 0;
    }

private:
    pid_t pid_ = 0;
    mutable std::optional<int> status_;
};

// What a file holds (a program's log), empty when it cannot be read.
inline std::string readFile(const fs::path& path) {
    std::ifstream file(path);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return text;
}

// A display number nobody uses on this machine.
int freeDisplay() {
    for (int n = 200 + getpid() % 500;; ++n) {
        if (!fs::exists("/tmp/.X11-unix/X" + std::to_string(n)) && !fs::exists("/tmp/.X" + std::to_string(n) + "-lock")) {
            return n;
        }
    }
}

template <class Condition>
bool waitFor(Condition condition, std::chrono::milliseconds limit) {
    for (auto waited = 0ms; waited < limit; waited += 100ms) {
        if (condition()) return true;
        std::this_thread::sleep_for(100ms);
    }
    return condition();
}

// A private X server (Xvfb) for one test; DISPLAY names it while it lives. It never resets: by
// default Xvfb resets when its last client leaves, and a program that checks the display and then
// connects again would meet a server in the middle of its reset, which a desktop never does.
class VirtualDisplay {
public:
    explicit VirtualDisplay(const fs::path& log, const std::string& screen = "1024x768x24")
        : number_(std::to_string(freeDisplay())),
          name_(std::string(":").append(number_)),
          server_({"Xvfb", name_, "-screen", "0", screen, "-nolisten", "tcp", "-noreset"}, log) {
        const fs::path socket = fs::path("/tmp/.X11-unix") / std::string("X").append(number_);
        ready_ = waitFor([&] { return fs::exists(socket); }, 10s);
        setenv("DISPLAY", name_.c_str(), 1);
    }
    ~VirtualDisplay() { unsetenv("DISPLAY"); }
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    const std::string& name() const { return name_; }
    bool ready() const { return ready_; }

private:
    std::string number_;
    std::string name_;
    BackgroundProcess server_;
    bool ready_ = false;
};

// A private X server as bare as a desktop session's own: it resets whenever its last client
// leaves. Its screen, black at first, is a file (XWD), so a test sees what is drawn there without
// being a client that would keep the server from resetting. DISPLAY is left as it is.
class BareDisplay {
public:
    explicit BareDisplay(const fs::path& folder, const std::vector<std::string>& options = {})
        : number_(std::to_string(freeDisplay())),
          screenFile_(folder / "Xvfb_screen0"),
          server_(arguments(":" + number_, folder, options), folder / "xvfb.log") {
        // Once it takes clients, the server writes its number on a line of its own (-displayfd).
        ready_ = waitFor([&] {
            std::ifstream log(folder / "xvfb.log");
            for (std::string line; std::getline(log, line);) {
                if (line == number_) return true;
            }
            return false;
        }, 10s);
    }

    std::string name() const { return ":" + number_; }
    bool ready() const { return ready_; }
    // Whether anything but the black root shows on the screen.
    bool drawn() const {
        std::ifstream file(screenFile_, std::ios::binary);
        const std::string image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        // The header's size and its colour count (big-endian words 0 and 19); 12 bytes a colour.
        const auto word = [&](std::size_t index) {
            uint32_t value = 0;
            for (std::size_t i = 0; i < 4 && index * 4 + i < image.size(); ++i)
                value = value << 8u | static_cast<unsigned char>(image[index * 4 + i]);
            return std::size_t{value};
        };
        if (image.size() < 80) return false;
        const std::size_t pixels = word(0) + 12 * word(19);
        return pixels < image.size() && std::any_of(image.begin() + static_cast<std::ptrdiff_t>(pixels), image.end(),
                                                    [](char byte) { return byte != 0; });
    }

private:
    static std::vector<std::string> arguments(const std::string& name, const fs::path& folder,
                                              const std::vector<std::string>& options) {
        std::vector<std::string> all{"Xvfb",  name,    "-screen",        "0",     "640x480x24", "-br", "-nolisten",
                                     "tcp",   "-fbdir", folder.string(), "-displayfd", "1"};
        all.insert(all.end(), options.begin(), options.end());
        return all;
    }

    std::string number_;
    fs::path screenFile_;
    BackgroundProcess server_;
    bool ready_ = false;
};

struct ScreenRegion {
    double meanBrightness = 0;
    double spread = 0;
    int litRed = 0;    // readout-red pixels
    int litGreen = 0;  // the display's unsaved colour
    int litCyan = 0;   // the display's saved colour
    int bright = 0;    // near-white text
    int selection = 0; // a text field's selection highlight
};

ScreenRegion measure(const fs::path& png, int x0, int y0, int width, int height) {
    Surface shot = loadPng(png);
    cairo_surface_flush(shot.get());
    const int stride = cairo_image_surface_get_stride(shot.get());
    const auto* data = cairo_image_surface_get_data(shot.get());
    double sum = 0, squares = 0;
    ScreenRegion region;
    for (int y = y0; y < y0 + height; ++y) {
        for (int x = x0; x < x0 + width; ++x) {
            const uint32_t p = reinterpret_cast<const uint32_t*>(data + y * stride)[x];
            const double r = ((p >> 16) & 0xFF) / 255.0, g = ((p >> 8) & 0xFF) / 255.0, b = (p & 0xFF) / 255.0;
            const double v = (r + g + b) / 3;
            sum += v;
            squares += v * v;
            if (r > 0.7 && g < 0.35 && b < 0.35) ++region.litRed;
            if (g > 0.6 && r < 0.35 && b < 0.35) ++region.litGreen;
            if (b > 0.7 && g > 0.45 && r < 0.35) ++region.litCyan;
            if (v > 0.75) ++region.bright;
            if (b > 0.5 && r < 0.35 && g > 0.28 && g < 0.55) ++region.selection;
        }
    }
    const double n = static_cast<double>(width) * height;
    region.meanBrightness = sum / n;
    region.spread = std::sqrt(std::max(0.0, squares / n - region.meanBrightness * region.meanBrightness));
    return region;
}

}  // namespace tolvane::test
