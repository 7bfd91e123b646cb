#include "app/settings.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/cp932.h"
#include "platform/file_system.h"

namespace kb {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

unsigned char asciiLower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

// ASCII letters match without regard to case; the trail byte of a double-byte character is compared as it
// is, since it may fall in the letter range and mean a different character.
bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto x = static_cast<unsigned char>(a[i]);
        auto y = static_cast<unsigned char>(b[i]);
        if (cp932::isLeadByte(x)) {
            if (x != y)
                return false;
            if (++i < a.size() && a[i] != b[i])
                return false;
            continue;
        }
        if (asciiLower(x) != asciiLower(y))
            return false;
    }
    return true;
}

// Finds `c` outside double-byte characters ("]" and "\" are also trail bytes in code page 932).
std::size_t findSingleByte(std::string_view s, char c) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == c)
            return i;
        if (cp932::isLeadByte(static_cast<unsigned char>(s[i])))
            ++i;
    }
    return std::string_view::npos;
}

struct Line {
    std::string text;
    std::string eol;
};

enum class Kind { Other, Section, Key };

struct Parsed {
    Kind kind = Kind::Other;
    std::string_view name;  // section or key name, trimmed
    std::size_t valuePos{}; // key lines: offset just after "="
};

Parsed classify(std::string_view text) {
    std::string_view s = text;
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    if (s.empty() || s.front() == ';')
        return {};
    if (s.front() == '[') {
        s.remove_prefix(1);
        std::size_t close = findSingleByte(s, ']');
        return {Kind::Section, trim(s.substr(0, close)), 0};
    }
    std::size_t eq = text.find('=');
    if (eq == std::string_view::npos)
        return {};
    return {Kind::Key, trim(text.substr(0, eq)), eq + 1};
}

struct Document {
    bool bom = false;
    std::vector<Line> lines;

    static Document parse(std::string_view bytes) {
        Document doc;
        if (bytes.substr(0, kBom.size()) == kBom) {
            doc.bom = true;
            bytes.remove_prefix(kBom.size());
        }
        while (!bytes.empty()) {
            std::size_t nl = bytes.find('\n');
            if (nl == std::string_view::npos) {
                doc.lines.push_back({std::string(bytes), ""});
                break;
            }
            std::string_view text = bytes.substr(0, nl);
            if (!text.empty() && text.back() == '\r')
                doc.lines.push_back({std::string(text.substr(0, text.size() - 1)), "\r\n"});
            else
                doc.lines.push_back({std::string(text), "\n"});
            bytes.remove_prefix(nl + 1);
        }
        return doc;
    }

    std::string serialize() const {
        std::string out = bom ? std::string(kBom) : std::string();
        for (const auto& l : lines)
            out += l.text + l.eol;
        return out;
    }

    // The first line holding the key in any section of that name.
    std::optional<std::size_t> findKey(std::string_view section, std::string_view key) const {
        bool inSection = false;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            Parsed p = classify(lines[i].text);
            if (p.kind == Kind::Section)
                inSection = equalsNoCase(p.name, section);
            else if (inSection && p.kind == Kind::Key && equalsNoCase(p.name, key))
                return i;
        }
        return std::nullopt;
    }

    // The line after which a new key of the first section of that name goes: its last key, or its header.
    std::optional<std::size_t> sectionInsertAfter(std::string_view section) const {
        std::optional<std::size_t> at;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            Parsed p = classify(lines[i].text);
            if (p.kind == Kind::Section) {
                if (at)
                    break;
                if (equalsNoCase(p.name, section))
                    at = i;
            } else if (at && p.kind == Kind::Key) {
                at = i;
            }
        }
        return at;
    }

    void insertAfter(std::size_t index, Line line) {
        if (lines[index].eol.empty())
            lines[index].eol = "\r\n";
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(index) + 1, std::move(line));
    }

    void append(Line line) {
        if (!lines.empty() && lines.back().eol.empty())
            lines.back().eol = "\r\n";
        lines.push_back(std::move(line));
    }
};

// A settings file is a few hundred bytes; one of this size is something else given its name.
constexpr std::size_t kMaxFileBytes = 16u << 20;

// The whole file; nullopt with errno set when it cannot be read. Only a regular file of a sane size is read:
// a FIFO would block the start, a device such as /dev/zero would never end.
std::optional<std::string> readAll(const std::filesystem::path& file) {
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd)
        return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return std::nullopt;
    if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) > kMaxFileBytes) {
        errno = S_ISREG(st.st_mode) ? EFBIG : EINVAL;
        return std::nullopt;
    }
    std::string out;
    char buf[16384];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<std::size_t>(n));
            if (out.size() > kMaxFileBytes) {
                errno = EFBIG;
                return std::nullopt;
            }
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            return std::nullopt;
        }
    }
    return out;
}

// Names and values end at a line break or NUL: anything after it would become a line of its own.
std::string singleLine(const std::string& utf8) {
    std::string s = cp932::fromUtf8(utf8);
    std::size_t end = s.find_first_of(std::string_view("\r\n\0", 3));
    if (end != std::string::npos)
        s.resize(end);
    return s;
}

std::string unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    return std::string(v);
}

} // namespace

std::string IniFile::Fun_ReadIni(const std::string& section, const std::string& key,
                                 const std::string& def) const {
    std::optional<std::string> bytes = readAll(m_file);
    if (!bytes)
        return def;
    Document doc = Document::parse(*bytes);
    auto at = doc.findKey(cp932::fromUtf8(section), cp932::fromUtf8(key));
    if (!at)
        return def;
    std::string_view text = doc.lines[*at].text;
    std::string value = unquote(trim(text.substr(classify(text).valuePos)));
    std::size_t nul = value.find('\0');
    if (nul != std::string::npos)
        value.resize(nul);
    value.resize(cp932::safeCut(value, kMaxValueBytes));
    return cp932::toUtf8(value);
}

void IniFile::Fun_WriteIni(const std::string& section, const std::string& key, const std::string& value) {
    std::optional<std::string> bytes = readAll(m_file);
    // A file that exists but cannot be read is left alone rather than replaced by one holding a single key.
    if (!bytes && errno != ENOENT)
        return;
    Document doc = Document::parse(bytes ? *bytes : std::string());
    std::string sec = singleLine(section);
    std::string k = singleLine(key);
    std::string v = singleLine(value);

    if (auto at = doc.findKey(sec, k)) {
        Line& line = doc.lines[*at];
        line.text = line.text.substr(0, classify(line.text).valuePos) + v;
    } else if (auto after = doc.sectionInsertAfter(sec)) {
        doc.insertAfter(*after, {k + "=" + v, "\r\n"});
    } else {
        doc.append({"[" + sec + "]", "\r\n"});
        doc.append({k + "=" + v, "\r\n"});
    }
    writeFileReplacing(m_files, m_file, doc.serialize());
}

} // namespace kb
