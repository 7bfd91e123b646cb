#include "platform/file_system.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <vector>

#include "platform/stop_request.h"

namespace kb {
namespace {

constexpr std::string_view kTempTag = ".kbtmp-";
// How much the record of temporaries may hold of lines no longer needed before it is emptied.
constexpr std::size_t kRecordKeptBytes = 64 * 1024;

std::error_code lastError() {
    return {errno, std::system_category()};
}

bool statPath(const std::filesystem::path& p, struct stat& st) {
    return ::stat(p.c_str(), &st) == 0;
}

FileSystemKind kindOfType(unsigned long type) {
    switch (type) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case BPF_FS_MAGIC:
    case EFIVARFS_MAGIC:
        return FileSystemKind::Kernel;
    case EXT4_SUPER_MAGIC: // ext2, ext3 and ext4
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case MSDOS_SUPER_MAGIC: // vfat
    case EXFAT_SUPER_MAGIC:
    case TMPFS_MAGIC:
        return FileSystemKind::Local;
    default:
        return FileSystemKind::Other;
    }
}

// The process never forks to write files; a child that did would still make names of its own, as files are
// created exclusively.
pid_t ourPid() {
    static const pid_t pid = ::getpid();
    return pid;
}

std::filesystem::path folderOf(const std::filesystem::path& file) {
    std::filesystem::path dir = file.parent_path();
    return dir.empty() ? std::filesystem::path(".") : dir;
}

} // namespace

const std::error_category& copyErrorCategory() {
    static const struct : std::error_category {
        const char* name() const noexcept override { return "kb.copy"; }
        std::string message(int value) const override {
            switch (static_cast<CopyError>(value)) {
            case CopyError::NotRegular:
                return "not a regular file";
            case CopyError::SourceChanged:
                return "the file changed while it was copied";
            }
            return "copy error " + std::to_string(value);
        }
    } category;
    return category;
}

FileSnapshot snapshotOf(const struct stat& st) {
    FileSnapshot s;
    s.kind = S_ISREG(st.st_mode)   ? FileSnapshot::Kind::Regular
             : S_ISDIR(st.st_mode) ? FileSnapshot::Kind::Folder
                                   : FileSnapshot::Kind::Special;
    s.size = static_cast<std::uint64_t>(st.st_size);
    s.mtime = st.st_mtim;
    s.mode = st.st_mode;
    s.device = st.st_dev;
    s.inode = st.st_ino;
    return s;
}

int attributesOf(const std::filesystem::path& p, const FileSnapshot& s) {
    if (!s.exists())
        return 0;
    int flags = 0;
    if (s.isFolder())
        flags |= attr::Folder;
    else if (s.isRegular())
        flags |= attr::Archive;
    if (!(s.mode & S_IWUSR))
        flags |= attr::ReadOnly;
    std::string name = p.filename().string();
    if (name.size() > 1 && name[0] == '.' && name != "..")
        flags |= attr::Hidden;
    return flags;
}

bool holdsName(const FolderTraits& traits, std::string_view name) {
    if (!traits.windowsNames || name.empty())
        return true;
    if (name.back() == '.' || name.back() == ' ')
        return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20 ||
            std::string_view("\"*:<>?\\|").find(c) != std::string_view::npos)
            return false;
    return true;
}

std::error_code carryPermissions(int fd, mode_t mode) {
    if (::fchmod(fd, mode) == 0)
        return {};
    if (errno != EPERM && errno != ENOSYS && errno != EOPNOTSUPP)
        return lastError();
    // Linux's vfat takes a change of the write bits alone, as its read-only attribute.
    struct stat st {};
    if (!(mode & S_IWUSR) && ::fstat(fd, &st) == 0 && (st.st_mode & S_IWUSR))
        ::fchmod(fd, st.st_mode & 07555);
    return {};
}

FileSnapshot FileSystem::snapshot(const std::filesystem::path& p) {
    struct stat st {};
    if (!statPath(p, st))
        return {};
    return snapshotOf(st);
}

std::error_code FileSystem::setAttributes(const std::filesystem::path& p, int flags) {
    struct stat st {};
    if (!statPath(p, st))
        return lastError();
    const mode_t old = st.st_mode & 07777;
    mode_t mode = old;
    if (flags & attr::ReadOnly)
        mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    else
        mode |= S_IWUSR;
    // Nothing to change is no call, so a file system that refuses every chmod (FAT) still lets a writable
    // file be made writable.
    if (mode != old && ::chmod(p.c_str(), mode) != 0)
        return lastError();
    return {};
}

std::optional<std::int64_t> FileSystem::lastWriteTime(const std::filesystem::path& p) {
    const FileSnapshot s = snapshot(p);
    if (!s.exists())
        return std::nullopt;
    return s.seconds();
}

std::optional<std::uint64_t> FileSystem::fileSize(const std::filesystem::path& p, std::error_code& ec) {
    ec.clear();
    // Queried, not opened: the size of an unreadable file is still known, and a FIFO never blocks.
    struct stat st {};
    if (!statPath(p, st))
        return std::nullopt;
    if (S_ISDIR(st.st_mode))
        return std::nullopt;
    // A FIFO or a device has no size of its own to give.
    if (!S_ISREG(st.st_mode)) {
        ec = std::make_error_code(std::errc::invalid_argument);
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(st.st_size);
}

FileSystemKind FileSystem::kindOf(int fd, dev_t device) {
    const std::lock_guard lock(m_kindsMutex);
    for (const auto& [known, kind] : m_kinds)
        if (known == device)
            return kind;
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0)
        return FileSystemKind::Other;
    const FileSystemKind kind = kindOfType(static_cast<unsigned long>(fs.f_type));
    if (m_kindsKept > 0)
        m_kinds.emplace_back(device, kind);
    return kind;
}

FileSystemKind FileSystem::kindAt(const std::filesystem::path& p) {
    struct statfs fs {};
    if (::statfs(p.c_str(), &fs) != 0)
        return FileSystemKind::Other;
    return kindOfType(static_cast<unsigned long>(fs.f_type));
}

void FileSystem::keepKinds() {
    const std::lock_guard lock(m_kindsMutex);
    ++m_kindsKept;
}

void FileSystem::forgetKinds() {
    const std::lock_guard lock(m_kindsMutex);
    if (m_kindsKept > 0 && --m_kindsKept == 0)
        m_kinds.clear();
}

FolderTraits FileSystem::probeFolder(const std::filesystem::path& folder) {
    FolderTraits traits;
    std::filesystem::path temporary;
    std::error_code ec;
    // Each refuses the colon in a way of its own: EINVAL (vfat, ntfs-3g), EPERM (fusefat), ENOENT
    // (exfat-fuse).
    if (UniqueFd fd = createTemporary(folder / "kb:probe", 0600, temporary, ec, nullptr)) {
        fd.reset();
        temporaryDone(temporary, ::unlink(temporary.c_str()) == 0);
    } else if (ec == std::errc::invalid_argument || ec == std::errc::operation_not_permitted ||
               ec == std::errc::no_such_file_or_directory || ec == std::errc::illegal_byte_sequence) {
        traits.windowsNames = isFolder(folder);
    }
    if (UniqueFd fd = createTemporary(folder / "kbprobe", 0600, temporary, ec, nullptr)) {
        constexpr time_t kOddSecond = 1136118601;
        const struct timespec times[2] = {{0, UTIME_OMIT}, {kOddSecond, 0}};
        struct stat st {};
        if (::futimens(fd.get(), times) == 0 && ::fstat(fd.get(), &st) == 0 &&
            st.st_mtim.tv_sec != kOddSecond)
            traits.timeStep = 2;
        fd.reset();
        temporaryDone(temporary, ::unlink(temporary.c_str()) == 0);
    }
    return traits;
}

std::error_code FileSystem::copyToTemporary(const std::filesystem::path& from,
                                            const std::filesystem::path& to,
                                            std::unique_ptr<ReplacingFile>& copy) {
    std::error_code ec = copyOnce(from, to, copy);
    if (ec == CopyError::SourceChanged)
        ec = copyOnce(from, to, copy);
    return ec;
}

std::error_code FileSystem::copyOnce(const std::filesystem::path& from, const std::filesystem::path& to,
                                     std::unique_ptr<ReplacingFile>& copy) {
    copy.reset();
    // Non-blocking, so that a FIFO or a device put in the file's place cannot stall the open.
    UniqueFd in(::open(from.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!in)
        return errno == ENXIO ? make_error_code(CopyError::NotRegular) : lastError();
    struct stat before {};
    if (::fstat(in.get(), &before) != 0)
        return lastError();
    if (S_ISDIR(before.st_mode))
        return std::make_error_code(std::errc::is_a_directory);
    if (!S_ISREG(before.st_mode))
        return CopyError::NotRegular;
    const FileSystemKind kind = kindOf(in.get(), before.st_dev);
    if (kind == FileSystemKind::Kernel)
        return CopyError::NotRegular;
    // Blocking reads again, now that it is a regular file: a FUSE driver or a share hears of the flag.
    if (kind != FileSystemKind::Local)
        ::fcntl(in.get(), F_SETFL, 0);

    // Made with the source's permission bits where its owner may read and write it, so that where nothing
    // (umask, default ACL) takes bits away it needs no fchmod; other bits come once it is written.
    const mode_t permissions = before.st_mode & 0777;
    auto out = std::make_unique<ReplacingFile>(*this, to, (permissions & 0600) == 0600 ? permissions : 0600);
    if (out->error())
        return out->error();
    // As many bytes allocated as it has: no hole to look for.
    const bool holes =
        static_cast<std::uint64_t>(before.st_blocks) * 512 < static_cast<std::uint64_t>(before.st_size);
    if (std::error_code ec =
            copyContent(in.get(), out->fd(), static_cast<std::uint64_t>(before.st_size), holes))
        return ec;
    // A byte past the size it had: elsewhere than on a local disk a file may hold more than its size says
    // (as /proc's files do, which say 0). On a local disk one that grew has another size by now.
    if (kind != FileSystemKind::Local) {
        char extra;
        ssize_t n;
        while ((n = ::pread(in.get(), &extra, 1, before.st_size)) < 0 && errno == EINTR) {
        }
        if (n < 0)
            return lastError();
        if (n > 0)
            return CopyError::SourceChanged;
    }
    // The path still names the file, and it has the size and time it had: it was not written meanwhile.
    struct stat now {};
    if (!statPath(from, now) || !snapshotOf(before).sameVersion(snapshotOf(now)))
        return CopyError::SourceChanged;
    if (std::error_code ec = out->setLastWriteTime(before.st_mtim))
        return ec;
    if (out->permissions() != permissions)
        if (std::error_code ec = carryPermissions(out->fd(), permissions))
            return ec;
    copy = std::move(out);
    return {};
}

std::error_code FileSystem::copyFileReplacing(const std::filesystem::path& from,
                                              const std::filesystem::path& to, Durability durability) {
    std::unique_ptr<ReplacingFile> copy;
    if (std::error_code ec = copyToTemporary(from, to, copy))
        return ec;
    return copy->commit(durability);
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

std::error_code FileSystem::copyContent(int fromFd, int toFd, std::uint64_t size, bool holes) {
    const auto end = static_cast<off_t>(size);
    bool kernelCopy = true;
    std::vector<char> buffer;
    off_t filled = 0; // the copy holds every byte before this
    // A write past a hole; where the file system refuses to leave one (fusefat), the hole is written as
    // zeros.
    auto put = [&](std::string_view bytes, off_t at) {
        std::error_code ec = write(toFd, bytes, at);
        if (ec && at > filled &&
            (ec == std::errc::operation_not_permitted || ec == std::errc::invalid_argument ||
             ec == std::errc::operation_not_supported)) {
            const std::vector<char> zeros(std::size_t{1} << 20);
            for (ec.clear(); !ec && filled < at;) {
                const auto n = static_cast<std::size_t>(std::min<off_t>(at - filled, off_t{1} << 20));
                if (!(ec = write(toFd, std::string_view(zeros.data(), n), filled)))
                    filled += static_cast<off_t>(n);
            }
            if (!ec)
                ec = write(toFd, bytes, at);
        }
        if (!ec)
            filled = std::max(filled, at + static_cast<off_t>(bytes.size()));
        return ec;
    };
    for (off_t at = 0; at < end;) {
        // Only the data the file holds is copied, as cp does, so holes stay holes.
        off_t data = holes ? ::lseek(fromFd, at, SEEK_DATA) : at;
        off_t hole = end;
        if (data < 0 && errno == ENXIO)
            break;
        if (data < 0) {
            data = at;
        } else if (holes) {
            if (data >= end)
                break;
            hole = std::min(end, std::max(data, ::lseek(fromFd, data, SEEK_HOLE)));
            if (hole <= data)
                hole = end;
        }
        for (off_t in = data, out = data; in < hole;) {
            // Chunks short enough that a stop request ends a large copy at once; the caller removes the rest.
            if (cutShort())
                return std::make_error_code(std::errc::operation_canceled);
            const auto want = static_cast<std::size_t>(std::min<off_t>(hole - in, off_t{1} << 26));
            if (kernelCopy) {
                ssize_t n = ::copy_file_range(fromFd, &in, toFd, &out, want, 0);
                if (n > 0) {
                    filled = out;
                    continue;
                }
                if (n < 0 && errno == EINTR)
                    continue;
                // Some file systems answer 0 before the end; the plain loop then decides where the end is.
                if (n < 0 && errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL)
                    return lastError();
                kernelCopy = false;
                buffer.resize(std::size_t{1} << 20);
            }
            ssize_t n = ::pread(fromFd, buffer.data(), std::min(want, buffer.size()), in);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return lastError();
            if (n == 0)
                return CopyError::SourceChanged; // shorter than it was
            if (auto ec = put(std::string_view(buffer.data(), static_cast<std::size_t>(n)), in))
                return ec;
            in += n;
            out = in;
        }
        at = hole;
    }
    // A hole at the end still counts in the size. One written byte sets it, where some FUSE drivers refuse
    // ftruncate (fusefat).
    if (filled < end) {
        if (auto ec = put(std::string_view("", 1), end - 1))
            return ec;
    }
    return {};
}

UniqueFd FileSystem::createTemporary(const std::filesystem::path& target, mode_t mode,
                                     std::filesystem::path& temporary, std::error_code& ec,
                                     struct stat* made) {
    // Exclusive creation: a name that is taken (a user's file, what a killed process left) is skipped.
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = temporarySibling(target);
        int fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            ec.clear();
            // Its identity, for the record and the caller.
            struct stat st {};
            const bool known = ::fstat(fd, &st) == 0;
            if (!known)
                st = {};
            if (made)
                *made = st;
            const std::lock_guard lock(m_recordMutex);
            ++m_live;
            if (known)
                note(temporary, st);
            return UniqueFd(fd);
        }
        if (errno != EEXIST)
            break;
    }
    ec = lastError();
    temporary.clear();
    return UniqueFd();
}

FileSystem::~FileSystem() {
    // Nothing of ours is left to find: the record goes with the process.
    if (m_recordFd && m_live == 0 && m_leftovers.empty())
        ::unlink(m_record.c_str());
}

// One line per temporary file: "<device> <inode> <length of the path> <path>", the path as bytes (it may
// hold a line break). Written before the file holds anything; a kill leaves the line in the page cache.
void FileSystem::note(const std::filesystem::path& temporary, const struct stat& st) {
    if (m_record.empty())
        return;
    if (!m_recordFd) {
        // Never through a link, never blocking on a FIFO: a record that is no regular file is not kept.
        UniqueFd rec(::open(m_record.c_str(),
                            O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
        struct stat st {};
        if (!rec || ::fstat(rec.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            m_record.clear();
            return;
        }
        m_recordFd = std::move(rec);
    }
    std::error_code absoluteEc;
    const std::string path = std::filesystem::absolute(temporary, absoluteEc).string();
    if (absoluteEc)
        return;
    const std::string line = std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) + " " +
                             std::to_string(path.size()) + " " + path + "\n";
    if (!writeAll(m_recordFd.get(), line))
        m_recordBytes += line.size();
}

void FileSystem::temporaryDone(const std::filesystem::path& temporary, bool gone) {
    const std::lock_guard lock(m_recordMutex);
    if (m_live > 0)
        --m_live;
    struct stat st {};
    std::error_code ec;
    if (!gone && ::lstat(temporary.c_str(), &st) == 0)
        m_leftovers.push_back({std::filesystem::absolute(temporary, ec).string(),
                               static_cast<unsigned long long>(st.st_dev),
                               static_cast<unsigned long long>(st.st_ino)});
    // All put in place or removed: nothing in the record is needed any more. A line of a file that took its
    // name names nothing a later start could remove (the path is gone, or holds another file), so the
    // record is emptied only now and then rather than after every file, and goes with the process.
    if (m_live == 0 && m_leftovers.empty() && m_recordFd && m_recordBytes >= kRecordKeptBytes) {
        if (::ftruncate(m_recordFd.get(), 0) == 0)
            m_recordBytes = 0;
    }
}

std::size_t FileSystem::keepTemporaryRecord(const std::filesystem::path& record) {
    {
        const std::lock_guard lock(m_recordMutex);
        m_recordFd.reset();
        m_record = record;
    }
    return removeLeftoverTemporaries();
}

namespace {

// The lines of a record, as far as they are whole.
void readRecord(const std::filesystem::path& record, std::vector<std::string>& paths,
                std::vector<std::pair<unsigned long long, unsigned long long>>& ids, bool& regular) {
    UniqueFd in(::open(record.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!in) {
        regular = errno == ENOENT;
        return;
    }
    regular = ::fstat(in.get(), &st) == 0 && S_ISREG(st.st_mode);
    if (!regular)
        return;
    // A record is a few lines; one that has grown past this was not written by us whole.
    constexpr std::size_t kMaxRecord = std::size_t{16} << 20;
    std::string text(std::min<std::size_t>(static_cast<std::size_t>(st.st_size), kMaxRecord), '\0');
    std::size_t got = 0;
    for (ssize_t n; got < text.size(); got += static_cast<std::size_t>(n)) {
        while ((n = ::read(in.get(), text.data() + got, text.size() - got)) < 0 && errno == EINTR) {
        }
        if (n <= 0)
            break;
    }
    text.resize(got);
    std::size_t at = 0;
    auto number = [&](unsigned long long& value) {
        const std::size_t start = at;
        for (value = 0; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
            value = value * 10 + static_cast<unsigned>(text[at] - '0');
        return at > start && at < text.size() && text[at++] == ' ';
    };
    for (unsigned long long dev = 0, ino = 0, len = 0; at < text.size();) {
        // A line a kill cut short ends the record.
        if (!number(dev) || !number(ino) || !number(len) || len >= text.size() - at)
            break;
        paths.push_back(text.substr(at, len));
        ids.emplace_back(dev, ino);
        at += len + 1;
    }
}

} // namespace

std::size_t FileSystem::removeLeftoverTemporaries() {
    const std::lock_guard lock(m_recordMutex);
    if (m_live != 0)
        return 0;
    std::vector<std::string> paths;
    std::vector<std::pair<unsigned long long, unsigned long long>> ids;
    for (const Leftover& l : m_leftovers) {
        paths.push_back(l.path);
        ids.emplace_back(l.device, l.inode);
    }
    m_leftovers.clear();
    if (!m_record.empty()) {
        bool regular = true;
        readRecord(m_record, paths, ids, regular);
        if (!regular) {
            m_record.clear();
            m_recordFd.reset();
        }
    }
    std::size_t removed = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        // The file we made is the one still under that name: the same device and inode, a regular file,
        // named as ours are. Anything else there is someone else's.
        struct stat st {};
        if (::lstat(paths[i].c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            static_cast<unsigned long long>(st.st_dev) != ids[i].first ||
            static_cast<unsigned long long>(st.st_ino) != ids[i].second ||
            !isTemporarySiblingName(std::filesystem::path(paths[i]).filename().string()))
            continue;
        if (::unlink(paths[i].c_str()) == 0)
            ++removed;
        else
            m_leftovers.push_back({paths[i], ids[i].first, ids[i].second});
    }
    if (m_leftovers.empty() && !m_record.empty()) {
        if (m_recordFd) {
            [[maybe_unused]] int r = ::ftruncate(m_recordFd.get(), 0);
        } else {
            ::unlink(m_record.c_str());
        }
    }
    return removed;
}

std::error_code FileSystem::write(int fd, std::string_view data, off_t offset) {
    return writeAll(fd, data, offset);
}

std::error_code FileSystem::syncPath(const std::filesystem::path& file) {
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    return fd ? syncFile(fd.get()) : lastError();
}

std::error_code FileSystem::syncFile(int fd) {
    return ::fsync(fd) == 0 ? std::error_code() : lastError();
}

std::vector<std::error_code> FileSystem::syncFiles(const std::vector<int>& fds) {
    std::vector<std::error_code> errors(fds.size());
    // One flush of a whole local file system costs one journal commit where a fsync of each file costs one
    // each (ext4 allocates a file's blocks only when it writes it back). A FUSE driver or a network share
    // hears only a file's own fsync.
    struct stat first {};
    bool together =
        !fds.empty() && ::fstat(fds[0], &first) == 0 && kindOf(fds[0], first.st_dev) == FileSystemKind::Local;
    for (std::size_t i = 1; together && i < fds.size(); ++i) {
        struct stat st {};
        together = ::fstat(fds[i], &st) == 0 && st.st_dev == first.st_dev;
    }
    if (together && ::syncfs(fds[0]) == 0)
        return errors;
    for (std::size_t i = 0; i < fds.size(); ++i)
        errors[i] = syncFile(fds[i]);
    return errors;
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
    m_fd = m_files.createTemporary(m_target, mode, m_temporary, m_error, &m_made);
}

ReplacingFile::~ReplacingFile() {
    if (!m_committed && !m_temporary.empty()) {
        m_fd.reset();
        m_files.temporaryDone(m_temporary, ::unlink(m_temporary.c_str()) == 0 || errno == ENOENT);
    }
}

std::error_code ReplacingFile::write(std::string_view data, off_t offset) {
    return m_files.write(m_fd.get(), data, offset);
}

std::error_code ReplacingFile::keepTargetPermissions() {
    struct stat st {};
    if (!statPath(m_target, st))
        return {};
    return carryPermissions(m_fd.get(), st.st_mode & 07777);
}

std::error_code ReplacingFile::setLastWriteTime(const struct timespec& time) {
    m_time = time;
    const struct timespec times[2] = {{0, UTIME_NOW}, time};
    return ::futimens(m_fd.get(), times) == 0 ? std::error_code() : lastError();
}

std::error_code ReplacingFile::sync() {
    return m_files.syncFile(m_fd.get());
}

std::error_code ReplacingFile::commit(Durability durability, const std::function<std::error_code()>& check) {
    const bool onDisk = durability == Durability::OnDisk;
    std::error_code ec = onDisk ? sync() : std::error_code();
    if (!ec && check)
        ec = check();
    // fusefat stamps a renamed file with the current time (and takes no time without an access time).
    const bool stampAgain =
        m_time && !ec && m_files.kindOf(m_fd.get(), m_made.st_dev) != FileSystemKind::Local;
    if (std::error_code closed = m_fd.close(); !ec)
        ec = closed;
    if (!ec)
        ec = m_files.rename(m_temporary, m_target);
    if (ec)
        return ec;
    m_committed = true;
    m_files.temporaryDone(m_temporary, true);
    if (stampAgain) {
        const struct timespec times[2] = {{0, UTIME_NOW}, *m_time};
        if (::utimensat(AT_FDCWD, m_target.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
            return lastError();
    }
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
    std::string suffix = std::string(kTempTag) + std::to_string(ourPid()) + "-" + std::to_string(counter++);
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

std::error_code FileSystem::flushToDisk(const std::filesystem::path& folder) {
    // A destination that vanished during the run has nothing left to flush; each file there was reported.
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return {};
    return ::syncfs(fd.get()) == 0 ? std::error_code() : lastError();
}

} // namespace kb
