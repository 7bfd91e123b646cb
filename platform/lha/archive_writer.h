#pragma once

#include <filesystem>
#include <string>

namespace kb {
class FileSystem;
}

namespace kb::lha {

enum class ArchiveStatus : int {
    Ok = 0,
    BadCommand = 1,
    NoSource = 2,
    NoFiles = 3,
    ReadError = 4,
    WriteError = 5,
    TooLarge = 6,
    Internal = 7,
    Stopped = 8,     // a stop request came while building
    CheckFailed = 9, // read back, the archive was not what was written
};

struct ArchiveResult {
    ArchiveStatus status = ArchiveStatus::Ok;
    std::string message;
    int members = 0;
};

// Packs every regular file directly inside `folder` (sorted by name, byte order) into a level-2 LHA archive
// at `archive`. The archive is built under a temporary name in its own folder, flushed to the disk, read back
// and checked member by member, and renamed over `archive` only then; on failure the temporary file is
// removed and an existing `archive` is left as it was.
ArchiveResult writeArchive(FileSystem& files, const std::filesystem::path& archive,
                           const std::filesystem::path& folder);

} // namespace kb::lha
