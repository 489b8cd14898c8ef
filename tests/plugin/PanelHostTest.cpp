// The panel in a real host, as a person meets it: under a private X server, jalv.gtk3 opens the
// built LV2 bundle's own interface; a screenshot shows the panel, and a pointer drag on a knob and
// a click on an effect button change the plug-in's control values as jalv sees them (read back
// from the state jalv saves through its File menu). The last screenshots stay in the build tree.

#include "tests/plugin/PluginTestSupport.h"
#include "tests/plugin/Subprocess.h"
#include "tests/support/TempFolder.h"

#include "panel/render/CairoSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace tolvane::test {
namespace {

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
    bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 50 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) std::this_thread::sleep_for(100ms);
        if (waitpid(pid_, nullptr, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = 0;
    }

private:
    pid_t pid_ = 0;
};

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
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

std::string run(const std::string& command) { return runProcess({"sh", "-c", command}).output; }

// The value jalv saved for a control port.
std::optional<double> savedControl(const std::string& state, const std::string& symbol) {
    const auto port = state.find("lv2:symbol \"" + symbol + "\"");
    if (port == std::string::npos) return std::nullopt;
    const auto value = state.find("pset:value ", port);
    if (value == std::string::npos) return std::nullopt;
    return std::strtod(state.c_str() + value + 11, nullptr);
}

struct ScreenRegion {
    double meanBrightness = 0;
    double spread = 0;
    int litRed = 0;  // readout-red pixels
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
        }
    }
    const double n = static_cast<double>(width) * height;
    region.meanBrightness = sum / n;
    region.spread = std::sqrt(std::max(0.0, squares / n - region.meanBrightness * region.meanBrightness));
    return region;
}

TEST(PanelInHost, JalvShowsThePanelAndItsControlsReachThePlugin) {
#ifdef TOLVANE_SANITIZE
    // A sanitized plug-in cannot be loaded into an uninstrumented host; the release tree runs this.
    GTEST_SKIP() << "the host is not built with the sanitizers";
#endif
    for (const char* tool : {"Xvfb", "jackd", "jalv.gtk3", "xdotool", "import"}) {
        ASSERT_TRUE(programAvailable(tool)) << tool << " is missing: run scripts/setup";
    }
    useBuildTreeLv2Path();
    TempFolder scratch;
    const fs::path shots = TOLVANE_SCREENSHOT_DIR;
    fs::create_directories(shots);

    const std::string display = ":" + std::to_string(freeDisplay());
    BackgroundProcess xvfb({"Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, scratch.file("xvfb.log"));
    ASSERT_TRUE(waitFor([&] { return runProcess({"xdpyinfo", "-display", display}).exitCode == 0 ||
                                     fs::exists("/tmp/.X11-unix/X" + display.substr(1)); }, 10s));
    setenv("DISPLAY", display.c_str(), 1);
    // GTK without a session bus: settings in memory, no accessibility bridge.
    setenv("GSETTINGS_BACKEND", "memory", 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    // A JACK server of this test's own, with a dummy sound card. JACK keeps a small table of
    // servers and reclaims an entry left by a dead server only for the same name, so the test
    // takes the first free name of a short fixed list rather than a new name each run.
    std::unique_ptr<BackgroundProcess> jackd;
    for (int slot = 0; slot < 4 && !jackd; ++slot) {
        const std::string jackName = "tolvane-panel-test-" + std::to_string(slot);
        auto server = std::make_unique<BackgroundProcess>(
            std::vector<std::string>{"jackd", "--no-realtime", "-n", jackName, "-d", "dummy", "-r", "48000", "-p", "256"},
            scratch.file("jackd.log"));
        std::this_thread::sleep_for(1500ms);
        if (server->running()) {
            setenv("JACK_DEFAULT_SERVER", jackName.c_str(), 1);
            jackd = std::move(server);
        }
    }
    ASSERT_TRUE(jackd) << readFile(scratch.file("jackd.log"));

    // jalv's save dialog starts in its working folder, so a plain name saves into the scratch folder.
    fs::current_path(scratch.path());
    BackgroundProcess jalv({"jalv.gtk3", "urn:marlowen:tolvane"}, scratch.file("jalv.log"));
    std::string window;
    ASSERT_TRUE(waitFor([&] {
        window = run("xdotool search --name '^Tolvane$' 2>/dev/null | head -n 1");
        return !window.empty();
    }, 30s)) << readFile(scratch.file("jalv.log"));
    window.erase(window.find_last_not_of("\n") + 1);
    std::this_thread::sleep_for(1500ms);

    // The panel fills the window below jalv's menu bar.
    int width = 0, height = 0;
    std::istringstream(run("xdotool getwindowgeometry --shell " + window + " | grep -E 'WIDTH|HEIGHT' | cut -d= -f2")) >>
        width >> height;
    ASSERT_GE(width, 672);
    ASSERT_GE(height, 418);
    const int top = height - 418;
    const auto at = [&](int x, int y) {
        return " mousemove --window " + window + " " + std::to_string(x) + " " + std::to_string(y + top);
    };

    const fs::path opened = shots / "jalv-panel-opened.png";
    run("import -window root " + opened.string());
    const ScreenRegion panel = measure(opened, 0, top, 672, 418);
    EXPECT_LT(panel.meanBrightness, 0.35) << "a dark panel";
    EXPECT_GT(panel.spread, 0.05) << "not a blank window";
    EXPECT_GT(panel.litRed, 300) << "the lit readouts";

    // Drag the VOLUME knob up 60 points (75 -> 95), then press RADIO.
    run("xdotool" + at(534, 189) + " mousedown 1");
    for (int dy = 10; dy <= 60; dy += 10) run("xdotool" + at(536, 189 - dy) + " sleep 0.05");
    run("xdotool mouseup 1");
    run("xdotool" + at(507, 360) + " click 1");
    std::this_thread::sleep_for(1s);
    const fs::path changed = shots / "jalv-panel-radio.png";
    run("import -window root " + changed.string());

    // Ask jalv to save its state: File, Save, a folder name, Return. A loaded machine can drop a
    // click or a key, so each attempt starts over with a fresh dialog and a fresh folder name.
    const auto dialogOpen = [] { return !run("xdotool search --name '^Save' 2>/dev/null").empty(); };
    fs::path stateFile;
    const auto stateSavedIn = [&](const fs::path& folder) {
        if (!fs::is_directory(folder)) return false;
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (entry.path().extension() == ".ttl" && readFile(entry.path()).find("outputLevel") != std::string::npos) {
                stateFile = entry.path();
                return true;
            }
        }
        return false;
    };
    for (int attempt = 0; attempt < 4 && stateFile.empty(); ++attempt) {
        while (dialogOpen()) {
            run("xdotool search --name '^Save' windowactivate --sync key Escape 2>/dev/null");
            waitFor([&] { return !dialogOpen(); }, 3s);
        }
        run("xdotool mousemove --window " + window + " 19 12 click 1 sleep 1 mousemove --window " + window +
            " 46 37 click 1");
        if (!waitFor(dialogOpen, 10s)) continue;
        std::this_thread::sleep_for(1s);
        const std::string name = "state" + std::to_string(attempt);
        run("xdotool type --delay 40 '" + name + "'");
        // The first Return may only close the name field's completion list.
        for (int press = 0; press < 3 && !stateSavedIn(scratch.path() / name); ++press) {
            if (dialogOpen()) run("xdotool key Return");
            waitFor([&] { return stateSavedIn(scratch.path() / name); }, 3s);
        }
    }
    ASSERT_FALSE(stateFile.empty()) << "jalv saved no state\n" << readFile(scratch.file("jalv.log")).substr(0, 2000);
    const std::string state = readFile(stateFile);
    EXPECT_NEAR(savedControl(state, "outputLevel").value_or(-1), 95, 1.5) << state;
    EXPECT_EQ(savedControl(state, "effectMode").value_or(-1), 5) << state;
    EXPECT_EQ(savedControl(state, "crackle").value_or(-1), 25) << "RADIO's knob defaults came along\n" << state;

    jalv.stop();
    jackd->stop();
    xvfb.stop();
}

}  // namespace
}  // namespace tolvane::test
