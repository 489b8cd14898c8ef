#include "platform/foundation/DurableFile.h"

#include "platform/os/FileDescriptor.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

Error posixError(std::string_view what, const std::filesystem::path& path, int code) {
    return Error{"NSPOSIXErrorDomain", code, std::string(what) + " " + path.string() + ": " + std::strerror(code)};
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

// Writes a file that `flags` opened or created, flushes and closes it, reporting the first failure.
std::optional<Error> writeFlushedFile(const std::filesystem::path& path, int flags, std::string_view bytes) {
    FileDescriptor fd(openRetrying(path, O_WRONLY | O_CREAT | flags, 0600));
    if (!fd.valid()) return posixError("open", path, errno);
    if (auto failure = writeAll(fd.get(), bytes, path)) return failure;
    if (::fsync(fd.get()) != 0) return posixError("fsync", path, errno);
    if (fd.closeChecked() != 0) return posixError("close", path, errno);
    return std::nullopt;
}

}  // namespace

std::optional<std::string> readWholeFile(const std::filesystem::path& file, Error* error) {
    FileDescriptor fd(openRetrying(file, O_RDONLY));
    if (!fd.valid()) {
        if (errno != ENOENT) report(error, posixError("open", file, errno));
        return std::nullopt;
    }
    std::string bytes;
    char chunk[16384];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n == 0) return bytes;
        if (n < 0) {
            if (errno == EINTR) continue;
            report(error, posixError("read", file, errno));
            return std::nullopt;
        }
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
}

std::optional<Error> replaceFileDurably(const std::filesystem::path& file, const std::filesystem::path& temporary,
                                        std::string_view bytes) {
    if (auto failure = writeFlushedFile(temporary, O_TRUNC, bytes)) {
        ::unlink(temporary.c_str());
        return failure;
    }
    if (::rename(temporary.c_str(), file.c_str()) != 0) {
        const int code = errno;
        ::unlink(temporary.c_str());
        return posixError("rename", file, code);
    }
    return syncFolderOf(file);
}

std::optional<Error> createFileDurably(const std::filesystem::path& file, std::string_view bytes) {
    if (auto failure = writeFlushedFile(file, O_EXCL, bytes)) return failure;
    return syncFolderOf(file);
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

std::optional<ExclusiveFileLock> ExclusiveFileLock::acquire(const std::filesystem::path& lockFile, Error* error) {
    const int fd = openRetrying(lockFile, O_RDWR | O_CREAT, 0600);
    if (fd < 0) {
        report(error, posixError("open", lockFile, errno));
        return std::nullopt;
    }
    int result;
    do result = ::flock(fd, LOCK_EX);
    while (result != 0 && errno == EINTR);
    if (result != 0) {
        report(error, posixError("flock", lockFile, errno));
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
