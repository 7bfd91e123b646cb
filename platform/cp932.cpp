#include "platform/cp932.h"

#include <cerrno>
#include <iconv.h>
#include <stdexcept>

namespace kb::cp932 {
namespace {

class Converter {
public:
    Converter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {
        if (m_cd == reinterpret_cast<iconv_t>(-1))
            throw std::runtime_error(std::string("iconv_open failed: ") + from + " -> " + to);
    }
    ~Converter() { iconv_close(m_cd); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Converts as much as it can; on an unconvertible or invalid sequence it calls onBad, which appends a
    // replacement and returns how many input bytes to skip.
    template <typename OnBad> std::string run(std::string_view in, OnBad onBad) {
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        std::string out;
        out.reserve(in.size() * 2 + 8);
        char buffer[4096];
        char* src = const_cast<char*>(in.data());
        size_t srcLeft = in.size();
        while (srcLeft > 0) {
            char* dst = buffer;
            size_t dstLeft = sizeof buffer;
            size_t r = iconv(m_cd, &src, &srcLeft, &dst, &dstLeft);
            out.append(buffer, static_cast<size_t>(dst - buffer));
            if (r != static_cast<size_t>(-1))
                break;
            if (errno == E2BIG)
                continue;
            // EILSEQ or EINVAL: a character that cannot be converted or a cut sequence.
            size_t skip = onBad(std::string_view(src, srcLeft), out);
            if (skip > srcLeft)
                skip = srcLeft;
            src += skip;
            srcLeft -= skip;
            iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        }
        return out;
    }

private:
    iconv_t m_cd;
};

size_t utf8SequenceLength(unsigned char b) {
    if (b < 0x80)
        return 1;
    if ((b & 0xE0) == 0xC0)
        return 2;
    if ((b & 0xF0) == 0xE0)
        return 3;
    if ((b & 0xF8) == 0xF0)
        return 4;
    return 1;
}

} // namespace

bool isLeadByte(unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

std::string fromUtf8(std::string_view utf8) {
    thread_local Converter conv("CP932", "UTF-8");
    return conv.run(utf8, [](std::string_view rest, std::string& out) {
        out.push_back('?');
        size_t n = utf8SequenceLength(static_cast<unsigned char>(rest.front()));
        // Skip continuation bytes of a malformed sequence as one character.
        size_t i = 1;
        while (i < n && i < rest.size() && (static_cast<unsigned char>(rest[i]) & 0xC0) == 0x80)
            ++i;
        return i;
    });
}

std::string toUtf8(std::string_view cp932) {
    thread_local Converter conv("UTF-8", "CP932");
    return conv.run(cp932, [](std::string_view rest, std::string& out) {
        out.append("\xEF\xBF\xBD");
        unsigned char b = static_cast<unsigned char>(rest.front());
        return (isLeadByte(b) && rest.size() >= 2) ? size_t{2} : size_t{1};
    });
}

std::size_t safeCut(std::string_view s, std::size_t maxBytes) {
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t len = isLeadByte(static_cast<unsigned char>(s[i])) ? 2 : 1;
        if (i + len > maxBytes || i + len > s.size())
            break;
        i += len;
    }
    return i;
}

} // namespace kb::cp932
