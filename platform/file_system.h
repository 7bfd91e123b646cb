#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <system_error>
#include <utility>
#include <vector>

namespace kb {

// Attribute flags in the Windows numbering, mapped onto POSIX.
namespace attr {
inline constexpr int ReadOnly = 1;
inline constexpr int Hidden = 2;
inline constexpr int System = 4;
inline constexpr int Folder = 16;
inline constexpr int Archive = 32;
} // namespace attr

// Failures of a copy that the system has no error number for.
enum class CopyError {
    NotRegular = 1, // a FIFO, socket or device, or a file of /proc or /sys
    SourceChanged,  // written while it was copied, twice in a row
};
const std::error_category& copyErrorCategory();
inline std::error_code make_error_code(CopyError e) {
    return {static_cast<int>(e), copyErrorCategory()};
}

} // namespace kb

template <> struct std::is_error_code_enum<kb::CopyError> : std::true_type {};

namespace kb {

// One look at a path (stat, following links): everything the decisions about a copy need.
struct FileSnapshot {
    enum class Kind { Missing, Regular, Folder, Special };
    Kind kind = Kind::Missing;
    std::uint64_t size = 0;
    struct timespec mtime {};
    mode_t mode = 0;
    dev_t device = 0;
    ino_t inode = 0;

    bool exists() const { return kind != Kind::Missing; }
    // Anything there that is not a folder: what the run's checks call an existing file.
    bool isFile() const { return exists() && kind != Kind::Folder; }
    bool isRegular() const { return kind == Kind::Regular; }
    bool isFolder() const { return kind == Kind::Folder; }
    std::int64_t seconds() const { return mtime.tv_sec; }
    // Two paths of one file.
    bool sameFile(const FileSnapshot& o) const {
        return exists() && o.exists() && device == o.device && inode == o.inode;
    }
    // The same file with the same size and last-write time: nothing was written in between.
    bool sameVersion(const FileSnapshot& o) const {
        return sameFile(o) && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

FileSnapshot snapshotOf(const struct stat& st);
// The attribute flags of a path from its snapshot (hidden is the name).
int attributesOf(const std::filesystem::path& p, const FileSnapshot& s);

// What a destination folder's file system can hold, found by trying.
struct FolderTraits {
    // Refuses the characters " * : < > ? \ | and control characters (FAT, exFAT, NTFS mounted with
    // windows_names, SMB shares); Windows cannot open a name ending in a dot or a blank there either.
    bool windowsNames = false;
    // Seconds between the last-write times it keeps: 2 on FAT.
    int timeStep = 1;
};
// Whether a folder of these traits holds `name` as it is.
bool holdsName(const FolderTraits& traits, std::string_view name);
// Whether the time `a` lies after `b` at a step of `step` seconds (a FAT copy's time is its source's cut to
// an even second, and must not count as older than its source).
inline bool laterAtStep(std::int64_t a, std::int64_t b, int step) {
    auto floorDiv = [step](std::int64_t t) { return t >= 0 ? t / step : -((-t + step - 1) / step); };
    return floorDiv(a) > floorDiv(b);
}

// Permission bits for a new file where its file system keeps them. Where it refuses (EPERM, ENOSYS,
// EOPNOTSUPP: FAT, exFAT, some shares) that is no failure, and the read-only flag still goes on where the
// write bits carry it (FAT's attribute).
std::error_code carryPermissions(int fd, mode_t mode);

class ReplacingFile;

// An owned file descriptor, closed when it goes unless released.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    int release() { return std::exchange(m_fd, -1); }
    void reset(int fd = -1);
    // Closes now and says whether the close went well: some file systems report a failed write only here.
    std::error_code close();

private:
    int m_fd = -1;
};

// The one write loop: every byte of `data`, at the descriptor's position or, with an offset, at that offset.
std::error_code writeAll(int fd, std::string_view data, off_t offset = -1);

// Whether a new file's data must reach the disk before it takes the target's name.
enum class Durability { Cached, OnDisk };

// What the file layer must allow for on a file system, by its type.
enum class FileSystemKind {
    Kernel, // /proc, /sys and their kin: no file there is one to back up
    // A local disk's or tmpfs: a file's size is all it holds, O_NONBLOCK means nothing to its files, a
    // rename keeps a file's last-write time, and one flush of the whole puts every file's data on the disk.
    Local,
    Other, // FUSE drivers (fusefat, exfat-fuse, ntfs-3g), network shares: none of that is taken for granted
};

// The file operations of the program, behind one class so that tests can inject faults (a copy that fails
// after N bytes, a write error, a rename that fails) and record the order of the calls. The real one is this
// class itself. Every writer goes through it: backup copies, archives, the settings file, the store's
// compaction and the history export.
class FileSystem {
public:
    FileSystem() = default;
    virtual ~FileSystem();
    FileSystem(const FileSystem&) = delete;
    FileSystem& operator=(const FileSystem&) = delete;

    // From now on every temporary file is noted in `record` (its device, inode and path) until it has its
    // real name or is gone; first the files an earlier process noted there and left behind (killed in the
    // middle of a write) are removed. A leftover is recognised by its identity, never by its name alone, so a
    // user's file that merely looks like one of ours is never touched. Only one process may keep a record
    // (the program holds its instance lock). Returns how many leftovers went.
    std::size_t keepTemporaryRecord(const std::filesystem::path& record);
    // Removes the temporary files of ours that are left: those this process could not remove (a folder that
    // turned read-only) and those the record lists. Only while none is being written; returns how many went.
    std::size_t removeLeftoverTemporaries();
    // A temporary file of createTemporary has its real name or is removed (`gone`), or could not be removed.
    void temporaryDone(const std::filesystem::path& temporary, bool gone);

    // One stat of the path; Missing when it does not exist or cannot be examined.
    virtual FileSnapshot snapshot(const std::filesystem::path& p);

    // 0 when the path does not exist or cannot be examined.
    int attributes(const std::filesystem::path& p) { return attributesOf(p, snapshot(p)); }
    // Archive only (32) makes the file owner-writable; read-only 1 clears the write bits. Hidden is the
    // name on POSIX and is left alone.
    virtual std::error_code setAttributes(const std::filesystem::path& p, int flags);

    bool isFile(const std::filesystem::path& p) { return snapshot(p).isFile(); }
    bool isFolder(const std::filesystem::path& p) { return snapshot(p).isFolder(); }
    bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
        return a == b || snapshot(a).sameFile(snapshot(b));
    }

    // Last-write time as seconds since the epoch (sub-second precision dropped), nullopt when absent.
    std::optional<std::int64_t> lastWriteTime(const std::filesystem::path& p);
    // Size in bytes. nullopt with `ec` clear when the file cannot be opened (missing, a folder); nullopt
    // with `ec` set when it was opened but its size cannot be read (invalid_argument: not a regular file).
    virtual std::optional<std::uint64_t> fileSize(const std::filesystem::path& p, std::error_code& ec);

    // Tries what `folder` can hold, with files under temporary names that are gone again at once.
    virtual FolderTraits probeFolder(const std::filesystem::path& folder);

    // The kind of the file system holding the open file `fd` (of device `device`). While a run keeps them
    // (keepKinds, nested runs counted) each device is looked at once; outside a run a device number may
    // name another file system (one stick swapped for another), and each file is looked at afresh.
    FileSystemKind kindOf(int fd, dev_t device);
    // The kind of the file system a path lies on, looked at now; Other where it cannot be told.
    FileSystemKind kindAt(const std::filesystem::path& p);
    void keepKinds();
    void forgetKinds();

    // Copies the regular file `from` into a new temporary file beside `to`, with the source's last-write
    // time and (where the file system keeps them) permission bits, and hands it over uncommitted. Holes stay
    // holes. A source that is no regular file is refused before anything is read, and opening it never
    // blocks. A source written while it is copied (its size, last-write time or identity differ after the
    // copy, or its content runs short of its size or, where a size may not tell, past it) is copied once
    // more, then refused with CopyError::SourceChanged. On failure no temporary file remains.
    virtual std::error_code copyToTemporary(const std::filesystem::path& from,
                                            const std::filesystem::path& to,
                                            std::unique_ptr<ReplacingFile>& copy);
    // copyToTemporary, then the rename over `to`. On failure `to` is as it was.
    std::error_code copyFileReplacing(const std::filesystem::path& from, const std::filesystem::path& to,
                                      Durability durability = Durability::Cached);

    // The file layer's primitives, each one place that a test can replace.
    // Creates a new, empty file under a temporary name beside `target` (the program's one naming scheme);
    // `made`, when given, is what it is (its device, the permission bits it got).
    virtual UniqueFd createTemporary(const std::filesystem::path& target, mode_t mode,
                                     std::filesystem::path& temporary, std::error_code& ec,
                                     struct stat* made);
    virtual std::error_code write(int fd, std::string_view data, off_t offset = -1);
    // Makes the file's data durable.
    virtual std::error_code syncFile(int fd);
    // The same for a file by its name (opened read-only for the flush).
    std::error_code syncPath(const std::filesystem::path& file);
    // Makes the data of many files durable together, one error for each: on a local disk's file system one
    // flush of it all, else each file by itself.
    virtual std::vector<std::error_code> syncFiles(const std::vector<int>& fds);
    // Gives `from` the name `to` in one step, replacing a file of that name.
    virtual std::error_code rename(const std::filesystem::path& from, const std::filesystem::path& to);
    // Makes the folder's entries (a rename, a new file) durable.
    virtual std::error_code syncFolder(const std::filesystem::path& folder);

    // Writes everything cached for the file system holding `folder` to the disk.
    virtual std::error_code flushToDisk(const std::filesystem::path& folder);

    virtual std::error_code createFolder(const std::filesystem::path& p);
    virtual std::error_code removeFile(const std::filesystem::path& p);

protected:
    // The content copy between two open descriptors, the first `size` bytes; where the source may have
    // `holes`, only the data it holds. A fault injector overrides this.
    virtual std::error_code copyContent(int fromFd, int toFd, std::uint64_t size, bool holes);

private:
    std::error_code copyOnce(const std::filesystem::path& from, const std::filesystem::path& to,
                             std::unique_ptr<ReplacingFile>& copy);
    void note(const std::filesystem::path& temporary, const struct stat& st);

    // Archive workers make spill files on their own threads.
    std::mutex m_recordMutex;
    std::filesystem::path m_record;
    UniqueFd m_recordFd;
    struct Leftover {
        std::string path;
        unsigned long long device, inode;
    };
    int m_live = 0;                    // temporary files made and not yet done
    std::size_t m_recordBytes = 0;     // written to the record since it was last emptied
    std::vector<Leftover> m_leftovers; // ones that could not be removed, kept in the record too

    std::mutex m_kindsMutex;
    int m_kindsKept = 0;
    std::vector<std::pair<dev_t, FileSystemKind>> m_kinds;
};

// A new file for `target`, written under a temporary name beside it and put in its place by commit(): the
// one atomic replace of the program. Until then an existing target stays as it was; without a commit, or
// after a failed one, the temporary file is removed.
class ReplacingFile {
public:
    ReplacingFile(FileSystem& files, std::filesystem::path target, mode_t mode = 0666);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // Why the temporary file could not be made; empty when it was.
    std::error_code error() const { return m_error; }
    int fd() const { return m_fd.get(); }
    const std::filesystem::path& temporary() const { return m_temporary; }
    // The permission bits it was made with, the umask's work done.
    mode_t permissions() const { return m_made.st_mode & 07777; }
    std::error_code write(std::string_view data, off_t offset = -1);
    // Gives the new file the permission bits of the target it replaces, as an editor saving over it would.
    std::error_code keepTargetPermissions();
    // The last-write time the new file keeps (to the nanosecond, where the file system does), set now and,
    // where its file system may stamp a renamed file with the current time (fusefat does), again once it has
    // its name; the access time is now.
    std::error_code setLastWriteTime(const struct timespec& time);
    // Puts the new file's data on the disk.
    std::error_code sync();
    // With OnDisk the data is flushed before the rename and the folder after it, so that a power loss leaves
    // either the old file or the whole new one. `check`, when given, reads the file back (after the flush)
    // and stops the rename with its error.
    std::error_code commit(Durability durability, const std::function<std::error_code()>& check = {});

private:
    FileSystem& m_files;
    std::filesystem::path m_target;
    std::filesystem::path m_temporary;
    UniqueFd m_fd;
    struct stat m_made {};
    std::error_code m_error;
    std::optional<struct timespec> m_time;
    bool m_committed = false;
};

// Writes `content` as the new `target` (keeping an existing file's permission bits), on the disk before it
// replaces the old one.
std::error_code writeFileReplacing(FileSystem& files, const std::filesystem::path& target,
                                   std::string_view content);

// A temporary name beside `target` that no other writer picks: ".<name>.kbtmp-<pid>-<n>". A user's file may
// bear such a name too: it is never replaced (temporary files are created exclusively), nor removed.
std::filesystem::path temporarySibling(const std::filesystem::path& target);
// True for the names temporarySibling makes.
bool isTemporarySiblingName(const std::string& fileName);

} // namespace kb
