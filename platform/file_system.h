#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace kb {

// Attribute flags in the Windows numbering, mapped onto POSIX.
namespace attr {
inline constexpr int ReadOnly = 1;
inline constexpr int Hidden = 2;
inline constexpr int System = 4;
inline constexpr int Folder = 16;
inline constexpr int Archive = 32;
} // namespace attr

// The file operations the backup engine performs, behind one class so that tests can inject faults
// (a copy that fails after N bytes, a read error). The real one is this class itself.
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
    // Size in bytes, nullopt when the file cannot be opened.
    virtual std::optional<std::uint64_t> fileSize(const std::filesystem::path& p);

    // Copies the content of `from` into a new temporary file in the folder of `to`, gives it the last-write
    // time and permission bits of `from`, then renames it over `to`. On failure `to` is as it was and no
    // temporary file remains. The kernel's copy path does the work (copy_file_range).
    virtual std::error_code copyFileReplacing(const std::filesystem::path& from,
                                              const std::filesystem::path& to);

    // Writes everything cached for the file system holding `folder` to the disk.
    virtual std::error_code flushToDisk(const std::filesystem::path& folder);

    virtual std::error_code createFolder(const std::filesystem::path& p);
    virtual std::error_code removeFile(const std::filesystem::path& p);

protected:
    // The content copy between two open descriptors; a fault injector overrides this.
    virtual std::error_code copyContent(int fromFd, int toFd, std::uint64_t size);
};

// Writes `content` into a temporary sibling, flushes it and renames it over `target` (keeping the old file's
// permission bits), so that a power loss leaves either the old or the new file. On failure `target` is as it
// was and no temporary file remains.
std::error_code writeFileReplacing(const std::filesystem::path& target, std::string_view content);

// A temporary name beside `target` that no other writer picks: ".<name>.kbtmp-<pid>-<n>".
std::filesystem::path temporarySibling(const std::filesystem::path& target);
// True for the names temporarySibling makes (used to clean up after a kill).
bool isTemporarySiblingName(const std::string& fileName);
// Removes from `folder` (not its sub-folders) the temporary siblings whose writer is no longer running, what
// a kill or a power loss in the middle of a write left; only those of `target` when a name is given. Returns
// how many went.
std::size_t removeStaleTemporaries(const std::filesystem::path& folder, const std::string& target = {});

} // namespace kb
