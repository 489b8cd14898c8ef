#pragma once

#include "platform/foundation/Error.h"

#include <chrono>
#include <filesystem>
#include <optional>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Files that survive a crash or a power cut at any instant: a reader finds either the old content
// or the new one, never a mixture. Failures come back as errors in the POSIX domain (code =
// errno), naming the path.

// Why readWholeFile refused a file that exists and could be opened: it is not a regular file (a
// FIFO, a device, a folder, or a link to one), or it is larger than the caller's limit. Such a
// file is unusable as it stands, unlike one that failed to read for a passing reason.
inline constexpr std::string_view kUnusableFileDomain = "UnusableFile";
inline constexpr int64_t kNotARegularFile = -1;
inline constexpr int64_t kFileTooLarge = -2;

inline constexpr std::size_t kDefaultReadLimit = std::size_t{16} << 20;

// The whole file, or nothing without an error when it does not exist. Only a regular file is
// read, and only up to `limit` bytes; the open never waits (on a FIFO with no writer, say).
std::optional<std::string> readWholeFile(const std::filesystem::path& file, Error* error,
                                         std::size_t limit = kDefaultReadLimit);

// Writes `bytes` to `temporary` (same folder as `file`), flushes it to the disk, renames it over
// `file` and flushes the folder, so the rename itself is durable. Callers serialise writers, since
// they share the temporary name. Whatever is at `temporary` is removed first and the temporary
// file is created afresh, never opened through a link, so a save writes nowhere but the folder.
std::optional<Error> replaceFileDurably(const std::filesystem::path& file, const std::filesystem::path& temporary,
                                        std::string_view bytes);

// Creates `file`, which must not exist yet, with `bytes`, flushed to the disk with its folder.
// When writing fails part way (a full disk), the partial file is removed again.
std::optional<Error> createFileDurably(const std::filesystem::path& file, std::string_view bytes);

// Creates `folder` and its parents when missing; new folders are private to the user (0700).
std::optional<Error> createPrivateFolders(const std::filesystem::path& folder);

// An exclusive advisory lock on a lock file, held until destruction. Each lock has its own open
// file description, so it excludes other threads of this process as well as other processes.
class ExclusiveFileLock {
public:
    // Waits until the lock is free, or for at most `patience` when given (zero: tries once); a
    // lock still held then is reported busy (see isLockBusy), since its holder may be stopped for
    // good. The lock file is created when missing and never removed; one that is a link or not a
    // regular file is refused with an error.
    static std::optional<ExclusiveFileLock> acquire(const std::filesystem::path& lockFile, Error* error,
                                                    std::optional<std::chrono::milliseconds> patience = std::nullopt);

    ExclusiveFileLock(ExclusiveFileLock&& other) noexcept;
    ExclusiveFileLock& operator=(ExclusiveFileLock&&) = delete;
    ExclusiveFileLock(const ExclusiveFileLock&) = delete;
    ExclusiveFileLock& operator=(const ExclusiveFileLock&) = delete;
    ~ExclusiveFileLock();

private:
    explicit ExclusiveFileLock(int fd) : fd_(fd) {}
    int fd_;
};

// True for the error of an acquire that found the lock held by someone else until its patience ran
// out: a reason to try again later, not a fault of the files.
bool isLockBusy(const Error& error);

// "<folder>/<stem>-<UTC time as YYYYMMDDTHHMMSSZ>.<extension>", with "-2", "-3", ... after the
// time when that name is taken: a name for a new file that keeps aside what must not be lost.
std::filesystem::path timestampedFreePath(const std::filesystem::path& folder, std::string_view stem,
                                          std::string_view extension);
