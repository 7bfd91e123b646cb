#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <system_error>
#include <utility>

namespace kb {

// Attribute flags in the Windows numbering, mapped onto POSIX.
namespace attr {
inline constexpr int ReadOnly = 1;
inline constexpr int Hidden = 2;
inline constexpr int System = 4;
inline constexpr int Folder = 16;
inline constexpr int Archive = 32;
} // namespace attr

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

// The file operations of the program, behind one class so that tests can inject faults (a copy that fails
// after N bytes, a write error, a rename that fails) and record the order of the calls. The real one is this
// class itself. Every writer goes through it: backup copies, archives, the settings file, the store's
// compaction and the history export.
class FileSystem {
public:
    virtual ~FileSystem() = default;

    // 0 when the path does not exist or cannot be examined.
    virtual int attributes(const std::filesystem::path& p);
    // Archive only (32) makes the file owner-writable; read-only 1 clears the write bits. Hidden is the
    // name on POSIX and is left alone.
    virtual std::error_code setAttributes(const std::filesystem::path& p, int flags);

    virtual bool isFile(const std::filesystem::path& p);
    virtual bool isFolder(const std::filesystem::path& p);
    virtual bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b);

    // Last-write time as seconds since the epoch (sub-second precision dropped), nullopt when absent.
    virtual std::optional<std::int64_t> lastWriteTime(const std::filesystem::path& p);
    // Size in bytes. nullopt with `ec` clear when the file cannot be opened (missing, a folder); nullopt
    // with `ec` set when it was opened but its size cannot be read (invalid_argument: not a regular file).
    virtual std::optional<std::uint64_t> fileSize(const std::filesystem::path& p, std::error_code& ec);

    // Copies the content of `from` into a new temporary file in the folder of `to`, gives it the last-write
    // time and permission bits of `from`, then renames it over `to`. On failure `to` is as it was and no
    // temporary file remains. The kernel's copy path does the work (copy_file_range).
    virtual std::error_code copyFileReplacing(const std::filesystem::path& from,
                                              const std::filesystem::path& to,
                                              Durability durability = Durability::Cached);

    // The file layer's primitives, each one place that a test can replace.
    // Creates a new, empty file under a temporary name beside `target` (the program's one naming scheme).
    virtual UniqueFd createTemporary(const std::filesystem::path& target, mode_t mode,
                                     std::filesystem::path& temporary, std::error_code& ec);
    virtual std::error_code write(int fd, std::string_view data, off_t offset = -1);
    // Makes the file's data durable.
    virtual std::error_code syncFile(int fd);
    // Gives `from` the name `to` in one step, replacing a file of that name.
    virtual std::error_code rename(const std::filesystem::path& from, const std::filesystem::path& to);
    // Makes the folder's entries (a rename, a new file) durable.
    virtual std::error_code syncFolder(const std::filesystem::path& folder);

    // Writes everything cached for the file system holding `folder` to the disk.
    virtual std::error_code flushToDisk(const std::filesystem::path& folder);

    virtual std::error_code createFolder(const std::filesystem::path& p);
    virtual std::error_code removeFile(const std::filesystem::path& p);

protected:
    // The content copy between two open descriptors; a fault injector overrides this.
    virtual std::error_code copyContent(int fromFd, int toFd, std::uint64_t size);
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
    std::error_code write(std::string_view data, off_t offset = -1);
    // Gives the new file the permission bits of the target it replaces, as an editor saving over it would.
    std::error_code keepTargetPermissions();
    // With OnDisk the data is flushed before the rename and the folder after it, so that a power loss leaves
    // either the old file or the whole new one.
    std::error_code commit(Durability durability);

private:
    FileSystem& m_files;
    std::filesystem::path m_target;
    std::filesystem::path m_temporary;
    UniqueFd m_fd;
    std::error_code m_error;
    bool m_committed = false;
};

// Writes `content` as the new `target` (keeping an existing file's permission bits), on the disk before it
// replaces the old one.
std::error_code writeFileReplacing(FileSystem& files, const std::filesystem::path& target,
                                   std::string_view content);

// A temporary name beside `target` that no other writer picks: ".<name>.kbtmp-<pid>-<n>".
std::filesystem::path temporarySibling(const std::filesystem::path& target);
// True for the names temporarySibling makes (used to clean up after a kill).
bool isTemporarySiblingName(const std::string& fileName);
// Removes from `folder` (not its sub-folders) the temporary siblings whose writer is no longer running, what
// a kill or a power loss in the middle of a write left; only those of `target` when a name is given. Returns
// how many went.
std::size_t removeStaleTemporaries(const std::filesystem::path& folder, const std::string& target = {});

} // namespace kb
