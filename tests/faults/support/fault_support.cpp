#include "fault_support.h"

#include <pwd.h>

namespace kb::faults {
namespace {

constexpr std::uint64_t kTagEvery = 4u << 20;

std::string tagAt(const std::string& tag, std::uint64_t offset) {
    std::string t = "<" + tag + "@" + std::to_string(offset) + ">";
    t.resize(64, '.');
    return t;
}

} // namespace

void writeTagged(const fs::path& p, std::uint64_t size, const std::string& tag, bool dense) {
    int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot create " + p.string());
    bool ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    std::string block(dense ? kTagEvery : 64, '\0');
    for (std::uint64_t at = 0; ok && at + 64 <= size; at += kTagEvery) {
        const std::string t = tagAt(tag, at);
        std::copy(t.begin(), t.end(), block.begin());
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - at));
        ok = ::pwrite(fd, block.data(), n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
    }
    ::close(fd);
    if (!ok)
        throw std::runtime_error("cannot write " + p.string());
}

bool holdsTagged(const fs::path& p, std::uint64_t size, const std::string& tag) {
    std::error_code ec;
    if (fs::file_size(p, ec) != size || ec)
        return false;
    int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::vector<char> got(kTagEvery), want(kTagEvery);
    bool same = true;
    for (std::uint64_t at = 0; same && at < size; at += kTagEvery) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kTagEvery, size - at));
        std::fill(want.begin(), want.begin() + static_cast<std::ptrdiff_t>(n), '\0');
        if (n >= 64) {
            const std::string t = tagAt(tag, at);
            std::copy(t.begin(), t.end(), want.begin());
        }
        same = ::pread(fd, got.data(), n, static_cast<off_t>(at)) == static_cast<ssize_t>(n) &&
               std::memcmp(got.data(), want.data(), n) == 0;
    }
    ::close(fd);
    return same;
}

bool sameBytes(const fs::path& a, const fs::path& b) {
    return fs::is_regular_file(a) && fs::is_regular_file(b) && test::readFile(a) == test::readFile(b);
}

bool exited(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::size_t close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() || text[close + 2] == 'Z';
}

std::vector<fs::path> temporaries(const fs::path& dir) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (isTemporarySiblingName(it->path().filename().string()))
            out.push_back(it->path());
    std::sort(out.begin(), out.end());
    return out;
}

std::optional<uid_t> nobodyUser() {
    struct passwd* pw = ::getpwnam("nobody");
    if (!pw || pw->pw_uid == 0)
        return std::nullopt;
    return pw->pw_uid;
}

} // namespace kb::faults
