// The generator itself: repeatable output and a clear refusal of a bad command line.
#include "tests/support/TempFolder.h"
#include "tests/tools/ResourceTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace tolvane::test {
namespace {

namespace fs = std::filesystem;

std::string contentsOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int runGenerator(const std::string& arguments) {
    const std::string command = std::string("\"") + TOLVANE_MAKE_RESOURCES + "\" " + arguments + " 2>/dev/null";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Generator, ASecondRunWritesTheSameBytesAsTheBuild) {
    TempFolder scratch;
    ASSERT_EQ(runGenerator("--out \"" + (scratch.path() / "bundle").string() + "\" --studio-out \"" +
                           (scratch.path() / "studio").string() + "\""),
              0);
    size_t compared = 0;
    // The build's bundle also holds files the build copies in (fonts, licences, version keys).
    for (const auto& entry : fs::directory_iterator(scratch.path() / "bundle")) {
        SCOPED_TRACE(entry.path().filename().string());
        const fs::path built = resourceDir() / entry.path().filename();
        ASSERT_TRUE(fs::exists(built));
        EXPECT_TRUE(contentsOf(built) == contentsOf(entry.path()));
        ++compared;
    }
    // 9 + 7 + 9 models, 4 crackle + hiss + 22 radio + 9 static beds, 9 impulse responses, 24 panel
    // images.
    EXPECT_EQ(compared, 94u);
    EXPECT_TRUE(contentsOf(studioResourceDir() / "Synth.aif") == contentsOf(scratch.path() / "studio" / "Synth.aif"));
}

TEST(Generator, RefusesAnIncompleteCommandLine) {
    EXPECT_EQ(runGenerator(""), 2);
    EXPECT_EQ(runGenerator("--out /tmp/x"), 2);
    EXPECT_EQ(runGenerator("--out /tmp/x --studio-out"), 2);
    EXPECT_EQ(runGenerator("--studio-out /tmp/x --bogus /tmp/y"), 2);
}

TEST(Generator, ReportsAnUnwritableDestination) {
    EXPECT_EQ(runGenerator("--out /proc/no-such-place --studio-out /proc/no-such-place"), 1);
}

}  // namespace
}  // namespace tolvane::test
