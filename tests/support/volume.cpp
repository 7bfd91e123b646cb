#include "volume.h"

#include <linux/loop.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>

#include "test_support.h"

namespace kb::test {
namespace {

std::string failed(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool mountedAt(const fs::path& dir) {
    struct stat inner {
    }, outer{};
    return ::stat(dir.c_str(), &inner) == 0 && ::stat(dir.parent_path().c_str(), &outer) == 0 &&
           inner.st_dev != outer.st_dev;
}

} // namespace

bool privateMounts(std::string* why) {
    static int state = 0; // 0 not tried, 1 done, -1 refused
    static std::string reason;
    if (state == 0) {
        const bool made =
            ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        reason = made ? "" : failed("no private mount namespace");
        state = made ? 1 : -1;
    }
    if (why)
        *why = reason;
    return state == 1;
}

bool mountTmpfs(const fs::path& dir, std::uint64_t bytes, std::string* why) {
    if (!privateMounts(why))
        return false;
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0777";
    if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0) {
        if (why)
            *why = failed("cannot mount a tmpfs");
        return false;
    }
    return true;
}

bool makeReadOnly(const fs::path& dir, std::string* why) {
    if (!privateMounts(why))
        return false;
    if (::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        ::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
        if (why)
            *why = failed("cannot remount read-only");
        ::umount2(dir.c_str(), MNT_DETACH);
        return false;
    }
    return true;
}

void unmount(const fs::path& dir) {
    ::umount2(dir.c_str(), MNT_DETACH);
}

Volume::Volume(Kind kind, const fs::path& work, std::uint64_t bytes) : m_mount(work / "mnt") {
    fs::create_directories(m_mount);
    if (!privateMounts(&m_why))
        return;
    if (kind == Kind::Tmpfs) {
        m_mounted = mountTmpfs(m_mount, bytes, &m_why);
        return;
    }
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        m_why = failed("no /dev/fuse");
        return;
    }
    const fs::path image = work / "volume.img";
    const std::string quoted = shellQuote(image.string());
    makeSparse(image, bytes);
    const char* make = kind == Kind::Fat     ? "mkfs.vfat -F 32 -n KBTEST "
                       : kind == Kind::Exfat ? "mkfs.exfat -L KBTEST "
                                             : "mkntfs -F -q -f -L KBTEST ";
    if (runCommand(std::string(make) + quoted + " >/dev/null 2>&1") != 0) {
        ADD_FAILURE() << make << "failed; scripts/setup installs dosfstools, exfatprogs and ntfs-3g";
        return;
    }
    if (kind == Kind::Fat) {
        m_mounted = mountFuse("fusefat", {"-f", "-o", "rw+", image.string(), m_mount.string()});
        return;
    }
    if (kind == Kind::Ntfs) {
        m_mounted = mountFuse("ntfs-3g", {"-o", "no_detach,windows_names", image.string(), m_mount.string()});
        return;
    }
    // A loop device that frees itself once its last user, the FUSE daemon, has closed it.
    const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0) {
        m_why = failed("no loop devices (/dev/loop-control)");
        return;
    }
    const int backing = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
    std::string device;
    int attached = -1;
    for (int attempt = 0; attempt < 10 && attached < 0; ++attempt) {
        const int n = ::ioctl(control, LOOP_CTL_GET_FREE);
        device = "/dev/loop" + std::to_string(n);
        const int loop = n < 0 ? -1 : ::open(device.c_str(), O_RDWR | O_CLOEXEC);
        if (loop < 0) {
            m_why = failed("no free loop device (" + device + ")");
            break;
        }
        struct loop_config config {};
        config.fd = static_cast<std::uint32_t>(backing);
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
        if (::ioctl(loop, LOOP_CONFIGURE, &config) == 0)
            attached = loop;
        else
            ::close(loop); // taken by another process in between
    }
    ::close(backing);
    ::close(control);
    if (attached < 0) {
        if (m_why.empty())
            m_why = failed("cannot attach a loop device");
        return;
    }
    m_why.clear();
    m_mounted = mountFuse("mount.exfat-fuse", {"-d", device, m_mount.string()});
    // From now on the daemon holds the device.
    ::close(attached);
}

bool Volume::mountFuse(const std::string& program, const std::vector<std::string>& args) {
    const pid_t parent = ::getpid();
    m_daemon = ::fork();
    if (m_daemon == 0) {
        // The daemon goes with the test process, and the mount with it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        const int null = ::open("/dev/null", O_RDWR);
        for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
            ::dup2(null, fd);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(program.c_str(), argv.data());
        ::_exit(127);
    }
    for (int i = 0; i < 2000; ++i) {
        if (mountedAt(m_mount))
            return true;
        if (::waitpid(m_daemon, nullptr, WNOHANG) == m_daemon) {
            m_daemon = -1;
            ADD_FAILURE() << program << " ended without mounting; scripts/setup installs fusefat, exfat-fuse "
                          << "and ntfs-3g";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << program << " did not mount within 20 s";
    return false;
}

Volume::~Volume() {
    if (m_mounted && ::umount2(m_mount.c_str(), 0) != 0)
        ::umount2(m_mount.c_str(), MNT_DETACH);
    if (m_daemon > 0 && !waitFor([this] { return ::waitpid(m_daemon, nullptr, WNOHANG) == m_daemon; }, 10)) {
        ::kill(m_daemon, SIGKILL);
        ::waitpid(m_daemon, nullptr, 0);
    }
}

} // namespace kb::test
