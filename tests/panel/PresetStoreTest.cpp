#include "panel/model/PresetJSON.h"
#include "panel/model/PresetStore.h"
#include "platform/foundation/DurableFile.h"
#include "tests/panel/PresetTestSupport.h"
#include "tests/support/ForkedRun.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using tolvane::test::exitCodeOfForkedRun;
using tolvane::test::samplePreset;

namespace {

// Runs `body` in a forked copy of this process, which exits with what it returns.
pid_t runInChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}

int waitStatus(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return status;
}

// Kills `child` between its creating `temporary` and renaming it over the store, however fast
// or slow the machine: the child is stopped the moment the file is seen and killed only if the
// file is still there while it stands still; otherwise it goes on and the next write is tried.
// False if no write was caught within a generous deadline (the child is killed then too).
bool killWhileWriting(pid_t child, const fs::path& temporary) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!fs::exists(temporary)) {
            std::this_thread::yield();
            continue;
        }
        kill(child, SIGSTOP);
        int status = 0;
        while (waitpid(child, &status, WUNTRACED) < 0 && errno == EINTR) {}
        if (!WIFSTOPPED(status)) return false;  // it ended on its own
        const bool caught = fs::exists(temporary);
        kill(child, caught ? SIGKILL : SIGCONT);
        if (caught) return true;
    }
    kill(child, SIGKILL);
    return false;
}

// A forked copy of this process that took the store's lock and then stopped, as a host frozen in
// a debugger does; killed at the latest when it goes.
class StoppedLockHolder {
public:
    explicit StoppedLockHolder(const fs::path& lockFile)
        : pid_(runInChild([&] {
              Error error;
              const auto lock = ExclusiveFileLock::acquire(lockFile, &error);
              if (!lock) return 1;
              raise(SIGSTOP);
              return 0;
          })) {}
    ~StoppedLockHolder() { end(); }

    // Waits until the child stands still with the lock; false when it ended instead.
    bool stopped() const {
        int status = 0;
        while (waitpid(pid_, &status, WUNTRACED) < 0 && errno == EINTR) {}
        return WIFSTOPPED(status);
    }
    void end() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitStatus(pid_);
        pid_ = -1;
    }

private:
    pid_t pid_;
};

std::string presetName(std::string prefix, int i) { return prefix.append(std::to_string(i)); }

std::vector<std::string> names(const std::vector<StoredPreset>& presets) {
    std::vector<std::string> out;
    for (const auto& p : presets) out.push_back(p.name);
    return out;
}

// Every test has a configuration folder of its own, found the way the plug-in finds it.
class PresetStoreTest : public testing::Test {
protected:
    PresetStore makeStore() const { return PresetStore(UserDefaults::standardUserDefaults(), effectsTable()); }
    UserDefaults defaults() const { return UserDefaults::standardUserDefaults(); }
    fs::path folder() const { return scratch.path() / "tolvane"; }
    fs::path storeFile() const { return defaults().filePath(); }

    std::optional<std::string> storedBytes() const { return defaults().dataForKey(PresetStore::kDefaultsKey); }
    void store(const std::string& bytes) const { ASSERT_EQ(defaults().setData(PresetStore::kDefaultsKey, bytes), std::nullopt); }
    std::vector<StoredPreset> storedList() const {
        const auto bytes = storedBytes();
        if (!bytes) {
            ADD_FAILURE() << "nothing stored";
            return {};
        }
        const auto decoded = decodePresets(*bytes, effectsTable());
        EXPECT_TRUE(decoded.complete()) << *bytes;
        return decoded.presets;
    }
    std::vector<fs::path> backups(const std::string& stem = "TolvaneStudioUserPresets") const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(folder()))
            if (entry.path().filename().string().starts_with(stem + ".unreadable-")) found.push_back(entry.path());
        return found;
    }
    std::vector<fs::path> defaultsBackups() const { return backups("com.marlowen.tolvane"); }
    void writeStoreFile(const std::string& text) const {
        fs::create_directories(folder());
        std::ofstream(storeFile(), std::ios::binary | std::ios::trunc) << text;
    }
    static std::string fileText(const fs::path& path) {
        std::stringstream text;
        text << std::ifstream(path, std::ios::binary).rdbuf();
        return text.str();
    }

    tolvane::test::TempFolder scratch;
    tolvane::test::ScopedEnvironment config{"XDG_CONFIG_HOME", scratch.path().c_str()};
};

TEST_F(PresetStoreTest, SeedsTheFactoryPresetsOnlyWhenNothingIsStored) {
    const auto first = makeStore().load();
    EXPECT_EQ(first.error, std::nullopt);
    ASSERT_EQ(first.presets.size(), 11u);
    EXPECT_EQ(storedList(), first.presets);
    EXPECT_EQ(makeStore().load().presets, first.presets);  // read again, not seeded again

    store("[]");
    const auto before = fs::last_write_time(storeFile());
    EXPECT_TRUE(makeStore().load().presets.empty());
    EXPECT_EQ(storedBytes(), "[]");
    EXPECT_EQ(fs::last_write_time(storeFile()), before);
}

TEST_F(PresetStoreTest, OneCorruptObjectAmongTenKeepsNineAndBacksUpTheBytes) {
    std::vector<StoredPreset> ten;
    for (int i = 0; i < 10; ++i) ten.push_back(samplePreset(presetName("Preset ", i), static_cast<float>(i)));
    std::vector<StoredPreset> nine = ten;
    nine.erase(nine.begin() + 4);

    const auto objectText = [&](int i) { const auto one = encodePresets({ten[i]}, effectsTable()); return one.substr(1, one.size() - 2); };
    auto missingKey = objectText(4);
    missingKey.erase(missingKey.find("\"hissLevel\""), std::string("\"hissLevel\":12.25,").size());
    auto missingColon = objectText(4);
    missingColon.erase(missingColon.find("\"outputLevel\":") + 13, 1);

    for (const auto& corrupt : {missingKey, missingColon}) {
        std::string bytes = "[";
        for (int i = 0; i < 10; ++i) bytes += (i ? ",\n" : "") + (i == 4 ? corrupt : objectText(i));
        bytes += "]";
        store(bytes);
        for (const auto& old : backups()) fs::remove(old);

        testing::internal::CaptureStderr();
        const auto loaded = makeStore().load();
        const std::string log = testing::internal::GetCapturedStderr();

        EXPECT_EQ(loaded.presets, nine);
        EXPECT_EQ(loaded.error, std::nullopt);
        const auto saved = backups();
        ASSERT_EQ(saved.size(), 1u);
        EXPECT_EQ(fileText(saved[0]), bytes);
        EXPECT_NE(log.find(saved[0].string()), std::string::npos) << log;
        // The nine are stored cleanly, so the next panel neither loses nor backs up anything.
        EXPECT_EQ(storedList(), nine);
        EXPECT_EQ(makeStore().load().presets, nine);
        EXPECT_EQ(backups().size(), 1u);
    }
}

TEST_F(PresetStoreTest, NothingReadableIsBackedUpBeforeTheFactoryPresetsReplaceIt) {
    for (const std::string unreadable : {"{\"not\": \"a list\"}", "[{\"id\": 1}]"}) {
        store(unreadable);
        for (const auto& old : backups()) fs::remove(old);
        testing::internal::CaptureStderr();
        const auto loaded = makeStore().load();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(loaded.presets.size(), 11u);
        ASSERT_EQ(backups().size(), 1u);
        EXPECT_EQ(fileText(backups()[0]), unreadable);
        EXPECT_EQ(storedList(), loaded.presets);
    }
}

TEST_F(PresetStoreTest, ChangesApplyByIdOverWhatOtherPanelsSaved) {
    auto a = makeStore(), b = makeStore();
    const auto seeded = a.load().presets;
    ASSERT_EQ(b.load().presets, seeded);

    const auto x = samplePreset("X", 1), y = samplePreset("Y", 2);
    EXPECT_EQ(names(a.add(x).presets).back(), "X");
    const auto afterB = b.add(y).presets;  // b never saw X, and keeps it all the same
    ASSERT_EQ(afterB.size(), 13u);
    EXPECT_EQ(afterB[11], x);
    EXPECT_EQ(afterB[12], y);

    auto renamed = samplePreset("Dusty Vinyl 2", 30, 0);
    renamed.id = seeded[0].id;
    const auto afterA = a.overwrite(renamed).presets;
    EXPECT_EQ(afterA[0], renamed);  // in place, under the same id
    EXPECT_EQ(afterA.back(), y);
    const auto afterRemove = b.remove(seeded[1].id).presets;
    EXPECT_EQ(afterRemove.size(), 12u);
    EXPECT_EQ(afterRemove[0], renamed);
    EXPECT_EQ(names(afterRemove)[1], "Gentle Chorus");
    EXPECT_EQ(storedList(), afterRemove);
}

TEST_F(PresetStoreTest, APresetDeletedElsewhereIsSavedAsANewOneAndNotDeletedTwice) {
    auto a = makeStore(), b = makeStore();
    const auto seeded = a.load().presets;
    a.remove(seeded[2].id);

    const auto before = fs::last_write_time(storeFile());
    EXPECT_EQ(b.remove(seeded[2].id).presets.size(), 10u);  // already gone: nothing to write
    EXPECT_EQ(fs::last_write_time(storeFile()), before);

    auto changed = seeded[2];
    changed.outputLevel = 50;
    const auto saved = b.overwrite(changed).presets;
    ASSERT_EQ(saved.size(), 11u);
    EXPECT_EQ(saved.back(), changed);
}

TEST_F(PresetStoreTest, AFailedSaveIsLoggedAndTheListStaysWhatTheStoreHolds) {
    auto store = makeStore();
    const auto seeded = store.load().presets;
    const auto obstacle = folder() / ".com.marlowen.tolvane.json.tmp";
    fs::create_directory(obstacle);

    testing::internal::CaptureStderr();
    const auto failed = store.add(samplePreset("Lost?"));
    const std::string log = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(failed.error.has_value());
    EXPECT_EQ(failed.presets, seeded);
    EXPECT_NE(log.find("The presets could not be saved"), std::string::npos) << log;
    EXPECT_EQ(storedList(), seeded);

    // Values that are not numbers are saved as their defaults: nothing makes saving stick.
    fs::remove(obstacle);
    auto odd = samplePreset("Odd");
    odd.outputLevel = std::nanf("");
    odd.effectValues[3][0] = 1e9f;
    const auto saved = store.add(odd);
    ASSERT_EQ(saved.error, std::nullopt);
    EXPECT_EQ(saved.presets.back().outputLevel, 75);
    EXPECT_EQ(saved.presets.back().effectValues[3][0], 100);
    EXPECT_EQ(storedList(), saved.presets);
    EXPECT_EQ(store.add(samplePreset("Next")).presets.size(), 13u);
}

// ---- hostile files

TEST_F(PresetStoreTest, DeepNestingAnywhereInTheFileIsUnreadableAndNeverOverflowsTheStack) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const auto kept = samplePreset("Kept");
    const std::string presetsText = nlohmann::json(encodePresets({kept}, effectsTable())).dump();
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        // Nothing under the key can be read: the factory presets replace it.
        {"{\"TolvaneStudioUserPresets\": " + deep + "}", names(makeDefaultPresets(effectsTable()))},
        // The presets beside a deep value are kept.
        {"{\"other\": " + deep + ", \"TolvaneStudioUserPresets\": " + presetsText + "}", {"Kept"}},
    };
    for (const auto& [text, expected] : cases) {
        writeStoreFile(text);
        testing::internal::CaptureStderr();
        const auto loaded = makeStore().load();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(loaded.error, std::nullopt);
        EXPECT_EQ(names(loaded.presets), expected);
        EXPECT_EQ(storedList(), loaded.presets);
    }
    EXPECT_EQ(defaultsBackups().size(), 2u);
}

TEST_F(PresetStoreTest, AStoreOrLockThatIsNotARegularFileIsNeverWaitedOn) {
    // Each load runs in a child with a deadline: opening a FIFO for reading waits for a writer.
    const auto loadsTheFactoryPresets = [&] {
        return exitCodeOfForkedRun([&] {
            const auto loaded = makeStore().load();
            return !loaded.error && loaded.presets.size() == 11 ? 0 : 1;
        });
    };
    fs::create_directories(folder());
    ASSERT_EQ(mkfifo(storeFile().c_str(), 0600), 0);
    ASSERT_EQ(loadsTheFactoryPresets(), 0);
    // The FIFO went aside, and a regular store took its place.
    ASSERT_EQ(defaultsBackups().size(), 1u);
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(defaultsBackups()[0])));
    EXPECT_EQ(storedList().size(), 11u);

    // A link to a device that never ends.
    fs::remove(storeFile());
    fs::create_symlink("/dev/zero", storeFile());
    ASSERT_EQ(loadsTheFactoryPresets(), 0);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(storeFile())));

    // A lock file that is a FIFO is refused with a reason (a load of a sound store takes no lock).
    const auto lock = folder() / ".com.marlowen.tolvane.lock";
    fs::remove(lock);
    ASSERT_EQ(mkfifo(lock.c_str(), 0600), 0);
    EXPECT_EQ(exitCodeOfForkedRun([&] {
        testing::internal::CaptureStderr();
        const auto saved = makeStore().add(samplePreset("Refused"));
        const std::string log = testing::internal::GetCapturedStderr();
        return saved.error && log.find("not a regular file") != std::string::npos ? 0 : 1;
    }), 0);
}

TEST_F(PresetStoreTest, ASaveNeverWritesThroughALinkedTemporaryFile) {
    auto store = makeStore();
    store.load();
    const auto precious = scratch.path() / "precious.txt";
    const auto absent = scratch.path() / "absent.txt";
    std::ofstream(precious) << "precious";
    const auto temporary = folder() / ".com.marlowen.tolvane.json.tmp";
    for (const auto& target : {precious, absent}) {
        fs::create_symlink(target, temporary);
        const auto saved = store.add(samplePreset("After"));
        EXPECT_EQ(saved.error, std::nullopt);
        EXPECT_EQ(fileText(precious), "precious");
        EXPECT_FALSE(fs::exists(absent));
        EXPECT_FALSE(fs::is_symlink(storeFile()));
        EXPECT_EQ(storedList(), saved.presets);
    }
}

TEST_F(PresetStoreTest, ABackupCutShortByAFullDiskLeavesNoPartialFile) {
    std::vector<StoredPreset> many;
    for (int i = 0; i < 40; ++i) many.push_back(samplePreset(presetName("Preset ", i)));
    std::string bytes = encodePresets(many, effectsTable());
    bytes.back() = ',';
    bytes += "{\"id\": 1}]";  // one unreadable object: a load backs the list up first
    store(bytes);
    ASSERT_GT(bytes.size(), 8192u);
    for (int attempt = 0; attempt < 2; ++attempt) {
        // Files may not grow past 4 KiB in the child: the backup's write fails part way, as on a
        // full disk.
        EXPECT_EQ(exitCodeOfForkedRun([&] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{4096, 4096};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
            testing::internal::CaptureStderr();
            const auto loaded = makeStore().load();
            testing::internal::GetCapturedStderr();
            return loaded.error ? 0 : 1;
        }), 0);
    }
    EXPECT_TRUE(backups().empty());
    EXPECT_EQ(storedBytes(), bytes);
}

TEST_F(PresetStoreTest, ADamagedDefaultsFileKeepsItsCompletePresetsAndSaysWhereItWent) {
    const std::vector<StoredPreset> three{samplePreset("One"), samplePreset("Two"), samplePreset("Three")};
    store(encodePresets(three, effectsTable()));
    const std::string whole = fileText(storeFile());
    const std::pair<std::size_t, std::vector<std::string>> cuts[] = {
        {whole.find(three[2].id), {"One", "Two"}},            // inside the third preset
        {whole.size() - 2, {"One", "Two", "Three"}},           // only the closing brace lost
        {whole.find("Presets"), names(makeDefaultPresets(effectsTable()))},  // inside the key
    };
    for (const auto& [cut, expected] : cuts) {
        for (const auto& old : defaultsBackups()) fs::remove(old);
        const std::string damaged = whole.substr(0, cut);
        writeStoreFile(damaged);
        testing::internal::CaptureStderr();
        const auto loaded = makeStore().load();
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(loaded.error, std::nullopt);
        EXPECT_EQ(names(loaded.presets), expected) << damaged;
        EXPECT_EQ(storedList(), loaded.presets);
        // The whole file was kept aside, and the log line says where.
        const auto aside = defaultsBackups();
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(fileText(aside[0]), damaged);
        EXPECT_NE(log.find(aside[0].string()), std::string::npos) << log;
        EXPECT_TRUE(backups().empty());
    }
}

TEST_F(PresetStoreTest, AStoreTooLargeToReadIsMovedAsideWholeAndTheLogSaysNothingWasRead) {
    const std::string presetsText = nlohmann::json(encodePresets({samplePreset("Kept")}, effectsTable())).dump();
    const std::string huge = "{\"TolvaneStudioUserPresets\": " + presetsText + ", \"padding\": \"" +
                             std::string(kDefaultReadLimit, 'x') + "\"}";
    writeStoreFile(huge);
    testing::internal::CaptureStderr();
    const auto loaded = makeStore().load();
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(names(loaded.presets), names(makeDefaultPresets(effectsTable())));
    const auto aside = defaultsBackups();
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(fs::file_size(aside[0]), huge.size());
    // It held a complete preset, so the log must not say it held none.
    EXPECT_NE(log.find("larger than"), std::string::npos) << log;
    EXPECT_NE(log.find("nothing in it was read"), std::string::npos) << log;
    EXPECT_EQ(log.find("no complete preset"), std::string::npos) << log;
}

// A large store costs its length to read: the deadline is far above what a load and a save take,
// and is there so that a cost growing with the square of the keys fails instead of taking minutes.
TEST_F(PresetStoreTest, AStoreOf160000KeysLoadsAndSavesInTimeKeepingEveryKeyInPlace) {
    const std::vector<StoredPreset> kept{samplePreset("Kept")};
    std::string others;
    for (int i = 0; i < 160000; ++i) others += "  \"key" + std::to_string(i) + "\": \"v\",\n";
    writeStoreFile("{\n" + others + "  \"TolvaneStudioUserPresets\": " +
                   nlohmann::json(encodePresets(kept, effectsTable())).dump() + "\n}\n");
    auto loadAndSave = std::async(std::launch::async, [&] {
        auto store = makeStore();
        auto loaded = store.load();
        return std::pair{std::move(loaded), store.add(samplePreset("Added"))};
    });
    ASSERT_EQ(loadAndSave.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const auto [loaded, saved] = loadAndSave.get();
    EXPECT_EQ(loaded.presets, kept);
    ASSERT_EQ(saved.error, std::nullopt);
    EXPECT_EQ(names(saved.presets), (std::vector<std::string>{"Kept", "Added"}));
    EXPECT_TRUE(fileText(storeFile()).starts_with("{\n" + others));
}

// ---- a stopped peer

TEST_F(PresetStoreTest, AProcessStoppedHoldingTheLockDelaysNoLoadAndASaveFailsInTime) {
    const std::vector<StoredPreset> two{samplePreset("One"), samplePreset("Two")};
    const std::string sound = encodePresets(two, effectsTable());
    store(sound);
    StoppedLockHolder holder(folder() / ".com.marlowen.tolvane.lock");
    ASSERT_TRUE(holder.stopped());
    // Each operation runs beside the test; one still waiting after 30 s fails the test, and
    // ending the holder lets it finish.
    const auto within30s = [&](const std::function<PresetStore::Result()>& operation) {
        auto running = std::async(std::launch::async, operation);
        if (running.wait_for(std::chrono::seconds(30)) == std::future_status::ready)
            return std::optional<PresetStore::Result>(running.get());
        holder.end();
        running.wait();
        return std::optional<PresetStore::Result>();
    };
    const auto load = [&] { return makeStore().load(); };

    const auto loaded = within30s(load);
    ASSERT_TRUE(loaded) << "a load waited for the stopped process";
    EXPECT_EQ(loaded->presets, two);

    // A load that would back up and repair a damaged list shows what it reads and writes nothing.
    std::string damaged = sound;
    damaged.back() = ',';
    damaged += "{\"id\": 1}]";
    writeStoreFile("{\"TolvaneStudioUserPresets\": " + nlohmann::json(damaged).dump() + "}");
    testing::internal::CaptureStderr();
    const auto shown = within30s(load);
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(shown) << "a load waited for the stopped process";
    EXPECT_EQ(shown->presets, two);
    EXPECT_EQ(shown->error, std::nullopt);
    EXPECT_TRUE(backups().empty());
    EXPECT_EQ(storedBytes(), damaged);

    testing::internal::CaptureStderr();
    const auto saved = within30s([&] { return makeStore().add(samplePreset("Three")); });
    const std::string log = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(saved) << "a save waited for the stopped process";
    EXPECT_TRUE(saved->error.has_value());
    EXPECT_EQ(saved->presets, two);
    EXPECT_NE(log.find("The presets could not be saved"), std::string::npos) << log;
    EXPECT_EQ(storedBytes(), damaged);
}

// ---- nothing lost, measured across processes

TEST_F(PresetStoreTest, AProcessKilledWhileSavingAlwaysLeavesTheOldOrTheNewList) {
    auto store = makeStore();
    const auto old = store.load().presets;
    const auto extra = samplePreset("Extra");
    auto added = old;
    added.push_back(extra);

    const fs::path temporary = folder() / ".com.marlowen.tolvane.json.tmp";
    std::mt19937 random(2024);
    std::uniform_int_distribution<int> delayMicroseconds(0, 15000);
    int killedMidWrite = 0;
    for (int i = 0; i < 200; ++i) {
        // Every tenth kill is aimed at a write in progress, the others land wherever a random
        // delay puts them. An aimed kill starts with no temporary file left by an earlier one, so
        // the file it sees is the child's own.
        const bool aimed = i % 10 == 0;
        if (aimed) fs::remove(temporary);
        // The child swaps the store between the two lists until it is killed.
        const pid_t child = runInChild([&] {
            for (;;)
                if (store.remove(extra.id).error || store.add(extra).error) return 1;
        });
        ASSERT_GT(child, 0);
        if (aimed) {
            ASSERT_TRUE(killWhileWriting(child, temporary)) << "no write of the child was caught in a minute";
            ++killedMidWrite;
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
            kill(child, SIGKILL);
        }
        const int status = waitStatus(child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the saving child failed on its own, status " << status;

        const auto list = storedList();
        ASSERT_TRUE(list == old || list == added) << "after kill " << i << ": " << list.size() << " presets";
    }
    EXPECT_EQ(killedMidWrite, 20);
}

TEST_F(PresetStoreTest, TwoProcessesAddingAHundredPresetsEachAtOnceKeepAll200) {
    store("[]");
    std::vector<pid_t> children;
    for (const std::string prefix : {"a", "b"}) {
        children.push_back(runInChild([&, prefix] {
            auto mine = makeStore();
            for (int i = 0; i < 100; ++i)
                if (mine.add(samplePreset(presetName(prefix, i), static_cast<float>(i))).error) return 1;
            return 0;
        }));
    }
    for (const pid_t child : children) {
        const int status = waitStatus(child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

    const auto all = storedList();
    ASSERT_EQ(all.size(), 200u);
    std::vector<std::string> a, b;
    std::set<std::string> ids;
    for (const auto& p : all) {
        (p.name[0] == 'a' ? a : b).push_back(p.name);
        ids.insert(p.id);
    }
    EXPECT_EQ(ids.size(), 200u);
    for (int i = 0; i < 100; ++i) {  // each process's presets in the order it added them
        EXPECT_EQ(a.at(i), presetName("a", i));
        EXPECT_EQ(b.at(i), presetName("b", i));
    }
}

}  // namespace
