#pragma once

#include <filesystem>

namespace kb {

// One running instance per user and program folder: an flock on a file in the system temp folder, named
// from the user and a hash of the program folder. The kernel drops the lock when a process dies, so a stale
// lock file never blocks a start.
class InstanceLock {
public:
    explicit InstanceLock(const std::filesystem::path& programFolder);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // True when this process now holds the lock; false when another instance does.
    bool acquire();

private:
    std::filesystem::path m_path;
    int m_fd = -1;
};

} // namespace kb
