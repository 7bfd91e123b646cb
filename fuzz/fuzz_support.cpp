#include "fuzz_support.h"

#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace kb::fuzz {
namespace {

struct Scratch {
    Scratch() {
        std::error_code ec;
        // A memory file system when there is one: every iteration writes files.
        std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                         ? std::filesystem::path("/dev/shm")
                                         : std::filesystem::temp_directory_path();
        path = base / ("kb-fuzz-" + std::to_string(::getpid()));
        std::filesystem::remove_all(path, ec);
        std::filesystem::create_directories(path);
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::filesystem::path path;
};

} // namespace

const std::filesystem::path& scratchFolder() {
    static Scratch scratch;
    return scratch.path;
}

void clearScratch() {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(scratchFolder(), ec))
        std::filesystem::remove_all(entry.path(), ec);
}

void writeBytes(const std::filesystem::path& p, std::string_view bytes) {
    int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    KB_FUZZ_CHECK(fd >= 0, "scratch file can be created");
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        KB_FUZZ_CHECK(n > 0, "scratch file can be written");
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

std::string readBytes(const std::filesystem::path& p) {
    std::string out;
    int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return out;
    char buf[65536];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return out;
}

} // namespace kb::fuzz
