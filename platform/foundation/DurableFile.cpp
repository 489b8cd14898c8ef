#include "platform/foundation/DurableFile.h"

#include "platform/os/FileDescriptor.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <thread>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view kPOSIXDomain = "NSPOSIXErrorDomain";

Error posixError(std::string_view what, const std::filesystem::path& path, int code) {
    return Error{std::string(kPOSIXDomain), code, std::string(what) + " " + path.string() + ": " + std::strerror(code)};
}

void report(Error* out, Error error) {
    if (out) *out = std::move(error);
}

// Closes on every path out of a function; a failed close is reported by `closeChecked`.
int openRetrying(const std::filesystem::path& path, int flags, mode_t mode = 0) {
    int fd;
    do fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

std::optional<Error> writeAll(int fd, std::string_view bytes, const std::filesystem::path& path) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return posixError("write", path, errno);
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return std::nullopt;
}

std::optional<Error> syncFolderOf(const std::filesystem::path& file) {
    const auto folder = file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
    FileDescriptor fd(openRetrying(folder, O_RDONLY | O_DIRECTORY));
    if (!fd.valid()) return posixError("open", folder, errno);
    if (::fsync(fd.get()) != 0) return posixError("fsync", folder, errno);
    return std::nullopt;
}

// Creates `path`, which must not exist (nor be a link), writes `bytes`, flushes and closes it. A
// file that could not be written whole is removed again, so no partial copy stays behind.
std::optional<Error> writeNewFile(const std::filesystem::path& path, std::string_view bytes) {
    FileDescriptor fd(openRetrying(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
    if (!fd.valid()) return posixError("open", path, errno);
    auto failure = writeAll(fd.get(), bytes, path);
    if (!failure && ::fsync(fd.get()) != 0) failure = posixError("fsync", path, errno);
    if (!failure && fd.closeChecked() != 0) failure = posixError("close", path, errno);
    if (failure) {
        fd.reset();
        ::unlink(path.c_str());
    }
    return failure;
}

Error unusableFile(const std::filesystem::path& file, int64_t code, const std::string& why) {
    return Error{std::string(kUnusableFileDomain), code, "read " + file.string() + ": " + why};
}

// Refuses what is not a regular file of at most `limit` bytes.
std::optional<Error> checkReadable(const std::filesystem::path& file, const struct stat& info, std::size_t limit) {
    if (!S_ISREG(info.st_mode)) return unusableFile(file, kNotARegularFile, "not a regular file");
    if (static_cast<std::size_t>(info.st_size) > limit)
        return unusableFile(file, kFileTooLarge, "larger than " + std::to_string(limit) + " bytes");
    return std::nullopt;
}

std::optional<std::string> readAll(int fd, const std::filesystem::path& file, std::size_t limit, Error* error) {
    std::string bytes;
    char chunk[16384];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0) return bytes;
        if (n < 0) {
            if (errno == EINTR) continue;
            report(error, posixError("read", file, errno));
            return std::nullopt;
        }
        bytes.append(chunk, static_cast<std::size_t>(n));
        if (bytes.size() > limit) {  // it grew while being read
            report(error, unusableFile(file, kFileTooLarge, "larger than " + std::to_string(limit) + " bytes"));
            return std::nullopt;
        }
    }
}

int flockRetrying(int fd, int operation) {
    int result;
    do result = ::flock(fd, operation);
    while (result != 0 && errno == EINTR);
    return result;
}

// 0 once the lock is taken, else the errno: EWOULDBLOCK when it is still held at `deadline`. A
// blocking flock cannot be given a deadline, so this polls; the pauses start short and stay
// short, since a writer holds the lock for a moment and takes it again almost at once.
int lockBefore(int fd, std::chrono::steady_clock::time_point deadline) {
    constexpr auto kLongestPause = std::chrono::microseconds(1000);
    auto pause = std::chrono::microseconds(100);
    for (;;) {
        if (flockRetrying(fd, LOCK_EX | LOCK_NB) == 0) return 0;
        if (errno != EWOULDBLOCK) return errno;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return EWOULDBLOCK;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, kLongestPause);
    }
}

Error lockBusy(const std::filesystem::path& lockFile, std::chrono::milliseconds patience) {
    return Error{std::string(kPOSIXDomain), EWOULDBLOCK,
                 "lock " + lockFile.string() + ": still held by another process after " + std::to_string(patience.count()) +
                     " ms"};
}

}  // namespace

std::optional<std::string> readWholeFile(const std::filesystem::path& file, Error* error, std::size_t limit) {
    // Looked at before opening, since opening a device or a FIFO can itself wait or have effects;
    // looked at again once open, in case the file was swapped in between.
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) {
        if (errno != ENOENT) report(error, posixError("stat", file, errno));
        return std::nullopt;
    }
    if (auto refused = checkReadable(file, info, limit)) {
        report(error, std::move(*refused));
        return std::nullopt;
    }
    FileDescriptor fd(openRetrying(file, O_RDONLY | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid()) {
        if (errno != ENOENT) report(error, posixError("open", file, errno));
        return std::nullopt;
    }
    if (::fstat(fd.get(), &info) != 0) {
        report(error, posixError("fstat", file, errno));
        return std::nullopt;
    }
    if (auto refused = checkReadable(file, info, limit)) {
        report(error, std::move(*refused));
        return std::nullopt;
    }
    return readAll(fd.get(), file, limit, error);
}

std::optional<Error> replaceFileDurably(const std::filesystem::path& file, const std::filesystem::path& temporary,
                                        std::string_view bytes) {
    // A stale temporary file, or a link planted in its place, goes; the exclusive create then
    // refuses anything that appears there meanwhile.
    ::unlink(temporary.c_str());
    if (auto failure = writeNewFile(temporary, bytes)) return failure;
    if (::rename(temporary.c_str(), file.c_str()) != 0) {
        const int code = errno;
        ::unlink(temporary.c_str());
        return posixError("rename", file, code);
    }
    return syncFolderOf(file);
}

std::optional<Error> createFileDurably(const std::filesystem::path& file, std::string_view bytes) {
    if (auto failure = writeNewFile(file, bytes)) return failure;
    if (auto failure = syncFolderOf(file)) {
        // Reported as failed, so it must not stay behind as a copy nobody knows about.
        ::unlink(file.c_str());
        return failure;
    }
    return std::nullopt;
}

std::optional<Error> createPrivateFolders(const std::filesystem::path& folder) {
    std::filesystem::path built;
    for (const auto& part : folder) {
        built /= part;
        if (::mkdir(built.c_str(), 0700) != 0 && errno != EEXIST) return posixError("mkdir", built, errno);
    }
    if (!std::filesystem::is_directory(folder)) return posixError("mkdir", folder, ENOTDIR);
    return std::nullopt;
}

bool isLockBusy(const Error& error) { return error.domain == kPOSIXDomain && error.code == EWOULDBLOCK; }

std::optional<ExclusiveFileLock> ExclusiveFileLock::acquire(const std::filesystem::path& lockFile, Error* error,
                                                            std::optional<std::chrono::milliseconds> patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience.value_or(std::chrono::milliseconds(0));
    // Never through a link, and never waiting to open: the lock is ours, in our folder.
    const int fd = openRetrying(lockFile, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600);
    if (fd < 0) {
        report(error, posixError("open", lockFile, errno));
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        report(error, Error{std::string(kUnusableFileDomain), kNotARegularFile, "lock " + lockFile.string() + ": not a regular file"});
        ::close(fd);
        return std::nullopt;
    }
    const int failure = patience ? lockBefore(fd, deadline) : (flockRetrying(fd, LOCK_EX) == 0 ? 0 : errno);
    if (failure != 0) {
        report(error, failure == EWOULDBLOCK && patience ? lockBusy(lockFile, *patience) : posixError("flock", lockFile, failure));
        ::close(fd);
        return std::nullopt;
    }
    return ExclusiveFileLock(fd);
}

ExclusiveFileLock::ExclusiveFileLock(ExclusiveFileLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

ExclusiveFileLock::~ExclusiveFileLock() {
    // Closing the last descriptor of the open file description releases the lock.
    if (fd_ >= 0) ::close(fd_);
}

std::filesystem::path timestampedFreePath(const std::filesystem::path& folder, std::string_view stem,
                                          std::string_view extension) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    const std::string base = std::string(stem) + "-" + stamp;
    std::filesystem::path candidate = folder / (base + "." + std::string(extension));
    for (int n = 2; std::filesystem::exists(candidate); ++n)
        candidate = folder / (base + "-" + std::to_string(n) + "." + std::string(extension));
    return candidate;
}
