// The panel in a real host, as a person meets it: under a private X server, jalv.gtk3 opens the
// built LV2 bundle's own interface. A screenshot shows the panel, and a pointer drag on a knob and
// a click on an effect button change the plug-in's control values as jalv sees them (read back
// from the state jalv saves through its File menu). A preset saved under a name typed on the
// keyboard shows in the display and is in the chooser when the editor opens again; the gear opens
// the settings overlay and "Done" closes it. The screenshots stay in the build tree.

#include "tests/plugin/PluginTestSupport.h"
#include "tests/plugin/Subprocess.h"
#include "tests/support/PanelLayoutModel.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempFolder.h"
#include "tests/support/VirtualScreen.h"

#include "panel/AudioUnitViewController.h"
#include "panel/model/PresetStore.h"
#include "panel/render/PanelRenderer.h"
#include "platform/dispatch/DispatchQueue.h"

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

std::string run(const std::string& command) { return runProcess({"sh", "-c", command}).output; }

// The value jalv saved for a control port.
std::optional<double> savedControl(const std::string& state, const std::string& symbol) {
    const auto port = state.find("lv2:symbol \"" + symbol + "\"");
    if (port == std::string::npos) return std::nullopt;
    const auto value = state.find("pset:value ", port);
    if (value == std::string::npos) return std::nullopt;
    return std::strtod(state.c_str() + value + 11, nullptr);
}

// How far apart two pictures are over a rectangle (given in the panel's coordinates; each
// picture has the panel `top` pixels down): the mean difference of their grey levels.
double meanDifference(const fs::path& a, int topA, const fs::path& b, int topB, int x0, int y0, int width, int height) {
    const Surface first = loadPng(a), second = loadPng(b);
    const auto grey = [](cairo_surface_t* s, int x, int y) {
        const auto* row = cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s);
        const uint32_t p = reinterpret_cast<const uint32_t*>(row)[x];
        return (((p >> 16) & 0xFF) + ((p >> 8) & 0xFF) + (p & 0xFF)) / (3 * 255.0);
    };
    double sum = 0;
    for (int y = y0; y < y0 + height; ++y) {
        for (int x = x0; x < x0 + width; ++x) sum += std::fabs(grey(first.get(), x, y + topA) - grey(second.get(), x, y + topB));
    }
    return sum / (static_cast<double>(width) * height);
}

// A private X server and JACK server (dummy sound card) for one test.
class HostDesktop {
public:
    explicit HostDesktop(const TempFolder& scratch)
        : display_(":" + std::to_string(freeDisplay())),
          xvfb_({"Xvfb", display_, "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"}, scratch.file("xvfb.log")) {
        ready_ = waitFor([&] { return runProcess({"xdpyinfo", "-display", display_}).exitCode == 0 ||
                                      fs::exists("/tmp/.X11-unix/X" + display_.substr(1)); }, 10s);
        setenv("DISPLAY", display_.c_str(), 1);
        // GTK without a session bus: settings in memory, no accessibility bridge.
        setenv("GSETTINGS_BACKEND", "memory", 1);
        setenv("NO_AT_BRIDGE", "1", 1);
        // JACK keeps a small table of servers and reclaims an entry left by a dead server only for
        // the same name, so the test takes the first free name of a short fixed list rather than
        // a new name each run.
        for (int slot = 0; slot < 4 && !jackd_; ++slot) {
            const std::string jackName = "tolvane-panel-test-" + std::to_string(slot);
            auto server = std::make_unique<BackgroundProcess>(
                std::vector<std::string>{"jackd", "--no-realtime", "-n", jackName, "-d", "dummy", "-r", "48000", "-p",
                                         "256"},
                scratch.file("jackd.log"));
            std::this_thread::sleep_for(1500ms);
            if (server->running()) {
                setenv("JACK_DEFAULT_SERVER", jackName.c_str(), 1);
                jackd_ = std::move(server);
            }
        }
        ready_ = ready_ && jackd_;
    }
    bool ready() const { return ready_; }

private:
    std::string display_;
    BackgroundProcess xvfb_;
    std::unique_ptr<BackgroundProcess> jackd_;
    bool ready_ = false;
};

// jalv.gtk3 showing the plug-in's panel; points are given in the panel's own coordinates (it
// sits at the left of jalv's window, below the menu bar, at the reference size).
class JalvPanel {
public:
    // `options` go to jalv before the plug-in's URI.
    JalvPanel(const TempFolder& scratch, const std::string& logName, std::vector<std::string> options = {})
        : log_(scratch.file(logName)), jalv_(command(std::move(options)), log_) {
        open_ = waitFor([&] {
            window_ = run("xdotool search --name '^Tolvane$' 2>/dev/null | head -n 1");
            return !window_.empty();
        }, 30s);
        if (!open_) return;
        window_.erase(window_.find_last_not_of("\n") + 1);
        std::this_thread::sleep_for(1500ms);
        std::istringstream(run("xdotool getwindowgeometry --shell " + window_ + " | grep -E 'WIDTH|HEIGHT' | cut -d= -f2")) >>
            width_ >> height_;
        top_ = height_ - 418;
    }
    bool open() const { return open_ && width_ >= 672 && height_ >= 418; }
    std::string log() const { return readFile(log_); }
    const std::string& window() const { return window_; }
    int top() const { return top_; }

    // An xdotool step that moves the pointer to a point of the panel.
    std::string at(double x, double y) const {
        return " mousemove --window " + window_ + " " + std::to_string(std::lround(x)) + " " +
               std::to_string(std::lround(y) + top_);
    }
    void click(double x, double y, std::chrono::milliseconds settle = 700ms) const {
        run("xdotool" + at(x, y) + " click 1");
        std::this_thread::sleep_for(settle);
    }
    void click(const Rect& r, std::chrono::milliseconds settle = 700ms) const { click(r.midX(), r.midY(), settle); }
    // The screen as it is now, kept under `path`, measured over a rectangle of the panel.
    ScreenRegion shoot(const fs::path& path, const Rect& r) const {
        run("import -window root " + path.string());
        return measure(path, static_cast<int>(r.x), static_cast<int>(r.y) + top_, static_cast<int>(r.width),
                       static_cast<int>(r.height));
    }
    // Shoots until the rectangle shows what `shows` looks for (a loaded machine draws late), or
    // the time is up; the last shot stays under `path`.
    template <class Condition>
    ScreenRegion await(const fs::path& path, const Rect& r, Condition shows, std::chrono::milliseconds limit = 10s) const {
        ScreenRegion region;
        waitFor([&] { return shows(region = shoot(path, r)); }, limit);
        return region;
    }
    void stop() { jalv_.stop(); }

private:
    static std::vector<std::string> command(std::vector<std::string> options) {
        options.insert(options.begin(), "jalv.gtk3");
        options.push_back("urn:marlowen:tolvane");
        return options;
    }

    fs::path log_;
    BackgroundProcess jalv_;
    std::string window_;
    bool open_ = false;
    int width_ = 0, height_ = 0, top_ = 0;
};

// A desktop of the test's own with the user's presets in a scratch folder, so that neither the
// host's panel nor the test's model of it ever touches the real ones.
class PanelInHost : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef TOLVANE_SANITIZE
        // A sanitized plug-in cannot be loaded into an uninstrumented host; the release tree runs this.
        GTEST_SKIP() << "the host is not built with the sanitizers";
#endif
        for (const char* tool : {"Xvfb", "jackd", "jalv.gtk3", "xdotool", "import"}) {
            ASSERT_TRUE(programAvailable(tool)) << tool << " is missing: run scripts/setup";
        }
        useBuildTreeLv2Path();
        fs::create_directories(shots);
        // jalv's save dialog starts in its working folder, so a plain name saves into the scratch folder.
        fs::current_path(scratch.path());
        desktop.emplace(scratch);
        ASSERT_TRUE(desktop->ready()) << readFile(scratch.file("jackd.log"));
    }

    TempFolder scratch;
    ScopedEnvironment configuration{"XDG_CONFIG_HOME", scratch.path().c_str()};
    const fs::path shots = TOLVANE_SCREENSHOT_DIR;
    std::optional<HostDesktop> desktop;
};

TEST_F(PanelInHost, JalvShowsThePanelAndItsControlsReachThePlugin) {
    JalvPanel jalv(scratch, "jalv.log");
    ASSERT_TRUE(jalv.open()) << jalv.log();

    const ScreenRegion panel = jalv.shoot(shots / "jalv-panel-opened.png", Rect{0, 0, 672, 418});
    EXPECT_LT(panel.meanBrightness, 0.35) << "a dark panel";
    EXPECT_GT(panel.spread, 0.05) << "not a blank window";
    EXPECT_GT(panel.litRed, 300) << "the lit readouts";

    // Drag the VOLUME knob up 60 points (75 -> 95), then press RADIO.
    run("xdotool" + jalv.at(534, 189) + " mousedown 1");
    for (int dy = 10; dy <= 60; dy += 10) run("xdotool" + jalv.at(536, 189 - dy) + " sleep 0.05");
    run("xdotool mouseup 1");
    jalv.click(507, 360, 1s);
    jalv.shoot(shots / "jalv-panel-radio.png", Rect{0, 0, 672, 418});

    // Ask jalv to save its state: File, Save, a folder name, Return. A loaded machine can drop a
    // click or a key, so each attempt starts over with a fresh dialog and a fresh folder name.
    const std::string& window = jalv.window();
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
    ASSERT_FALSE(stateFile.empty()) << "jalv saved no state\n" << jalv.log().substr(0, 2000);
    const std::string state = readFile(stateFile);
    EXPECT_NEAR(savedControl(state, "outputLevel").value_or(-1), 95, 1.5) << state;
    EXPECT_EQ(savedControl(state, "effectMode").value_or(-1), 5) << state;
    EXPECT_EQ(savedControl(state, "crackle").value_or(-1), 25) << "RADIO's knob defaults came along\n" << state;
}

TEST_F(PanelInHost, APresetSavedUnderATypedNameIsInTheChooserWhenTheEditorOpensAgain) {
    const std::string name = "Night Drive";
    PanelLayoutModel model;
    {
        JalvPanel jalv(scratch, "jalv-first.log");
        ASSERT_TRUE(jalv.open()) << jalv.log();
        const Rect display = model.layout().presetBar->display;
        const ScreenRegion unsaved =
            jalv.await(shots / "jalv-preset-unsaved.png", display, [](const ScreenRegion& r) { return r.litGreen > 100; });
        EXPECT_GT(unsaved.litGreen, 100) << "UNSAVED, lit green";
        model.reload();  // the factory presets the host's panel stored when it appeared
        ASSERT_EQ(model.view().presets.size(), 11u);
        const PresetBarLayout bar = *model.layout().presetBar;

        jalv.click(bar.saveAs.frame);
        model.view().beginSaveAs();
        const PresetDialogLayout dialog = *model.layout().presetDialog;
        // The proposed name comes selected; typing replaces it and ends the selection.
        const ScreenRegion proposed = jalv.await(shots / "jalv-preset-dialog.png", *dialog.field,
                                                 [](const ScreenRegion& r) { return r.selection > 100; });
        EXPECT_GT(proposed.selection, 100) << "the proposed name, selected";
        run("xdotool type --delay 40 '" + name + "'");
        const ScreenRegion typed = jalv.await(shots / "jalv-preset-dialog.png", *dialog.field,
                                              [](const ScreenRegion& r) { return r.selection == 0 && r.bright > 60; });
        EXPECT_EQ(typed.selection, 0) << "the keys reached the field";
        EXPECT_GT(typed.bright, 60) << "the typed name in the field";
        jalv.click(dialog.confirm.frame);

        const ScreenRegion saved = jalv.await(shots / "jalv-preset-display.png", bar.display,
                                              [](const ScreenRegion& r) { return r.litCyan > 100; });
        EXPECT_GT(saved.litCyan, 100) << "the saved preset's name, lit blue";
        EXPECT_LT(saved.litGreen, 20) << "no unsaved mark";
        const auto storedName = [&] {
            return readFile(UserDefaults::standardUserDefaults().filePath()).find(name) != std::string::npos;
        };
        EXPECT_TRUE(waitFor(storedName, 5s)) << "the store holds the preset";
        jalv.stop();
    }
    {
        JalvPanel jalv(scratch, "jalv-second.log");
        ASSERT_TRUE(jalv.open()) << jalv.log();
        model.reload();
        ASSERT_EQ(model.view().presets.size(), 12u);
        ASSERT_EQ(model.view().presets.back().name, name);
        const PanelLayout closed = model.layout();
        const auto barLit = [](const ScreenRegion& r) { return r.litGreen > 100; };
        jalv.await(shots / "jalv-preset-reopened.png", closed.presetBar->display, barLit);
        const ScreenRegion before = jalv.shoot(shots / "jalv-preset-reopened.png", closed.panel);

        jalv.click(closed.presetBar->listArea);
        model.view().setPresetChooserShown(true);
        const PresetChooserLayout chooser = *model.layout().presetChooser;
        ASSERT_EQ(chooser.rows.size(), 12u);
        const ScreenRegion lastRow = jalv.await(shots / "jalv-preset-chooser.png", chooser.rows.back().frame,
                                                [](const ScreenRegion& r) { return r.bright > 40; });
        EXPECT_GT(lastRow.bright, 40) << "the saved preset's row";
        const Rect belowList{chooser.rows.back().frame.x, chooser.list.y + chooser.list.height + 6,
                             chooser.rows.back().frame.width - 40, 10};
        EXPECT_EQ(jalv.shoot(shots / "jalv-preset-chooser.png", belowList).bright, 0) << "and no row after it";

        // A tap on the dimmed panel closes the list; the gear opens the overlay, "Done" closes it.
        jalv.click(chooser.dim.x + 20, chooser.dim.y + 200);
        jalv.await(shots / "jalv-settings.png", closed.presetBar->display, barLit);
        jalv.click(*closed.presetBar->gear);
        model.view().setPresetChooserShown(false);
        model.view().openSettings();
        const SettingsOverlayLayout overlay = *model.layout().settingsOverlay;
        const ScreenRegion covered = jalv.await(shots / "jalv-settings.png", closed.panel, [&](const ScreenRegion& r) {
            return r.meanBrightness < 0.5 * before.meanBrightness;
        });
        EXPECT_LT(covered.meanBrightness, 0.5 * before.meanBrightness) << "the overlay covers the panel";
        EXPECT_EQ(jalv.shoot(shots / "jalv-settings.png", closed.presetBar->display).litGreen, 0) << "no bar";
        EXPECT_GT(jalv.shoot(shots / "jalv-settings.png", overlay.done).bright, 10) << "\"Done\"";
        jalv.click(overlay.done);
        const ScreenRegion back = jalv.await(shots / "jalv-settings-done.png", closed.presetBar->display, barLit);
        EXPECT_GT(back.litGreen, 100) << "the bar is back";
        const ScreenRegion after = jalv.shoot(shots / "jalv-settings-done.png", closed.panel);
        EXPECT_NEAR(after.meanBrightness, before.meanBrightness, 0.02) << "the panel is back";
    }
}

// A GTK host runs in the user's locale, where the decimal point may be a comma; a preset saved
// through the panel there keeps its fractions in the store.
TEST_F(PanelInHost, APresetSavedInAGermanHostKeepsItsFractions) {
    ScopedEnvironment language("LANG", "de_DE.UTF-8"), everything("LC_ALL", "de_DE.UTF-8");
    PanelLayoutModel model;
    // jalv reads its own command line in the locale, so the values are written as a German user would.
    JalvPanel jalv(scratch, "jalv-german.log", {"-c", "compressor=37,5", "-c", "outputLevel=62,25"});
    ASSERT_TRUE(jalv.open()) << jalv.log();
    const auto litGreen = [](const ScreenRegion& r) { return r.litGreen > 100; };
    ASSERT_TRUE(litGreen(jalv.await(shots / "jalv-german.png", model.layout().presetBar->display, litGreen)))
        << "the panel with its factory presets stored";
    model.reload();
    jalv.click(model.layout().presetBar->saveAs.frame);
    model.view().beginSaveAs();
    const PresetDialogLayout dialog = *model.layout().presetDialog;
    jalv.await(shots / "jalv-german.png", *dialog.field, [](const ScreenRegion& r) { return r.selection > 100; });
    run("xdotool type --delay 40 'LocTest'");
    jalv.await(shots / "jalv-german.png", *dialog.field, [](const ScreenRegion& r) { return r.selection == 0; });
    jalv.click(dialog.confirm.frame);

    // The preset's own text, from its name to the end of the store.
    std::string saved;
    const auto presetStored = [&] {
        const std::string store = UserDefaults::standardUserDefaults().dataForKey(PresetStore::kDefaultsKey).value_or("");
        const auto at = store.find("\"LocTest\"");
        saved = at == std::string::npos ? "" : store.substr(at);
        return !saved.empty();
    };
    ASSERT_TRUE(waitFor(presetStored, 10s)) << "the store holds no preset LocTest";
    EXPECT_NE(saved.find("\"outputLevel\":62.25"), std::string::npos) << saved;
    EXPECT_NE(saved.find("[37.5,"), std::string::npos) << "knob 1 of the vinyl effect\n" << saved;
}

// The host hands the editor its values after the editor was built over its own unit's defaults:
// a session in mono must open saying MONO.
TEST_F(PanelInHost, AnEditorOpenedOnASessionInMonoSaysMono) {
    PanelLayoutModel model;
    PanelRenderer renderer{Bundle(TOLVANE_RESOURCE_DIR)};
    const auto layoutSaying = [&](bool mono) {
        model.view().setMonoSum(mono);
        return layoutPanel(672, 418, model.view(), renderer.textMetrics());
    };
    // The button as the panel draws it in either mode, measured over the frames of both labels.
    const Rect m = layoutSaying(true).presetBar->mono.frame, st = layoutSaying(false).presetBar->mono.frame;
    const double left = std::min(m.x, st.x), top = std::min(m.y, st.y);
    const Rect button{left, top, std::max(m.x + m.width, st.x + st.width) - left,
                      std::max(m.y + m.height, st.y + st.height) - top};
    const auto drawn = [&](bool mono) {
        const PanelLayout layout = layoutSaying(mono);
        Surface surface = makeImageSurface(672, 418);
        Context cr = makeContext(surface.get());
        renderer.draw(cr.get(), layout, model.view());
        const fs::path png = shots / (mono ? "jalv-mono-expected-mono.png" : "jalv-mono-expected-stereo.png");
        writePng(surface.get(), png);
        return png;
    };
    const fs::path monoPng = drawn(true), stereoPng = drawn(false);
    const auto x = static_cast<int>(button.x), y = static_cast<int>(button.y);
    const auto w = static_cast<int>(button.width), h = static_cast<int>(button.height);
    ASSERT_GT(meanDifference(monoPng, 0, stereoPng, 0, x, y, w, h), 0.01) << "the two labels differ over the frame";

    JalvPanel jalv(scratch, "jalv-mono.log", {"-c", "monoSumOn=1"});
    ASSERT_TRUE(jalv.open()) << jalv.log();
    const fs::path shot = shots / "jalv-panel-mono.png";
    double fromMono = 1, fromStereo = 0;
    waitFor([&] {
        jalv.shoot(shot, button);
        fromMono = meanDifference(shot, jalv.top(), monoPng, 0, x, y, w, h);
        fromStereo = meanDifference(shot, jalv.top(), stereoPng, 0, x, y, w, h);
        return fromMono < fromStereo;
    }, 10s);
    EXPECT_LT(fromMono, fromStereo) << "the button reads MONO (see " << shot << ")";
}

}  // namespace
}  // namespace tolvane::test
