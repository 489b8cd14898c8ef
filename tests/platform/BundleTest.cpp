#include "platform/foundation/Bundle.h"
#include "tests/support/ForkedRun.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

void touch(const fs::path& path) { std::ofstream(path) << "x"; }

class BundleTest : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(resources / "folder.wav");
        touch(resources / "hiss.wav");
        touch(resources / "tv-vinyl-0.json");
        touch(resources / "plain");
        touch(root / "secret.wav");
    }

    tolvane::test::TempFolder folder;
    const fs::path root = folder.path();
    const fs::path resources = root / "resources";
};

TEST_F(BundleTest, FindsRegularFilesByNameAndExtension) {
    const Bundle bundle(resources);
    EXPECT_EQ(bundle.resourcePath(), resources);
    EXPECT_EQ(bundle.URLForResource("hiss", "wav"), resources / "hiss.wav");
    EXPECT_EQ(bundle.URLForResource("tv-vinyl-0", "json"), resources / "tv-vinyl-0.json");
    EXPECT_EQ(bundle.URLForResource("plain", ""), resources / "plain");
}

TEST_F(BundleTest, RefusesMissingFilesDirectoriesAndPathTricks) {
    const Bundle bundle(resources);
    EXPECT_FALSE(bundle.URLForResource("hiss", "json"));
    EXPECT_FALSE(bundle.URLForResource("crackle25", "wav"));
    EXPECT_FALSE(bundle.URLForResource("folder", "wav"));  // exists, but is not a file
    EXPECT_FALSE(bundle.URLForResource("", "wav"));
    // secret.wav exists one level up; none of these may reach it.
    EXPECT_FALSE(bundle.URLForResource("../secret", "wav"));
    EXPECT_FALSE(bundle.URLForResource("..", ""));
    EXPECT_FALSE(bundle.URLForResource((root / "secret").string(), "wav"));
    EXPECT_FALSE(bundle.URLForResource("secret", "wav/../../secret.wav"));
    EXPECT_FALSE(bundle.URLForResource(std::string("hiss\0x", 6), "wav"));
    EXPECT_FALSE(Bundle(resources / "missing").URLForResource("hiss", "wav"));
}

TEST_F(BundleTest, ReadsTextValuesOfTheInformationDictionary) {
    const Bundle bundle(resources);
    EXPECT_FALSE(bundle.objectForInfoDictionaryKey("CFBundleVersion"));  // no Info.json yet
    folder.write("resources/Info.json", R"({"CFBundleShortVersionString": "1.2.0", "CFBundleVersion": 7,
                                           "SUFeedURL": "", "List": ["a"], "Null": null})");
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("CFBundleShortVersionString"), "1.2.0");
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("SUFeedURL"), "");
    for (const char* notText : {"CFBundleVersion", "List", "Null", "Missing"}) {
        EXPECT_FALSE(bundle.objectForInfoDictionaryKey(notText)) << notText;
    }
    // A broken or non-object file reads as an empty dictionary, never as an error that escapes.
    for (const char* broken : {"{\"CFBundleShortVersionString\": \"1.2", "[\"1.2.0\"]", ""}) {
        folder.write("resources/Info.json", broken);
        EXPECT_FALSE(bundle.objectForInfoDictionaryKey("CFBundleShortVersionString")) << broken;
    }
}

// The studio's window and a host's settings view read this file on their UI thread: a FIFO must
// not stop them, nor may a huge file be taken in whole.
TEST_F(BundleTest, AnInformationFileThatIsNotASmallRegularFileReadsAsMissingAndIsNamedInTheLog) {
    const Bundle bundle(resources);
    const fs::path info = resources / "Info.json";
    ASSERT_EQ(mkfifo(info.c_str(), 0600), 0);
    // In a child with a deadline: opening a FIFO for reading waits for a writer.
    EXPECT_EQ(tolvane::test::exitCodeOfForkedRun([&] {
        testing::internal::CaptureStderr();
        const bool missing = !bundle.objectForInfoDictionaryKey("CFBundleVersion");
        const std::string log = testing::internal::GetCapturedStderr();
        return missing && log.find(info.string() + ": not a regular file") != std::string::npos ? 0 : 1;
    }, std::chrono::seconds(30)), 0);

    fs::remove(info);
    folder.write("resources/Info.json", R"({"CFBundleVersion": "7"})" + std::string(64 << 10, ' '));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(bundle.objectForInfoDictionaryKey("CFBundleVersion"));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(info.string() + ": larger than"), std::string::npos) << log;
}

// The file that maps `address`, read from the kernel's list of mappings.
fs::path mappedFileContaining(const void* address) {
    std::ifstream maps("/proc/self/maps");
    const auto target = reinterpret_cast<std::uintptr_t>(address);
    for (std::string line; std::getline(maps, line);) {
        std::istringstream fields(line);
        std::string range, perms, offset, device, inode, path;
        fields >> range >> perms >> offset >> device >> inode >> path;
        const auto dash = range.find('-');
        const auto low = std::stoull(range.substr(0, dash), nullptr, 16);
        const auto high = std::stoull(range.substr(dash + 1), nullptr, 16);
        if (target >= low && target < high) return path;
    }
    return {};
}

TEST(BundleAddressTest, FunctionInTheTestBinaryGivesTheTestBinarysFolder) {
    const fs::path exeFolder = fs::canonical("/proc/self/exe").parent_path();
    const fs::path mapped = mappedFileContaining(reinterpret_cast<const void*>(&mappedFileContaining));
    ASSERT_EQ(fs::canonical(mapped).parent_path(), exeFolder);
    const Bundle bundle = Bundle::containingAddress(reinterpret_cast<const void*>(&mappedFileContaining));
    const bool hasResources = fs::is_directory(exeFolder / "resources");
    EXPECT_EQ(bundle.resourcePath(), hasResources ? exeFolder / "resources" : exeFolder);
}

// Loads a private copy of a shared library from `folder` and returns one of its functions.
const void* functionFromCopyIn(const fs::path& folder, void*& handle) {
    const fs::path original = mappedFileContaining(reinterpret_cast<const void*>(&sf_version_string));
    fs::create_directories(folder);
    const fs::path copy = folder / "libtolvane-copy.so";
    fs::copy_file(original, copy, fs::copy_options::overwrite_existing);
    handle = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    return handle ? dlsym(handle, "sf_version_string") : nullptr;
}

TEST_F(BundleTest, SharedObjectPrefersResourcesThenUpperResourcesThenItsFolder) {
    struct Layout {
        fs::path binaryFolder;
        fs::path expected;
    };
    fs::create_directories(root / "lib" / "x86_64");
    fs::create_directories(root / "lib" / "Resources");
    fs::create_directories(root / "bare");
    const Layout layouts[] = {
        {root, resources},                               // <binary dir>/resources
        {root / "lib" / "x86_64", root / "lib" / "Resources"},  // <binary dir>/../Resources
        {root / "bare", root / "bare"},                  // neither: the folder itself
    };
    for (const Layout& layout : layouts) {
        void* handle = nullptr;
        const void* function = functionFromCopyIn(layout.binaryFolder, handle);
        ASSERT_NE(function, nullptr) << dlerror();
        EXPECT_EQ(Bundle::containingAddress(function).resourcePath(), fs::canonical(layout.expected));
        dlclose(handle);
    }
}

}  // namespace
