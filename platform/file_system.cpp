#include "platform/file_system.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/stop_request.h"

namespace kb {
namespace {

constexpr std::string_view kTempTag = ".kbtmp-";

std::error_code lastError() {
    return {errno, std::system_category()};
}

bool statPath(const std::filesystem::path& p, struct stat& st) {
    return ::stat(p.c_str(), &st) == 0;
}

std::filesystem::path folderOf(const std::filesystem::path& file) {
    std::filesystem::path dir = file.parent_path();
    return dir.empty() ? std::filesystem::path(".") : dir;
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

std::optional<std::uint64_t> FileSystem::fileSize(const std::filesystem::path& p, std::error_code& ec) {
    ec.clear();
    // Opened only to query it, as the size of an unreadable file is still known; never blocks on a FIFO.
    UniqueFd fd(::open(p.c_str(), O_PATH | O_CLOEXEC));
    if (!fd)
        return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        ec = lastError();
        return std::nullopt;
    }
    if (S_ISDIR(st.st_mode))
        return std::nullopt;
    // A FIFO or a device has no size of its own to give.
    if (!S_ISREG(st.st_mode)) {
        ec = std::make_error_code(std::errc::invalid_argument);
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(st.st_size);
}

std::error_code FileSystem::copyFileReplacing(const std::filesystem::path& from,
                                              const std::filesystem::path& to, Durability durability) {
    UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in)
        return lastError();
    struct stat st {};
    if (::fstat(in.get(), &st) != 0)
        return lastError();
    if (S_ISDIR(st.st_mode))
        return std::make_error_code(std::errc::is_a_directory);

    ReplacingFile out(*this, to, 0600);
    if (out.error())
        return out.error();
    std::error_code ec = copyContent(in.get(), out.fd(), static_cast<std::uint64_t>(st.st_size));
    if (!ec) {
        // The last-write time goes on after the content, to the nanosecond; the access time is now.
        struct timespec times[2] = {{0, UTIME_NOW}, st.st_mtim};
        if (::futimens(out.fd(), times) != 0)
            ec = lastError();
    }
    if (!ec && ::fchmod(out.fd(), st.st_mode & 0777) != 0)
        ec = lastError();
    if (ec)
        return ec;
    return out.commit(durability);
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
        // Chunks short enough that a stop request ends a large copy at once; the caller removes the rest.
        if (cutShort())
            return std::make_error_code(std::errc::operation_canceled);
        if (kernelCopy) {
            ssize_t n = ::copy_file_range(fromFd, nullptr, toFd, nullptr, std::size_t{1} << 26, 0);
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
        if (auto ec = write(toFd, std::string_view(buffer.data(), static_cast<std::size_t>(n))))
            return ec;
        copied += static_cast<std::uint64_t>(n);
    }
}

UniqueFd FileSystem::createTemporary(const std::filesystem::path& target, mode_t mode,
                                     std::filesystem::path& temporary, std::error_code& ec) {
    // Exclusive creation: a name left by a killed process of the same pid is skipped.
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = temporarySibling(target);
        int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            ec.clear();
            return UniqueFd(fd);
        }
        if (errno != EEXIST)
            break;
    }
    ec = lastError();
    temporary.clear();
    return UniqueFd();
}

std::error_code FileSystem::write(int fd, std::string_view data, off_t offset) {
    return writeAll(fd, data, offset);
}

std::error_code FileSystem::syncFile(int fd) {
    return ::fsync(fd) == 0 ? std::error_code() : lastError();
}

std::error_code FileSystem::rename(const std::filesystem::path& from, const std::filesystem::path& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? std::error_code() : lastError();
}

std::error_code FileSystem::syncFolder(const std::filesystem::path& folder) {
    UniqueFd fd(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd || ::fsync(fd.get()) != 0)
        return lastError();
    return {};
}

void UniqueFd::reset(int fd) {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

std::error_code UniqueFd::close() {
    // After a failed close the descriptor is gone all the same; retrying could close someone else's.
    if (m_fd >= 0 && ::close(std::exchange(m_fd, -1)) != 0)
        return lastError();
    return {};
}

std::error_code writeAll(int fd, std::string_view data, off_t offset) {
    while (!data.empty()) {
        ssize_t n = offset < 0 ? ::write(fd, data.data(), data.size())
                               : ::pwrite(fd, data.data(), data.size(), offset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return lastError();
        }
        if (n == 0)
            return std::make_error_code(std::errc::io_error);
        data.remove_prefix(static_cast<std::size_t>(n));
        if (offset >= 0)
            offset += n;
    }
    return {};
}

ReplacingFile::ReplacingFile(FileSystem& files, std::filesystem::path target, mode_t mode)
    : m_files(files), m_target(std::move(target)) {
    m_fd = m_files.createTemporary(m_target, mode, m_temporary, m_error);
}

ReplacingFile::~ReplacingFile() {
    if (!m_committed && !m_temporary.empty()) {
        m_fd.reset();
        ::unlink(m_temporary.c_str());
    }
}

std::error_code ReplacingFile::write(std::string_view data, off_t offset) {
    return m_files.write(m_fd.get(), data, offset);
}

std::error_code ReplacingFile::keepTargetPermissions() {
    struct stat st {};
    if (!statPath(m_target, st))
        return {};
    return ::fchmod(m_fd.get(), st.st_mode & 07777) == 0 ? std::error_code() : lastError();
}

std::error_code ReplacingFile::commit(Durability durability) {
    const bool onDisk = durability == Durability::OnDisk;
    std::error_code ec = onDisk ? m_files.syncFile(m_fd.get()) : std::error_code();
    if (std::error_code closed = m_fd.close(); !ec)
        ec = closed;
    if (!ec)
        ec = m_files.rename(m_temporary, m_target);
    if (ec)
        return ec;
    m_committed = true;
    // The rename itself is on the disk only once its folder is; a failure there is not the copy's.
    if (onDisk)
        m_files.syncFolder(folderOf(m_target));
    return {};
}

std::error_code writeFileReplacing(FileSystem& files, const std::filesystem::path& target,
                                   std::string_view content) {
    ReplacingFile file(files, target);
    if (file.error())
        return file.error();
    if (std::error_code ec = file.write(content))
        return ec;
    if (std::error_code ec = file.keepTargetPermissions())
        return ec;
    return file.commit(Durability::OnDisk);
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
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return {};
    return ::syncfs(fd.get()) == 0 ? std::error_code() : lastError();
}

} // namespace kb
