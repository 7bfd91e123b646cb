#pragma once

#include "test_support.h"

namespace kb::test {

// Mounts and unmounts are private to this test process and its children, and vanish with it.
// False (with the reason) where the system does not allow it.
bool privateMounts(std::string* why = nullptr);
// A tmpfs of `bytes` at `dir`; false with the reason when it cannot be mounted.
bool mountTmpfs(const std::filesystem::path& dir, std::uint64_t bytes, std::string* why = nullptr);
// `dir` becomes read-only where it is (a read-only bind mount over itself).
bool makeReadOnly(const std::filesystem::path& dir, std::string* why = nullptr);
void unmount(const std::filesystem::path& dir);

// A file system of its own, as users' sticks and disks have them: made on an image in `work` and mounted at
// `work`/mnt, the way a desktop mounts it (FAT through fusefat, exFAT through exfat-fuse on a loop device,
// NTFS through ntfs-3g with windows_names, as udisks mounts it; a tmpfs of that size). Unmounted, its FUSE
// daemon ended and its loop device freed when it goes, and by the kernel when the test process dies.
class Volume {
public:
    enum class Kind { Fat, Exfat, Ntfs, Tmpfs };
    Volume(Kind kind, const std::filesystem::path& work, std::uint64_t bytes);
    ~Volume();
    Volume(const Volume&) = delete;
    Volume& operator=(const Volume&) = delete;

    bool mounted() const { return m_mounted; }
    // Why it could not be mounted where the system does not allow it (no /dev/fuse, no loop devices, no
    // mount rights): the test skips. Anything else that stops the mount is a failure of the test.
    const std::string& unavailable() const { return m_why; }
    const std::filesystem::path& path() const { return m_mount; }

private:
    bool mountFuse(const std::string& program, const std::vector<std::string>& args);

    std::filesystem::path m_mount;
    pid_t m_daemon = -1;
    bool m_mounted = false;
    std::string m_why;
};

} // namespace kb::test
