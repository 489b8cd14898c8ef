// The studio starting where a window can open and where none can: on X servers as bare as a
// desktop session's own, and on displays that take no window.

#include "tests/plugin/Subprocess.h"
#include "tests/studio/StudioSandbox.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempFolder.h"
#include "tests/support/VirtualScreen.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

// Last: its macros (None, Bool, Status) would clash with the names of the headers above.
#include <X11/Xlib.h>

namespace tolvane::test {
namespace {

// The studio on X servers as bare as a desktop session's own, without the effect: each server
// resets once its last client leaves, and the studio is its only client.
class StudioOnABareServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(programAvailable("Xvfb")) << "Xvfb is missing: run scripts/setup";
    }

    StudioSandbox sandbox;
    TempFolder& scratch = sandbox.scratch;
    const fs::path& plugins = sandbox.plugins;
};

// Its window is seen in the server's screen file, so nothing else ever connects.
TEST_F(StudioOnABareServer, ShowsItsWindowOnEveryStartAsTheServersOnlyClient) {
    for (int start = 1; start <= 20; ++start) {
        const fs::path folder = scratch.file("start-" + std::to_string(start));
        fs::create_directories(folder);
        const BareDisplay screen(folder);
        ASSERT_TRUE(screen.ready()) << readFile(folder / "xvfb.log");
        const ScopedEnvironment display{"DISPLAY", screen.name().c_str()};
        BackgroundProcess studio({TOLVANE_STUDIO}, folder / "studio.log");
        waitFor([&] { return screen.drawn() || !studio.running(); }, 60s);
        ASSERT_TRUE(studio.running() && screen.drawn()) << "start " << start << "\n" << readFile(folder / "studio.log");
    }
}

// No server there, or one that takes the studio's first connection but not its window's: a line
// that says so, and status 1.
TEST_F(StudioOnABareServer, SaysWhyAndEndsWithStatusOneWhereNoWindowCanOpen) {
    const auto expectRefused = [](const std::string& display) {
        const ProcessResult studio = runProcess({"timeout", "30", TOLVANE_STUDIO});
        EXPECT_EQ(studio.exitCode, 1) << studio.output;
        EXPECT_NE(studio.output.find("Tolvane: cannot open a window on DISPLAY " + display + ": "), std::string::npos)
            << studio.output;
        EXPECT_EQ(studio.output.find("assertion"), std::string::npos) << studio.output;
    };
    const std::string nowhere = ":" + std::to_string(freeDisplay());
    {
        const ScopedEnvironment display{"DISPLAY", nowhere.c_str()};
        expectRefused(nowhere);
    }

    const BareDisplay screen(scratch.path(), {"-maxclients", "64"});
    ASSERT_TRUE(screen.ready());
    std::vector<Display*> clients;
    for (Display* client; clients.size() < 4096 && (client = XOpenDisplay(screen.name().c_str())) != nullptr;)
        clients.push_back(client);
    ASSERT_FALSE(clients.empty());
    // One place left.
    XCloseDisplay(clients.back());
    clients.pop_back();
    {
        const ScopedEnvironment display{"DISPLAY", screen.name().c_str()};
        expectRefused(screen.name());
    }
    for (Display* client : clients) XCloseDisplay(client);
}

}  // namespace
}  // namespace tolvane::test
