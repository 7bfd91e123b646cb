#include "app/error_log.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "app/clock.h"
#include "app/user_interface.h"
#include "platform/cp932.h"
#include "platform/file_system.h"

namespace kb {
namespace {

constexpr int kStampBytes = 19;
constexpr int kTextOffset = kStampBytes + 2;

// A code page 932 field of exactly `width` bytes: cut without splitting a double-byte character, padded.
std::string field(const std::string& utf8, std::size_t width) {
    std::string s = cp932::fromUtf8(utf8);
    // A record is one text line; a line break inside an entry would split it.
    for (char& c : s)
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    s.resize(cp932::safeCut(s, width));
    s.resize(width, ' ');
    return s;
}

std::string record(const std::string& stamp, const std::string& text) {
    return field(stamp, kStampBytes) + "  " + field(text, ErrorLog::kTextBytes) + "\r\n";
}

// The number at the start of the header's text field, as the slot last written; 0 when there is none.
int lastSlot(int fd) {
    char buf[5];
    ssize_t n = ::pread(fd, buf, sizeof buf, kTextOffset);
    int value = 0;
    int i = 0;
    while (i < n && (buf[i] == ' ' || buf[i] == '\t'))
        ++i;
    for (; i < n && buf[i] >= '0' && buf[i] <= '9'; ++i)
        value = value * 10 + (buf[i] - '0');
    return value;
}

} // namespace

bool ErrorLog::Sub_ErrLogPut(const std::string& text) {
    const std::string stamp = formatStamp(m_clock.now());
    auto fail = [&](const std::string& error) {
        m_ui.messageBox("Log出力エラー\r\n" + error, MsgIcon::Critical, MsgButtons::Ok, MsgAnswer::Ok,
                        kAppTitle);
        return false;
    };

    // Without blocking on a FIFO; a FIFO or a device (/dev/zero, /dev/full) is no log to write records into.
    UniqueFd fd(::open(m_file.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666));
    if (!fd)
        return fail(std::system_category().message(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return fail(std::system_category().message(errno));
    if (!S_ISREG(st.st_mode))
        return fail("通常のファイルではありません: " + m_file.string());
    // A negative or oversized number in a hand-edited header starts the ring again at slot 1.
    int n = lastSlot(fd.get());
    if (n < 0 || n >= kSlots)
        n = 0;

    char number[12]; // room for any int, which the compiler cannot rule out
    std::snprintf(number, sizeof number, "%05d", n + 1);
    std::error_code ec = writeAll(fd.get(), record(stamp, number), 0);
    if (!ec)
        ec = writeAll(fd.get(), record(stamp, text), static_cast<off_t>(kRecordLength) * (n + 1));
    if (std::error_code closed = fd.close(); !ec)
        ec = closed;
    return ec ? fail(ec.message()) : true;
}

} // namespace kb
