#include "platform/appkit/NSWorkspace.h"
#include "platform/foundation/Trimming.h"
#include "platform/foundation/URL.h"

#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

TEST(URLTest, SplitsSchemeHostAndPortAndKeepsTheText) {
    const auto url = URL::fromString("HTTPS://User:pw@Tolvane.Example:8443/a/b?q=1#top");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->absoluteString, "HTTPS://User:pw@Tolvane.Example:8443/a/b?q=1#top");
    EXPECT_EQ(url->scheme, "https");
    EXPECT_EQ(url->host, "tolvane.example");
    EXPECT_EQ(url->port, 8443u);
    EXPECT_TRUE(url->isWeb());

    const auto bare = URL::fromString("http://example.org");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->host, "example.org");
    EXPECT_FALSE(bare->port);
    const auto v6 = URL::fromString("http://[::1]:80/feed");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->host, "[::1]");
    EXPECT_EQ(v6->port, 80u);
    EXPECT_FALSE(URL::fromString("ftp://files.example")->isWeb());

    for (const char* bad : {"", "example.org", "://x", "http:/x", "http://", "http:///path", "http://host:99999",
                            "http://host:8a", "http://[::1", "http://a b", "http://a\tb", "http://a\nb", "1http://x",
                            "-h", "mailto:someone@example.org"}) {
        EXPECT_FALSE(URL::fromString(bad)) << bad;
    }
}

TEST(URLTest, KnowsWhichHostsAreThisMachine) {
    for (const char* local : {"http://localhost/", "http://127.0.0.1:8080/", "http://127.255.3.4/", "http://[::1]/",
                              "http://LOCALHOST/"}) {
        EXPECT_TRUE(URL::fromString(local)->isLoopback()) << local;
    }
    for (const char* remote : {"http://128.0.0.1/", "http://127.0.0/", "http://127.0.0.1.example/",
                               "http://127.0.0.256/", "http://localhost.example/", "http://[::2]/"}) {
        EXPECT_FALSE(URL::fromString(remote)->isLoopback()) << remote;
    }
}

TEST(TrimmingTest, RemovesEveryUnicodeWhiteSpaceCharacterAtBothEndsOnly) {
    // The White_Space characters, written out independently of the implementation's table.
    const char* const whiteSpace[] = {"\t", "\n", "\v", "\f", "\r", " ", "\u0085", "\u00A0", "\u1680", "\u2000",
                                      "\u2005", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};
    for (const char* space : whiteSpace) {
        const std::string padded = std::string(space) + "a " + space + "b" + space + space;
        EXPECT_EQ(trimmedOfWhitespaceAndNewlines(padded), std::string("a ") + space + "b") << padded;
    }
    // Look-alikes that are not white space stay.
    EXPECT_EQ(trimmedOfWhitespaceAndNewlines("\u200Bkey\u200B"), "\u200Bkey\u200B");  // zero-width space
    EXPECT_EQ(trimmedOfWhitespaceAndNewlines("\u00C5 "), "\u00C5");
    EXPECT_EQ(trimmedOfWhitespaceAndNewlines(" \n\t "), "");
    EXPECT_EQ(trimmedOfWhitespaceAndNewlines(""), "");
    // Broken UTF-8 is text: a stray continuation byte or a cut-off sequence stops the trimming.
    EXPECT_EQ(trimmedOfWhitespaceAndNewlines(" \x80 "), "\x80");
    EXPECT_EQ(trimmedOfWhitespaceAndNewlines("\xE2\x80 "), "\xE2\x80");
    EXPECT_EQ(trimmedOfWhitespaceAndNewlines("x\xA0"), "x\xA0");  // a lone byte A0 is not U+00A0
}

// An opener that writes each argument it gets on a line of its own into a file.
class WorkspaceTest : public testing::Test {
protected:
    void SetUp() override {
        opener = scratch.write("opener", "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"" +
                                             scratch.file("opened.part").string() + "\"\nmv \"" +
                                             scratch.file("opened.part").string() + "\" \"" +
                                             scratch.file("opened").string() + "\"\n");
        chmod(opener.c_str(), 0755);
    }

    std::string waitForOpened() {
        const auto until = std::chrono::steady_clock::now() + 30s;
        while (!fs::exists(scratch.file("opened")) && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(2ms);
        std::ifstream file(scratch.file("opened"));
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    tolvane::test::TempFolder scratch;
    fs::path opener;
};

TEST_F(WorkspaceTest, HandsTheAddressOverAsOneArgumentNoShellInterprets) {
    const NSWorkspace workspace(opener.string());
    const std::string url = "https://tolvane.example/rate?x=1&y='2';touch${IFS}" + scratch.file("pwned").string() + "$(id)`id`";
    ASSERT_TRUE(workspace.openURL(url));
    EXPECT_EQ(waitForOpened(), url + "\n");
    EXPECT_FALSE(fs::exists(scratch.file("pwned")));
}

TEST_F(WorkspaceTest, OpensOnlyWebAddressesAndReportsAMissingOpener) {
    const NSWorkspace workspace(opener.string());
    for (const char* refused : {"file:///etc/passwd", "--help", "javascript:alert(1)", "", "https://a b/"}) {
        Error error;
        EXPECT_FALSE(workspace.openURL(refused, &error)) << refused;
        EXPECT_EQ(error.domain, "NSWorkspace");
    }
    Error error;
    EXPECT_FALSE(NSWorkspace(scratch.file("no-such-opener").string()).openURL("https://tolvane.example/", &error));
    EXPECT_NE(error.localizedDescription.find("Cannot start"), std::string::npos);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(fs::exists(scratch.file("opened")));
}

}  // namespace
