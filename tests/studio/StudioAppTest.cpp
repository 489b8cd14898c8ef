// The studio as a person meets it: under a private X server with the null audio output, driven
// with xdotool and checked on screenshots (kept in the build tree). It starts before the plug-in
// is installed and shows its first message; the installed effect then loads in a process of its
// own and its panel shows in the window; Play plays through it; the panel's gear opens the
// studio's settings sheet, whose hiss controls reach the effect's parameters there; the effect's
// process killed shows the crash and stops playback; the update command is disabled when no feed
// is configured; Quit ends the studio.

#include "panel/AudioUnitViewController.h"
#include "panel/layout/PanelLayout.h"
#include "panel/render/PanelRenderer.h"
#include "platform/dispatch/DispatchQueue.h"
#include "studio/content/ContentLayout.h"
#include "studio/settings/SettingsLayout.h"
#include "studio/ui/Menu.h"
#include "studio/ui/StudioRenderer.h"
#include "tests/plugin/Subprocess.h"
#include "tests/studio/StudioSandbox.h"
#include "tests/studio/ScriptedHardware.h"
#include "tests/support/PanelLayoutModel.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempFolder.h"
#include "tests/support/VirtualScreen.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <fstream>
#include <sstream>

namespace tolvane::test {
namespace {

using studio::ContentSnapshot;

// The number written right after the first `key` in `text`.
std::optional<double> numberAfter(const std::string& text, const std::string& key) {
    const auto at = text.find(key);
    if (at == std::string::npos) return std::nullopt;
    try {
        return std::stod(text.substr(at + key.size()));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string run(const std::string& command) { return runProcess({"sh", "-c", command}).output; }

// The extension processes the studio started.
std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> children;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(parent) + "/task")) {
        std::istringstream list(readFile(task.path() / "children"));
        for (pid_t child; list >> child;) children.push_back(child);
    }
    return children;
}

// Coarse measures of a rectangle: how many pixels are bright, and how far across they reach.
struct Ink {
    int bright = 0;
    int left = -1, right = -1;
    double maxBrightness = 0;
};

Ink inkIn(const fs::path& png, const Rect& r, double threshold = 0.6) {
    Surface shot = loadPng(png);
    cairo_surface_flush(shot.get());
    const int stride = cairo_image_surface_get_stride(shot.get());
    const auto* data = cairo_image_surface_get_data(shot.get());
    Ink ink;
    for (int y = static_cast<int>(r.y); y < static_cast<int>(r.y + r.height); ++y) {
        for (int x = static_cast<int>(r.x); x < static_cast<int>(r.x + r.width); ++x) {
            const uint32_t p = reinterpret_cast<const uint32_t*>(data + y * stride)[x];
            const double v = (((p >> 16) & 0xFF) + ((p >> 8) & 0xFF) + (p & 0xFF)) / (3 * 255.0);
            ink.maxBrightness = std::max(ink.maxBrightness, v);
            if (v < threshold) continue;
            ++ink.bright;
            if (ink.left < 0 || x < ink.left) ink.left = x;
            ink.right = std::max(ink.right, x);
        }
    }
    return ink;
}

// The application menu's rows as the studio lays them out (titles and shortcut only matter here).
std::vector<studio::MenuItem> applicationMenu() {
    return {{"About Tolvane", "", true, false, {}},
            {"Check for Updates\u2026", "", false, false, {}},
            {"Quit", "Ctrl+Q", true, true, {}}};
}

Rect moved(const Rect& r, double dx, double dy) { return Rect{r.x + dx, r.y + dy, r.width, r.height}; }

// The studio started in the background, its window found on the private screen.
class Studio {
public:
    Studio(const fs::path& log) : log_(log), process_({TOLVANE_STUDIO}, log) {
        const std::string found = run("xdotool search --sync --onlyvisible --name '^Tolvane$' 2>/dev/null | head -1");
        window_ = found.substr(0, found.find('\n'));
    }
    bool running() const { return process_.running(); }
    std::optional<int> status() const { return process_.status(); }
    pid_t pid() const { return process_.pid(); }
    std::string log() const { return readFile(log_); }
    const std::string& window() const { return window_; }

    // The window's place on the screen and its size.
    Rect frame() const {
        const std::string geometry = run("xdotool getwindowgeometry --shell " + window_);
        const auto value = [&](const std::string& key) { return numberAfter(geometry, "\n" + key + "=").value_or(0.0); };
        return Rect{value("X"), value("Y"), value("WIDTH"), value("HEIGHT")};
    }

    // A screenshot of the whole screen.
    void shoot(const fs::path& png) const { run("import -window root " + png.string()); }
    // Clicks at a point of the window.
    void click(double x, double y) const {
        const Rect f = frame();
        run("xdotool mousemove " + std::to_string(static_cast<int>(f.x + x)) + " " +
            std::to_string(static_cast<int>(f.y + y)) + " sleep 0.1 click 1 sleep 0.2");
    }
    void click(const Rect& r) const { click(r.midX(), r.midY()); }

private:
    fs::path log_;
    BackgroundProcess process_;
    std::string window_;
};

class StudioApp : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"Xvfb", "import", "xdotool"})
            ASSERT_TRUE(programAvailable(tool)) << tool << " is missing: run scripts/setup";
        fs::create_directories(shots);
        ASSERT_TRUE(screen.ready());
    }

    // The studio's own layout of its content for a window of that size.
    studio::ContentLayout content(const Rect& window, const ContentSnapshot& snapshot) const {
        return studio::layoutContent(Rect{0, studio::kMenuBarHeight, window.width, window.height - studio::kMenuBarHeight},
                                     snapshot, 4, resources.metrics());
    }

    // Shoots until `shows` holds for the shot (a loaded machine draws late).
    template <class Condition>
    bool await(const fs::path& png, Condition shows, std::chrono::milliseconds limit = 20s) {
        return waitFor([&] {
            studio->shoot(png);
            return shows(png);
        }, limit);
    }

    // Starts the studio with the effect installed and waits for the effect's panel in its window;
    // where the panel is on the screen.
    std::optional<Rect> startWithThePanel(const std::string& name) {
        if (!fs::exists(plugins / "tolvane.lv2"))
            fs::create_directory_symlink(fs::path(TOLVANE_LV2_DIR) / "tolvane.lv2", plugins / "tolvane.lv2");
        studio.emplace(scratch.file(name + ".log"));
        if (studio->window().empty() || !waitFor([&] { return studio->frame().width >= 680; }, 60s)) return std::nullopt;
        const Rect window = studio->frame();
        ContentSnapshot loaded;
        loaded.effectArea = ContentSnapshot::EffectArea::effectView;
        loaded.effectViewWidth = 672;
        loaded.effectViewHeight = 418;
        loaded.showAudioControls = true;
        const Rect area = moved(content(window, loaded).effectArea, window.x, window.y);
        const bool lit = await(shots / (name + ".png"), [&](const fs::path& png) {
            return measure(png, area.x, area.y, area.width, area.height).litRed > 300;
        });
        if (!lit) return std::nullopt;
        return area;
    }

    StudioSandbox sandbox;
    TempFolder& scratch = sandbox.scratch;
    const fs::path& plugins = sandbox.plugins;
    const fs::path shots = TOLVANE_SCREENSHOT_DIR;
    VirtualDisplay screen{scratch.file("xvfb.log")};
    const studio::StudioResources resources{Bundle(TOLVANE_STUDIO_RESOURCE_DIR)};
    std::optional<Studio> studio;
};

TEST_F(StudioApp, LoadsTheEffectPlaysOpensItsSettingsAndSurvivesTheEffectCrashing) {
    studio.emplace(scratch.file("studio.log"));
    ASSERT_FALSE(studio->window().empty()) << studio->log();

    // 1. Before the plug-in is installed: the first message, centred in its area.
    ContentSnapshot message;
    message.message = "No Audio Unit loaded..";
    const auto waiting = content(studio->frame(), message);
    const Rect line = moved(waiting.messageLines.front().frame, studio->frame().x, studio->frame().y);
    studio->shoot(shots / "studio-loading.png");
    const Ink text = inkIn(shots / "studio-loading.png", Rect{line.x - 20, line.y, line.width + 40, line.height}, 0.5);
    EXPECT_GT(text.bright, 40) << "the message";
    EXPECT_NEAR(text.left, line.x, 3) << "\"No Audio Unit loaded..\" spans its measured width";
    EXPECT_NEAR(text.right, line.x + line.width, 3);

    // 2. The plug-in installed meanwhile: a retry finds it, and its panel shows in the window.
    fs::create_directory_symlink(fs::path(TOLVANE_LV2_DIR) / "tolvane.lv2", plugins / "tolvane.lv2");
    ContentSnapshot loaded;
    loaded.effectArea = ContentSnapshot::EffectArea::effectView;
    loaded.effectViewWidth = 672;
    loaded.effectViewHeight = 418;
    loaded.showAudioControls = true;
    ASSERT_TRUE(waitFor([&] { return studio->frame().width >= 680; }, 30s)) << studio->log();
    const Rect window = studio->frame();
    const auto shown = content(window, loaded);
    const Rect panelOnScreen = moved(shown.effectArea, window.x, window.y);
    ScreenRegion panel;
    EXPECT_TRUE(await(shots / "studio-panel.png", [&](const fs::path& png) {
        panel = measure(png, panelOnScreen.x, panelOnScreen.y, 672, 418);
        return panel.litRed > 300;
    })) << "the effect's panel with its lit readouts\n" << studio->log();
    EXPECT_LT(panel.meanBrightness, 0.35) << "a dark panel";
    const std::vector<pid_t> extensions = childrenOf(studio->pid());
    ASSERT_EQ(extensions.size(), 1u) << "the effect runs in a process of its own";

    // 3. Play: the button reads "Stop" (its label changes, and changes back after the crash).
    const Rect button = moved(*shown.playButton, window.x, window.y);
    studio->shoot(shots / "studio-panel.png");
    const Ink playLabel = inkIn(shots / "studio-panel.png", button, 0.7);
    studio->click(*shown.playButton);
    EXPECT_TRUE(await(shots / "studio-playing.png", [&](const fs::path& png) {
        const Ink now = inkIn(png, button, 0.7);
        return now.bright != playLabel.bright || now.left != playLabel.left;
    }, 5s)) << "the label turned to \"Stop\"";
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(studio->log().find("null output] info: played"), std::string::npos) << "still playing";

    // 4. The panel's gear, in the effect's process, opens the studio's sheet in its standalone form.
    PanelLayoutModel model;
    const PanelLayout panelLayout = model.layout();
    studio->click(moved(*panelLayout.presetBar->gear, shown.effectArea.x, shown.effectArea.y));
    ScriptedHardware hardware;
    const Bundle studioBundle(TOLVANE_STUDIO_RESOURCE_DIR);
    bool hissOn = false;
    float hissLevel = 40;
    studio::SettingsView form(
        {[] { return false; }, [](bool) {}}, {[] { return false; }, [](bool) {}},
        {[&] { return hissOn; }, [](bool) {}}, {[&] { return hissLevel; }, [](float) {}}, [] {}, true,
        {hardware, NSWorkspace::sharedWorkspace(), studioBundle});
    const auto sheetArea = Rect{0, studio::kMenuBarHeight, window.width, window.height - studio::kMenuBarHeight};
    const auto sheet = studio::layoutSettingsSheet(sheetArea, form, resources.metrics());
    const auto pill = [&](const std::string& caption) {
        for (const auto& p : sheet.pills)
            if (p.caption.text == caption) return p.frame;
        ADD_FAILURE() << "no pill " << caption;
        return Rect{};
    };
    const Rect loopOnScreen = moved(pill("LOOP"), window.x, window.y);
    EXPECT_TRUE(await(shots / "studio-settings.png", [&](const fs::path& png) {
        return measure(png, loopOnScreen.x + 2, loopOnScreen.y + 2, 4, loopOnScreen.height - 4).meanBrightness > 0.6;
    })) << "LOOP, selected, in the standalone form";
    const Rect review = moved(sheet.rate->frame, window.x, window.y);
    EXPECT_NEAR(measure(shots / "studio-settings.png", review.x + 2, review.y + 2, 4, 4).meanBrightness, 0.18, 0.03)
        << "the review card's button";

    // Hiss on, level three quarters, Done.
    studio->click(pill("ON"));
    const Rect& track = sheet.slider.track;
    const Rect thumb{sheet.slider.thumbX - 2, track.midY() - 2, 4, 4};
    const auto at = [&](double x, double y) {
        return std::to_string(static_cast<int>(window.x + x)) + " " + std::to_string(static_cast<int>(window.y + y));
    };
    run("xdotool mousemove " + at(thumb.midX(), thumb.midY()) + " mousedown 1 sleep 0.1 mousemove " +
        at(track.x + 0.6 * track.width, track.midY()) + " sleep 0.1 mousemove " +
        at(track.x + 0.75 * track.width, track.midY()) + " sleep 0.2 mouseup 1");
    studio->shoot(shots / "studio-settings-hiss.png");
    studio->click(sheet.done.frame);

    // The effect's own panel saves a preset: what it stores comes from the parameters there.
    model.reload();
    const std::size_t presetsBefore = model.view().presets.size();
    EXPECT_TRUE(await(shots / "studio-panel-again.png", [&](const fs::path& png) {
        return measure(png, panelOnScreen.x, panelOnScreen.y, 672, 418).litRed > 300;
    })) << "the sheet closed over the panel";
    studio->click(moved(panelLayout.presetBar->saveAs.frame, shown.effectArea.x, shown.effectArea.y));
    model.view().beginSaveAs();
    const PresetDialogLayout dialog = *model.layout().presetDialog;
    std::this_thread::sleep_for(1s);
    studio->click(moved(dialog.confirm.frame, shown.effectArea.x, shown.effectArea.y));
    EXPECT_TRUE(waitFor([&] {
        model.reload();
        return model.view().presets.size() > presetsBefore;
    }, 10s)) << "the panel saved a preset";
    if (model.view().presets.size() > presetsBefore) {
        const StoredPreset& saved = model.view().presets.back();
        EXPECT_TRUE(saved.hissOn) << "parameter 4 in the effect's process";
        EXPECT_NEAR(saved.hissLevel, 75, 2) << "parameter 9 in the effect's process";
    }

    // 5. The effect's process killed: the crash notice, and playback stops.
    ASSERT_EQ(kill(extensions.front(), SIGKILL), 0);
    ContentSnapshot crashed = loaded;
    crashed.effectArea = ContentSnapshot::EffectArea::crashNotice;
    crashed.title = "aufx vnyl MrLw";
    const auto afterCrash = content(window, crashed);
    const Rect notice = moved(afterCrash.effectArea, window.x, window.y);
    EXPECT_TRUE(await(shots / "studio-crashed.png", [&](const fs::path& png) {
        const Ink ink = inkIn(png, Rect{notice.x - 10, notice.y, notice.width + 20, notice.height}, 0.5);
        return ink.bright > 40 && std::abs(ink.left - notice.x) <= 3 && std::abs(ink.right - (notice.x + notice.width)) <= 3;
    }, 10s)) << "\"(aufx vnyl MrLw)\" and \"crashed!\" where the panel was\n" << studio->log();
    const Rect buttonAfter = moved(*afterCrash.playButton, window.x, window.y);
    const Ink label = inkIn(shots / "studio-crashed.png", buttonAfter, 0.7);
    EXPECT_EQ(label.bright, playLabel.bright) << "the button reads \"Play\" again";
    // The null output's report: "... null output] info: played <seconds> s, peak <level> dBFS ...".
    const std::string report = "null output] info: played ";
    std::string log;
    EXPECT_TRUE(waitFor([&] {
        log = studio->log();
        return log.find(report) != std::string::npos;
    }, 5s)) << "playback stopped\n" << log;
    if (const auto at = log.find(report); at != std::string::npos) {
        const std::string line = log.substr(at, log.find('\n', at) - at);
        EXPECT_GT(numberAfter(line, "played ").value_or(0), 2.0) << line;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        // A sanitized effect renders about half as fast as real time, so every render misses its
        // deadline and plays silence; the release tree checks the sound.
        EXPECT_GT(numberAfter(line, "peak ").value_or(-200), -40.0) << "the effect's output reached the null device, not silence: " << line;
#endif
    }
    EXPECT_TRUE(studio->running()) << "the studio keeps running";

    // 6. The application menu: "Check for Updates…" is disabled without a configured feed.
    const auto bar = studio::layoutMenuBar(window.width, "Tolvane", resources.metrics());
    studio->click(bar.titleFrame);
    const auto menu = studio::layoutMenu(bar.titleFrame.x, studio::kMenuBarHeight, applicationMenu(), resources.metrics());
    studio->shoot(shots / "studio-menu.png");
    const Ink about = inkIn(shots / "studio-menu.png", moved(menu.rows[0].title.frame, window.x, window.y), 0.3);
    const Ink updates = inkIn(shots / "studio-menu.png", moved(menu.rows[1].title.frame, window.x, window.y), 0.3);
    EXPECT_GT(about.maxBrightness, 0.8);
    EXPECT_LT(updates.maxBrightness, 0.5) << "the update command is disabled";

    // Quit ends the studio.
    studio->click(menu.rows[2].frame);
    EXPECT_TRUE(waitFor([&] { return !studio->running(); }, 10s)) << studio->log();
}

// The menu's Ctrl+Q reaches the studio wherever the keyboard is: in the effect's panel (another
// process's window), in the settings sheet, in the About box. The panel still gets the keys it
// uses: a knob's typed value, its own Ctrl+A, a preset's name.
TEST_F(StudioApp, CtrlQQuitsWhereverTheKeyboardIsWhileThePanelKeepsItsOwnKeys) {
    PanelLayoutModel model;
    const PanelLayout panel = model.layout();
    const auto at = [](const Rect& r) {
        return std::to_string(static_cast<int>(r.midX())) + " " + std::to_string(static_cast<int>(r.midY()));
    };
    const auto quitsOnCtrlQ = [&](const std::string& where) {
        run("xdotool key ctrl+q");
        EXPECT_TRUE(waitFor([&] { return !studio->running(); }, 20s)) << where << "\n" << studio->log();
    };

    // The window has the keyboard, as a window manager gives it; the pointer is over the panel.
    const auto area = startWithThePanel("studio-keys");
    ASSERT_TRUE(area) << studio->log();
    run("xdotool windowfocus --sync " + studio->window());
    const Rect readout = moved(panel.knobs[3].readout, area->x, area->y);
    const ScreenRegion closed = [&] {
        studio->shoot(shots / "studio-keys.png");
        return measure(shots / "studio-keys.png", readout.x, readout.y, readout.width, readout.height);
    }();
    run("xdotool mousemove " + at(readout) + " click --repeat 2 --delay 100 1");
    ASSERT_TRUE(await(shots / "studio-keys-knob.png", [&](const fs::path& png) {
        return measure(png, readout.x, readout.y, readout.width, readout.height).selection > closed.selection + 20;
    })) << "the readout opened for typing";
    run("xdotool key ctrl+a type --delay 40 30");
    run("xdotool key Return");
    const Rect saveAs = moved(panel.presetBar->saveAs.frame, area->x, area->y);
    run("xdotool mousemove " + at(saveAs) + " click 1");
    model.view().beginSaveAs();
    const PresetDialogLayout dialog = *model.layout().presetDialog;
    const Rect field = moved(*dialog.field, area->x, area->y);
    ASSERT_TRUE(await(shots / "studio-keys-name.png", [&](const fs::path& png) {
        return measure(png, field.x, field.y, field.width, field.height).selection > 20;
    })) << "the name field, its text selected";
    run("xdotool key ctrl+a type --delay 40 'quiet take'");
    const std::size_t presetsBefore = [&] {
        model.reload();
        return model.view().presets.size();
    }();
    run("xdotool mousemove " + at(moved(dialog.confirm.frame, area->x, area->y)) + " click 1");
    EXPECT_TRUE(waitFor([&] {
        model.reload();
        return model.view().presets.size() > presetsBefore;
    }, 10s)) << "the panel saved a preset";
    if (model.view().presets.size() > presetsBefore) {
        EXPECT_EQ(model.view().presets.back().name, "quiet take");
        EXPECT_FLOAT_EQ(model.view().presets.back().outputLevel, 30) << "the typed output level";
    }
    run("xdotool mousemove " + at(moved(panel.knobs[1].face, area->x, area->y)));
    quitsOnCtrlQ("over the panel, which has the keyboard");

    // The sheet, opened from the panel's gear, has the keyboard.
    ASSERT_TRUE(startWithThePanel("studio-keys-sheet")) << studio->log();
    run("xdotool windowfocus --sync " + studio->window());
    run("xdotool mousemove " + at(moved(*panel.presetBar->gear, area->x, area->y)) + " click 1");
    ASSERT_TRUE(await(shots / "studio-keys-sheet-open.png", [&](const fs::path& png) {
        return measure(png, area->x, area->y, area->width, area->height).litRed < 50;
    })) << "the sheet over the panel";
    quitsOnCtrlQ("with the sheet open");

    // The About box has the keyboard.
    ASSERT_TRUE(startWithThePanel("studio-keys-about")) << studio->log();
    run("xdotool windowfocus --sync " + studio->window());
    const auto bar = studio::layoutMenuBar(studio->frame().width, "Tolvane", resources.metrics());
    studio->click(bar.titleFrame);
    const auto menu = studio::layoutMenu(bar.titleFrame.x, studio::kMenuBarHeight, applicationMenu(), resources.metrics());
    studio->click(menu.rows[0].frame);
    ASSERT_TRUE(await(shots / "studio-keys-about-open.png", [&](const fs::path& png) {
        return measure(png, area->x, area->y, area->width, area->height).litRed < 50;
    })) << "the About box over the panel";
    quitsOnCtrlQ("with the About box open");
}

// SIGTERM quits as the menu's Quit does: the effect's view goes down before the window, so neither
// the studio nor the effect's process (whose output goes to the same log) has a word to say.
TEST_F(StudioApp, QuitsOnSigtermAsFromTheMenuWithNothingSaid) {
    // Cairo's X11 backend keeps what it made for a connection past the process's end; the leak
    // checker of a sanitizer build would have its say about that at any orderly exit.
    const fs::path suppressions = scratch.file("lsan.supp");
    std::ofstream(suppressions) << "leak:libcairo.so\n";
    const std::string leakOptions = "suppressions=" + suppressions.string() + ":print_suppressions=0";
    const ScopedEnvironment leaks{"LSAN_OPTIONS", leakOptions.c_str()};
    ASSERT_TRUE(startWithThePanel("studio-before-sigterm")) << "the effect's panel embedded\n" << studio->log();
    ASSERT_EQ(childrenOf(studio->pid()).size(), 1u) << "the effect runs in a process of its own";

    ASSERT_EQ(kill(studio->pid(), SIGTERM), 0);
    ASSERT_TRUE(waitFor([&] { return !studio->running(); }, 60s)) << studio->log();
    const int status = studio->status().value_or(-1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    EXPECT_EQ(studio->log(), "");
}

// The README's main job on a machine with a display: it installs everything for the user (here
// a scratch home) and starts the installed studio, which loads the installed effect.
TEST(RunScript, WithADisplayStartsTheInstalledStudioWhichLoadsTheEffect) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the main job builds and installs the release tree; the release tree runs this";
#endif
    TempFolder scratch;
    const fs::path runtime = scratch.file("runtime");
    fs::create_directories(runtime);
    chmod(runtime.c_str(), 0700);
    ScopedEnvironment home{"HOME", scratch.path().c_str()};
    ScopedEnvironment lv2Path{"LV2_PATH", nullptr};
    ScopedEnvironment runtimeDir{"XDG_RUNTIME_DIR", runtime.c_str()};
    ScopedEnvironment configuration{"XDG_CONFIG_HOME", scratch.path().c_str()};
    ScopedEnvironment output{"TOLVANE_AUDIO_OUTPUT", "null"};
    VirtualDisplay screen{scratch.file("xvfb.log")};
    ASSERT_TRUE(screen.ready());

    BackgroundProcess job({TOLVANE_SOURCE_DIR "/scripts/run"}, scratch.file("run.log"));
    std::string window;
    waitFor([&] {
        window = run("xdotool search --onlyvisible --name '^Tolvane$' 2>/dev/null | head -1");
        return !window.empty() || !job.running();
    }, 300s);
    const std::string log = readFile(scratch.file("run.log"));
    ASSERT_FALSE(window.empty()) << log;
    EXPECT_NE(log.find("run: a display is there"), std::string::npos) << log;
    EXPECT_TRUE(fs::exists(scratch.file(".local/lib/tolvane-studio/Synth.aif")));
    EXPECT_TRUE(fs::exists(scratch.file(".lv2/tolvane.lv2/component.json")));

    // The installed effect's panel in the installed studio's window.
    window = window.substr(0, window.find('\n'));
    const auto shown = [&] {
        run("import -window root " + scratch.file("shot.png").string());
        const std::string geometry = run("xdotool getwindowgeometry " + window);
        return geometry.find("680x") != std::string::npos && measure(scratch.file("shot.png"), 0, 0, 1024, 768).litRed > 300;
    };
    EXPECT_TRUE(waitFor(shown, 60s)) << readFile(scratch.file("run.log"));
    EXPECT_EQ(childrenOf(job.pid()).size(), 1u) << "the studio started its effect's process";

    // Quit from the application menu ends the studio and the job.
    run("xdotool mousemove --window " + window + " 30 12 click 1 sleep 0.5");
    const studio::StudioResources resources{Bundle(TOLVANE_STUDIO_RESOURCE_DIR)};
    const auto menu = studio::layoutMenu(0, studio::kMenuBarHeight, applicationMenu(), resources.metrics());
    run("xdotool mousemove --window " + window + " " + std::to_string(static_cast<int>(menu.rows[2].frame.midX())) + " " +
        std::to_string(static_cast<int>(menu.rows[2].frame.midY())) + " sleep 0.2 click 1");
    EXPECT_TRUE(waitFor([&] { return !job.running(); }, 20s)) << readFile(scratch.file("run.log"));
}

// The main job on a machine with no display: no studio, but one render per mode and per factory
// preset, each listed with a level that is sound, not silence.
TEST(RunScript, WithoutADisplayRendersEveryModeAndFactoryPreset) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the main job builds and installs the release tree; the release tree runs this";
#endif
    TempFolder scratch;
    ScopedEnvironment home{"HOME", scratch.path().c_str()};
    ScopedEnvironment lv2Path{"LV2_PATH", nullptr};
    ScopedEnvironment configuration{"XDG_CONFIG_HOME", scratch.path().c_str()};
    ScopedEnvironment display{"DISPLAY", nullptr};

    const ProcessResult job = runProcess({TOLVANE_SOURCE_DIR "/scripts/run"});
    ASSERT_EQ(job.exitCode, 0) << job.output;
    EXPECT_NE(job.output.find("run: no display, so no studio"), std::string::npos) << job.output;
    int modes = 0, presets = 0;
    std::istringstream lines(job.output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("synth-", 0) != 0) continue;
        (line.rfind("synth-preset-", 0) == 0 ? presets : modes) += 1;
        std::istringstream columns(line);
        std::string file;
        double peak = -200, rms = -200;
        columns >> file >> peak >> rms;
        EXPECT_GT(peak, -20.0) << line;
        EXPECT_GT(rms, -40.0) << line;
        EXPECT_LE(peak, 0.0) << line;
    }
    EXPECT_EQ(modes, 8) << job.output;
    EXPECT_EQ(presets, 11) << job.output;
}

}  // namespace
}  // namespace tolvane::test
