// The effect's panel as the studio shows it, met as a person meets it: under a private X server
// the extension process shows the real panel, over the unit it serves, inside a window that this
// process made and handed over. The screenshot stays in the build tree.

#include "effect/ParameterSpecs.h"
#include "platform/audiotoolbox/remote/RemoteAudioUnit.h"
#include "platform/avfaudio/AVAudioUnitComponentManager.h"
#include "tests/plugin/Subprocess.h"
#include "tests/support/TempFolder.h"
#include "tests/support/VirtualScreen.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <future>

// Last: its macros (None, Bool, Status) would clash with the names of the headers above.
#include <X11/Xlib.h>

namespace tolvane::test {
namespace {

std::shared_ptr<remote::RemoteAudioUnit> launchEffect() {
    const AudioComponentDescription effect{fourCharCode("aufx"), fourCharCode("vnyl"), fourCharCode("MrLw"), 0, 0};
    const auto found = AVAudioUnitComponentManager({TOLVANE_LV2_DIR}).componentsMatchingDescription(effect);
    if (found.empty()) return nullptr;
    Error error;
    auto unit = remote::RemoteAudioUnit::launch(found.front().manifest(), 1, {}, &error);
    if (!unit) ADD_FAILURE() << error.description();
    return unit;
}

std::shared_ptr<AUViewController> requestView(AUAudioUnit& unit) {
    std::promise<std::shared_ptr<AUViewController>> view;
    unit.requestViewControllerWithCompletionHandler([&](std::shared_ptr<AUViewController> c) { view.set_value(c); });
    return view.get_future().get();
}

std::vector<Window> childrenOf(Display* display, Window window) {
    XSync(display, False);
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    std::vector<Window> out;
    if (XQueryTree(display, window, &root, &parent, &children, &count) != 0) out.assign(children, children + count);
    if (children != nullptr) XFree(children);
    return out;
}

// A private X server for one test, and a connection to it.
class PrivateDisplay {
public:
    explicit PrivateDisplay(const TempFolder& scratch) : server_(scratch.file("xvfb.log")) {
        for (int i = 0; i < 100 && display_ == nullptr; ++i) {
            display_ = XOpenDisplay(server_.name().c_str());
            if (display_ == nullptr) std::this_thread::sleep_for(100ms);
        }
    }
    ~PrivateDisplay() {
        if (display_ != nullptr) XCloseDisplay(display_);
    }
    Display* display() const { return display_; }

private:
    VirtualDisplay server_;
    Display* display_ = nullptr;
};

// A private display with a host window of the panel's size, and the effect in its extension with
// its view controller.
class EmbeddedPanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"Xvfb", "import", "xdotool"})
            ASSERT_TRUE(programAvailable(tool)) << tool << " is missing: run scripts/setup";
        screen = std::make_unique<PrivateDisplay>(scratch);
        x = screen->display();
        ASSERT_NE(x, nullptr);
        parent = XCreateSimpleWindow(x, DefaultRootWindow(x), 0, 0, 672, 418, 0, 0, 0);
        XMapWindow(x, parent);
        XSync(x, False);
        unit = launchEffect();
        ASSERT_TRUE(unit);
        controller = std::dynamic_pointer_cast<remote::RemoteViewController>(requestView(*unit));
        ASSERT_TRUE(controller) << "a display is there, so the panel is offered";
    }

    // The panel's own window, shown inside `parent`.
    std::optional<uint64_t> embed() {
        std::promise<std::optional<uint64_t>> embedded;
        controller->embedInParentWindow(parent, [&](std::optional<uint64_t> window, Error error) {
            if (!window) ADD_FAILURE() << error.description();
            embedded.set_value(window);
        });
        return embedded.get_future().get();
    }

    TempFolder scratch;
    std::unique_ptr<PrivateDisplay> screen;
    Display* x = nullptr;
    Window parent = 0;
    std::shared_ptr<remote::RemoteAudioUnit> unit;
    std::shared_ptr<remote::RemoteViewController> controller;
};

TEST_F(EmbeddedPanelTest, ExtensionShowsTheRealPanelInsideTheHostsWindow) {
    unit->setContextName("standalone");
    controller->loadViewIfNeeded();
    EXPECT_EQ(controller->preferredContentSize(), (CGSize{672, 418}));
    const auto window = embed();
    ASSERT_TRUE(window);
    EXPECT_TRUE(waitFor([&] { return childrenOf(x, parent) == std::vector<Window>{static_cast<Window>(*window)}; }, 10s));

    // A dark panel with lit red readouts, as in a plug-in host.
    const fs::path shots = TOLVANE_SCREENSHOT_DIR;
    fs::create_directories(shots);
    const fs::path shot = shots / "studio-embedded-panel.png";
    ScreenRegion panel;
    EXPECT_TRUE(waitFor([&] {
        runProcess({"import", "-display", getenv("DISPLAY"), "-window", "root", shot.string()});
        panel = measure(shot, 0, 0, 672, 418);
        return panel.litRed > 300;
    }, 20s));
    EXPECT_LT(panel.meanBrightness, 0.35) << "a dark panel";
    EXPECT_GT(panel.spread, 0.05) << "not a blank window";

    // A value set by the host reaches the panel there (RADIO lights up), and a click on the panel
    // there reaches the host's observers (CHORUS).
    auto mode = unit->parameterTree()->parameterWithAddress(ParameterAddress::effectMode);
    std::atomic<AUValue> heard{-1};
    const auto token = unit->parameterTree()->tokenByAddingParameterObserver([&](AUParameterAddress address, AUValue value) {
        if (address == ParameterAddress::effectMode) heard = value;
    });
    mode->setValue(5);
    const fs::path radio = shots / "studio-embedded-panel-radio.png";
    EXPECT_TRUE(waitFor([&] {
        runProcess({"import", "-display", getenv("DISPLAY"), "-window", "root", radio.string()});
        return measure(radio, 458, 342, 98, 36).meanBrightness > measure(radio, 116, 297, 98, 36).meanBrightness;
    }, 10s)) << "RADIO lit, VINYL not";
    runProcess({"xdotool", "mousemove", "--screen", "0", "165", "359", "click", "1"});
    EXPECT_TRUE(waitFor([&] { return heard.load() == 6.0f; }, 10s)) << "CHORUS pressed on the panel";
    EXPECT_EQ(mode->value(), 6.0f);
    unit->parameterTree()->removeParameterObserver(token);

    controller->removeFromParentWindow();
    EXPECT_TRUE(waitFor([&] { return childrenOf(x, parent).empty(); }, 10s));
    XDestroyWindow(x, parent);
}

// Closing the host's window first (as a closing application does) leaves the effect running.
TEST_F(EmbeddedPanelTest, HostWindowClosedUnderThePanelDoesNotEndTheEffect) {
    ASSERT_TRUE(embed());

    XDestroyWindow(x, parent);
    XSync(x, False);
    std::this_thread::sleep_for(300ms);
    controller->removeFromParentWindow();
    // The extension still answers: a request made now gets its reply.
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(requestView(*unit));
    EXPECT_FALSE(unit->isInvalidated());
}

// The same, with the extension's standard error (inherited from this process) captured from its start.
class EmbeddedPanelExitTest : public EmbeddedPanelTest {
protected:
    void SetUp() override {
        testing::internal::CaptureStderr();
        capturing = true;
        EmbeddedPanelTest::SetUp();
    }
    void TearDown() override {
        if (capturing) (void)printed();
    }
    std::string printed() {
        capturing = false;
        return testing::internal::GetCapturedStderr();
    }
    bool capturing = false;
};

// A closing application takes the panel down and destroys its window right after, then ends the
// effect: the effect outlives its view until then, and its process says nothing about the window
// on its way out.
TEST_F(EmbeddedPanelExitTest, PanelTakenDownAsTheHostClosesLeavesNoErrorsAtExit) {
    ASSERT_TRUE(embed());
    controller->removeFromParentWindow();
    XDestroyWindow(x, parent);
    XSync(x, False);
    // A request made now gets its reply from the same process.
    const pid_t extension = unit->processIdentifier();
    EXPECT_TRUE(requestView(*unit)) << "the extension answers after its view went";
    EXPECT_FALSE(unit->isInvalidated());
    EXPECT_EQ(unit->processIdentifier(), extension);
    EXPECT_EQ(kill(extension, 0), 0) << "the extension's process still runs";
    controller.reset();
    unit.reset();  // waits for the extension's process to end
    const std::string output = printed();
    EXPECT_EQ(output.find("X error"), std::string::npos) << output;
}

TEST(EmbeddedPanelWithoutDisplayTest, WithoutADisplayThereIsNoViewThere) {
    const char* saved = std::getenv("DISPLAY");
    const std::string keep = saved ? saved : "";
    unsetenv("DISPLAY");
    const auto unit = launchEffect();
    ASSERT_TRUE(unit);
    EXPECT_EQ(requestView(*unit), nullptr);
    if (saved) setenv("DISPLAY", keep.c_str(), 1);
}

}  // namespace
}  // namespace tolvane::test
