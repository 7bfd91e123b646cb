#include "platform/instance_lock.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kb {
namespace {

std::uint64_t fnv1a(const std::string& s) {
    std::uint64_t h = 14695981039346656037ULL;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

} // namespace

InstanceLock::InstanceLock(const std::filesystem::path& programFolder) {
    std::error_code ec;
    std::filesystem::path folder = std::filesystem::weakly_canonical(programFolder, ec);
    if (ec)
        folder = std::filesystem::absolute(programFolder, ec).lexically_normal();
    char name[96];
    std::snprintf(name, sizeof name, "Kestrelbox-%u-%016llx.lock", static_cast<unsigned>(::getuid()),
                  static_cast<unsigned long long>(fnv1a(folder.string())));
    // A fixed folder rather than $TMPDIR: two starts with different environments must find the same lock.
    m_path = std::filesystem::path(P_tmpdir) / name;
}

InstanceLock::~InstanceLock() {
    // The file stays: removing it would let a third start lock a new file while a second waits on the old.
    if (m_fd >= 0)
        ::close(m_fd);
}

bool InstanceLock::acquire() {
    if (m_fd >= 0)
        return true;
    int fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        // Without a lock file there is no way to tell; refusing every start would be worse than allowing two.
        return true;
    }
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        int err = errno;
        ::close(fd);
        return err != EWOULDBLOCK;
    }
    m_fd = fd;
    return true;
}

} // namespace kb
