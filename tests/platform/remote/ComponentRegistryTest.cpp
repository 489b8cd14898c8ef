#include "platform/audiotoolbox/AudioComponentManifest.h"
#include "platform/avfaudio/AVAudioUnitComponentManager.h"
#include "tests/support/ForkedRun.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

namespace tolvane::test {
namespace {

namespace fs = std::filesystem;

// A plug-in folder whose bundles are written by hand, good and bad.
class PluginFolder : public TempFolder {
public:
    void bundle(const std::string& name, const std::string& manifest, bool withExecutable = true) const {
        fs::create_directories(path() / name);
        if (!manifest.empty()) write(name + "/component.json", manifest);
        if (withExecutable) {
            const auto program = write(name + "/extension", "#!/bin/sh\n");
            fs::permissions(program, fs::perms::owner_all);
        }
    }
};

std::string manifest(const std::string& name, const std::string& codes = R"("aufx", "subtype": "vnyl", "manufacturer": "MrLw")",
                     const std::string& executable = "extension") {
    return R"({"type": )" + codes + R"(, "name": ")" + name + R"(", "manufacturerName": "MrLw", "version": "1.0.0",
               "executable": ")" + executable + R"(", "arguments": ["--channels", "2"]})";
}

AudioComponentDescription tolvane() { return {fourCharCode("aufx"), fourCharCode("vnyl"), fourCharCode("MrLw"), 0, 0}; }

std::vector<std::string> names(const std::vector<AVAudioUnitComponent>& components) {
    std::vector<std::string> out;
    for (const auto& c : components) out.push_back(c.name() + "@" + c.bundleURL().filename().string());
    return out;
}

TEST(ComponentRegistryTest, FindsTheGoodBundlesAmongBrokenOnesInAStableOrder) {
    PluginFolder folder;
    folder.bundle("b-good.lv2", manifest("Tolvane"));
    folder.bundle("a-duplicate.lv2", manifest("Tolvane Mono"));
    folder.bundle("c-not-json.lv2", "{ this is not json");
    folder.bundle("d-not-an-object.lv2", "[1, 2, 3]");
    folder.bundle("e-missing-name.lv2", R"({"type": "aufx", "subtype": "vnyl", "manufacturer": "MrLw", "version": "1",
                                            "manufacturerName": "MrLw", "executable": "extension"})");
    folder.bundle("f-five-chars.lv2", manifest("Five", R"("aufxx", "subtype": "vnyl", "manufacturer": "MrLw")"));
    folder.bundle("g-wide-char.lv2", manifest("Wide", R"("auf\u00e9", "subtype": "vnyl", "manufacturer": "MrLw")"));
    folder.bundle("h-no-executable.lv2", manifest("Tolvane"), /*withExecutable=*/false);
    folder.bundle("i-escapes.lv2", manifest("Tolvane", R"("aufx", "subtype": "vnyl", "manufacturer": "MrLw")", "../b-good.lv2/extension"));
    folder.bundle("j-absolute.lv2", manifest("Tolvane", R"("aufx", "subtype": "vnyl", "manufacturer": "MrLw")", "/bin/sh"));
    folder.bundle("k-no-manifest.lv2", "");
    folder.bundle("l-other.lv2", manifest("Other", R"("aufx", "subtype": "gain", "manufacturer": "Test")"));
    folder.write("not-a-folder.lv2", "stray file");

    AVAudioUnitComponentManager registry({folder.path()});
    testing::internal::CaptureStderr();
    const auto found = registry.componentsMatchingDescription(tolvane());
    const std::string log = testing::internal::GetCapturedStderr();

    // Ordered by name, then bundle: the first match is the same on every query.
    EXPECT_EQ(names(found), (std::vector<std::string>{"Tolvane@b-good.lv2", "Tolvane Mono@a-duplicate.lv2"}));
    const auto& good = found.front();
    EXPECT_EQ(good.audioComponentDescription(), tolvane());
    EXPECT_EQ(good.manufacturerName(), "MrLw");
    EXPECT_EQ(good.versionString(), "1.0.0");
    EXPECT_EQ(good.manifest().executablePath, folder.path() / "b-good.lv2" / "extension");
    EXPECT_EQ(good.manifest().arguments, (std::vector<std::string>{"--channels", "2"}));
    // One line per broken manifest (c to j), each naming its bundle.
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 8);
    for (const char* bad : {"c-not-json", "d-not-an-object", "e-missing-name", "f-five-chars", "g-wide-char",
                            "h-no-executable", "i-escapes", "j-absolute"})
        EXPECT_NE(log.find(bad), std::string::npos) << bad;
}

TEST(ComponentRegistryTest, ZeroFieldsMatchAnythingAndFlagsCompareUnderTheMask) {
    PluginFolder folder;
    folder.bundle("tolvane.lv2", manifest("Tolvane"));
    folder.bundle("gain.lv2", manifest("Gain", R"("aufx", "subtype": "gain", "manufacturer": "Test")"));
    folder.bundle("synth.lv2", manifest("Synth", R"("aumu", "subtype": "syn1", "manufacturer": "Test")"));
    AVAudioUnitComponentManager registry({folder.path()});

    auto match = [&](AudioComponentDescription d) { return names(registry.componentsMatchingDescription(d)); };
    EXPECT_EQ(match({}), (std::vector<std::string>{"Gain@gain.lv2", "Synth@synth.lv2", "Tolvane@tolvane.lv2"}));
    EXPECT_EQ(match({fourCharCode("aufx"), 0, 0, 0, 0}), (std::vector<std::string>{"Gain@gain.lv2", "Tolvane@tolvane.lv2"}));
    EXPECT_EQ(match({0, 0, fourCharCode("Test"), 0, 0}), (std::vector<std::string>{"Gain@gain.lv2", "Synth@synth.lv2"}));
    EXPECT_EQ(match({fourCharCode("aufx"), fourCharCode("vnyl"), fourCharCode("Test"), 0, 0}), std::vector<std::string>{});
    EXPECT_EQ(match({0, 0, 0, 1, 1}), std::vector<std::string>{});  // no component sets flag 1
    EXPECT_EQ(match({0, 0, 0, 1, 0}).size(), 3u);                    // an empty mask ignores the flags
}

TEST(ComponentRegistryTest, SearchesEveryFolderOnceAndFindsBundlesInstalledLater) {
    PluginFolder user, system;
    user.bundle("tolvane.lv2", manifest("Tolvane"));
    AVAudioUnitComponentManager registry({user.path(), system.path(), user.path()});
    EXPECT_EQ(registry.componentsMatchingDescription(tolvane()).size(), 1u);
    system.bundle("tolvane.lv2", manifest("Tolvane"));
    EXPECT_EQ(names(registry.componentsMatchingDescription(tolvane())),
              (std::vector<std::string>{"Tolvane@tolvane.lv2", "Tolvane@tolvane.lv2"}));
    EXPECT_TRUE(AVAudioUnitComponentManager({user.path() / "missing"}).componentsMatchingDescription({}).empty());
}

TEST(ComponentRegistryTest, AManifestThatIsNotARegularFileIsSkippedWithoutWaiting) {
    PluginFolder folder;
    folder.bundle("a-fifo.lv2", "");
    ASSERT_EQ(mkfifo((folder.path() / "a-fifo.lv2" / "component.json").c_str(), 0600), 0);
    folder.bundle("b-device.lv2", "");
    fs::create_symlink("/dev/zero", folder.path() / "b-device.lv2" / "component.json");
    folder.bundle("c-good.lv2", manifest("Tolvane"));
    // In a child with a deadline: opening the FIFO for reading waits for a writer.
    EXPECT_EQ(exitCodeOfForkedRun([&] {
        testing::internal::CaptureStderr();
        const auto found = AVAudioUnitComponentManager({folder.path()}).componentsMatchingDescription(tolvane());
        const std::string log = testing::internal::GetCapturedStderr();
        const bool oneLineEach = std::count(log.begin(), log.end(), '\n') == 2 &&
                                 log.find("a-fifo.lv2/component.json: not a regular file") != std::string::npos &&
                                 log.find("b-device.lv2/component.json: not a regular file") != std::string::npos;
        return names(found) == std::vector<std::string>{"Tolvane@c-good.lv2"} && oneLineEach ? 0 : 1;
    }), 0);
}

// The host starts what a manifest names, with its arguments: a link may not lead the executable
// out of the bundle, and no text may say less to the program than the manifest shows (C strings
// end at a NUL). A bundle reached through a link is still one bundle.
TEST(ComponentRegistryTest, AnExecutableLinkedOutOfItsBundleOrATextHoldingANulIsRefused) {
    PluginFolder folder, elsewhere;
    const auto outside = elsewhere.write("program", "#!/bin/sh\n");
    fs::permissions(outside, fs::perms::owner_all);
    folder.bundle("linked-out.lv2", manifest("Tolvane", R"("aufx", "subtype": "vnyl", "manufacturer": "MrLw")", "run"));
    fs::create_symlink(outside, folder.path() / "linked-out.lv2" / "run");
    fs::create_directory_symlink(folder.path() / "linked-out.lv2", folder.path() / "via-link.lv2");
    Error error;
    EXPECT_FALSE(readAudioComponentManifest(folder.path() / "via-link.lv2", &error));
    EXPECT_NE(error.localizedDescription.find("via-link.lv2/run leads out of the bundle"), std::string::npos)
        << error.localizedDescription;

    folder.bundle("good.lv2", manifest("Tolvane"));
    fs::create_directory_symlink(folder.path() / "good.lv2", folder.path() / "good-link.lv2");
    EXPECT_TRUE(readAudioComponentManifest(folder.path() / "good-link.lv2", &error)) << error.description();

    const std::string withNul[] = {
        manifest("Tol\\u0000vane"),
        manifest("Tolvane", R"("aufx", "subtype": "vnyl", "manufacturer": "MrLw")", "extension\\u0000.sh"),
        R"({"type": "aufx", "subtype": "vnyl", "manufacturer": "MrLw", "name": "Tolvane", "manufacturerName": "MrLw",
            "version": "1.0.0", "executable": "extension", "arguments": ["--channels\u00002"]})",
    };
    for (const std::string& text : withNul) {
        folder.write("good.lv2/component.json", text);
        error = {};
        EXPECT_FALSE(readAudioComponentManifest(folder.path() / "good.lv2", &error)) << text;
        EXPECT_NE(error.localizedDescription.find("holds a NUL character"), std::string::npos) << text;
    }
}

TEST(ComponentRegistryTest, DefaultFoldersFollowLv2Path) {
    const char* saved = std::getenv("LV2_PATH");
    const std::string keep = saved ? saved : "";
    setenv("LV2_PATH", "/one::/two/", 1);
    EXPECT_EQ(AVAudioUnitComponentManager::defaultSearchFolders(), (std::vector<fs::path>{"/one", "/two/"}));
    setenv("LV2_PATH", "", 1);
    const auto folders = AVAudioUnitComponentManager::defaultSearchFolders();
    ASSERT_FALSE(folders.empty());
    EXPECT_EQ(folders.back(), fs::path("/usr/lib/lv2"));
    if (saved) setenv("LV2_PATH", keep.c_str(), 1);
    else unsetenv("LV2_PATH");
}

}  // namespace
}  // namespace tolvane::test
