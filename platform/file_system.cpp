#include "platform/file_system.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kb {
namespace {

constexpr std::string_view kTempTag = ".kbtmp-";

std::error_code lastError() {
    return {errno, std::system_category()};
}

bool statPath(const std::filesystem::path& p, struct stat& st) {
    return ::stat(p.c_str(), &st) == 0;
}

int closeChecked(int fd) {
    // After a failed close the descriptor is gone all the same; retrying could close someone else's.
    return ::close(fd) == 0 ? 0 : errno;
}

// Creates the temporary sibling exclusively; a name left by a killed process of the same pid is skipped.
int openTemporary(const std::filesystem::path& target, std::filesystem::path& tmp, mode_t mode) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        tmp = temporarySibling(target);
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

void syncFolder(const std::filesystem::path& file) {
    std::filesystem::path dir = file.parent_path();
    if (dir.empty())
        dir = ".";
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

std::error_code writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return lastError();
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

// Closes and renames the finished temporary file over the target; on any failure removes it. A durable
// finish also flushes the file and its folder first.
std::error_code finish(int fd, const std::filesystem::path& tmp, const std::filesystem::path& target,
                       std::error_code ec, bool durable = true) {
    if (durable && !ec && ::fsync(fd) != 0)
        ec = lastError();
    if (int err = closeChecked(fd); !ec && err)
        ec = {err, std::system_category()};
    if (!ec && ::rename(tmp.c_str(), target.c_str()) != 0)
        ec = lastError();
    if (ec) {
        ::unlink(tmp.c_str());
        return ec;
    }
    if (durable)
        syncFolder(target);
    return {};
}

} // namespace

int FileSystem::attributes(const std::filesystem::path& p) {
    struct stat st {};
    if (!statPath(p, st))
        return 0;
    int flags = 0;
    if (S_ISDIR(st.st_mode))
        flags |= attr::Folder;
    else if (S_ISREG(st.st_mode))
        flags |= attr::Archive;
    if (!(st.st_mode & S_IWUSR))
        flags |= attr::ReadOnly;
    std::string name = p.filename().string();
    if (name.size() > 1 && name[0] == '.' && name != "..")
        flags |= attr::Hidden;
    return flags;
}

std::error_code FileSystem::setAttributes(const std::filesystem::path& p, int flags) {
    struct stat st {};
    if (!statPath(p, st))
        return lastError();
    mode_t mode = st.st_mode & 07777;
    if (flags & attr::ReadOnly)
        mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    else
        mode |= S_IWUSR;
    if (::chmod(p.c_str(), mode) != 0)
        return lastError();
    return {};
}

bool FileSystem::isFile(const std::filesystem::path& p) {
    struct stat st {};
    return statPath(p, st) && !S_ISDIR(st.st_mode);
}

bool FileSystem::isFolder(const std::filesystem::path& p) {
    struct stat st {};
    return statPath(p, st) && S_ISDIR(st.st_mode);
}

bool FileSystem::sameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    if (a == b)
        return true;
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

std::optional<std::int64_t> FileSystem::lastWriteTime(const std::filesystem::path& p) {
    struct stat st {};
    if (!statPath(p, st))
        return std::nullopt;
    return static_cast<std::int64_t>(st.st_mtim.tv_sec);
}

std::optional<std::uint64_t> FileSystem::fileSize(const std::filesystem::path& p) {
    // A query without opening for reading, as the size of an unreadable file is still known.
    struct stat st {};
    if (!statPath(p, st) || S_ISDIR(st.st_mode))
        return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

std::error_code FileSystem::copyFileReplacing(const std::filesystem::path& from,
                                              const std::filesystem::path& to) {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return lastError();
    struct stat st {};
    if (::fstat(in, &st) != 0) {
        std::error_code ec = lastError();
        ::close(in);
        return ec;
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(in);
        return std::make_error_code(std::errc::is_a_directory);
    }

    std::filesystem::path tmp;
    int out = openTemporary(to, tmp, 0600);
    if (out < 0) {
        std::error_code ec = lastError();
        ::close(in);
        return ec;
    }

    std::error_code ec = copyContent(in, out, static_cast<std::uint64_t>(st.st_size));
    ::close(in);
    if (!ec) {
        // The last-write time goes on after the content, to the nanosecond; the access time is now.
        struct timespec times[2] = {{0, UTIME_NOW}, st.st_mtim};
        if (::futimens(out, times) != 0)
            ec = lastError();
    }
    if (!ec && ::fchmod(out, st.st_mode & 0777) != 0)
        ec = lastError();
    // A flush per copy would cost a disk round trip per file; the run flushes its destination once at its end
    // (flushToDisk), and the rename keeps the old copy until the new one is whole either way.
    return finish(out, tmp, to, ec, false);
}

std::error_code FileSystem::createFolder(const std::filesystem::path& p) {
    if (::mkdir(p.c_str(), 0777) != 0)
        return lastError();
    return {};
}

std::error_code FileSystem::removeFile(const std::filesystem::path& p) {
    if (::unlink(p.c_str()) != 0)
        return lastError();
    return {};
}

std::error_code FileSystem::copyContent(int fromFd, int toFd, std::uint64_t size) {
    std::uint64_t copied = 0;
    bool kernelCopy = true;
    std::vector<char> buffer;
    for (;;) {
        if (kernelCopy) {
            ssize_t n = ::copy_file_range(fromFd, nullptr, toFd, nullptr, std::size_t{1} << 30, 0);
            if (n > 0) {
                copied += static_cast<std::uint64_t>(n);
                continue;
            }
            // Some file systems answer 0 before the end; the plain loop then decides where the end is.
            if (n == 0 && copied >= size)
                return {};
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL)
                return lastError();
            kernelCopy = false;
            buffer.resize(std::size_t{1} << 20);
        }
        ssize_t n = ::read(fromFd, buffer.data(), buffer.size());
        if (n == 0)
            return {};
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return lastError();
        }
        if (auto ec = writeAll(toFd, std::string_view(buffer.data(), static_cast<std::size_t>(n))))
            return ec;
        copied += static_cast<std::uint64_t>(n);
    }
}

std::error_code writeFileReplacing(const std::filesystem::path& target, std::string_view content) {
    struct stat st {};
    bool existed = statPath(target, st);
    std::filesystem::path tmp;
    int fd = openTemporary(target, tmp, 0666);
    if (fd < 0)
        return lastError();
    std::error_code ec = writeAll(fd, content);
    if (!ec && existed && ::fchmod(fd, st.st_mode & 07777) != 0)
        ec = lastError();
    return finish(fd, tmp, target, ec);
}

std::filesystem::path temporarySibling(const std::filesystem::path& target) {
    static std::atomic<unsigned> counter{0};
    std::string suffix = std::string(kTempTag) + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    std::string name = target.filename().string();
    // Keep the whole name within NAME_MAX, cutting on a UTF-8 character boundary.
    std::size_t room = NAME_MAX - 1 - suffix.size();
    if (name.size() > room) {
        std::size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
            --cut;
        name.resize(cut);
    }
    return target.parent_path() / ("." + name + suffix);
}

bool isTemporarySiblingName(const std::string& fileName) {
    if (fileName.size() < 2 || fileName[0] != '.')
        return false;
    std::size_t tag = fileName.rfind(kTempTag);
    if (tag == std::string::npos || tag == 0)
        return false;
    std::string_view rest = std::string_view(fileName).substr(tag + kTempTag.size());
    std::size_t dash = rest.find('-');
    auto digits = [](std::string_view s) {
        if (s.empty())
            return false;
        for (char c : s)
            if (c < '0' || c > '9')
                return false;
        return true;
    };
    return dash != std::string_view::npos && digits(rest.substr(0, dash)) && digits(rest.substr(dash + 1));
}

std::size_t removeStaleTemporaries(const std::filesystem::path& folder, const std::string& target) {
    const std::string prefix = target.empty() ? std::string(".") : "." + target + std::string(kTempTag);
    std::size_t removed = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) != 0 || !isTemporarySiblingName(name))
            continue;
        std::error_code typeEc;
        if (!std::filesystem::is_regular_file(it->symlink_status(typeEc)) || typeEc)
            continue;
        // ".<name>.kbtmp-<pid>-<n>": another process that still runs (under any user) keeps its file. Our own
        // writes are synchronous, so one of ours that is still there failed and could not be removed then.
        const std::size_t tag = name.rfind(kTempTag) + kTempTag.size();
        const long pid = std::strtol(name.c_str() + tag, nullptr, 10);
        if (pid <= 0 || pid > INT_MAX)
            continue;
        if (pid != ::getpid() && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH))
            continue;
        if (::unlink(it->path().c_str()) == 0)
            ++removed;
    }
    return removed;
}

std::error_code FileSystem::flushToDisk(const std::filesystem::path& folder) {
    // A destination that vanished during the run has nothing left to flush; each file there was reported.
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::error_code ec;
    if (::syncfs(fd) != 0)
        ec = lastError();
    ::close(fd);
    return ec;
}

} // namespace kb
