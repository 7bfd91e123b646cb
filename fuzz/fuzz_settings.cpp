// Any "Kestrelbox.ini" bytes: reading never fails, and writing one key changes that key's line and nothing
// else (or adds one line to its section, or the section and the line at the end of the file).
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "app/settings.h"
#include "fuzz_support.h"
#include "platform/cp932.h"
#include "platform/file_system.h"

namespace {

using kb::cp932::fromUtf8;
using kb::cp932::toUtf8;

struct Name {
    std::string section, key; // UTF-8
};

const Name kProgramKeys[] = {
    {"Option", "SameFile"},    {"Option", "BackupLog"}, {"Option", "BackupLogMax"}, {"Main", "Left"},
    {"Main", "Top"},           {"Main", "Width"},       {"Main", "Height"},         {"Main", "BarH"},
    {"Main", "ListViewLog"},   {"Main", "ListViewC1"},  {"Main", "ListViewC2"},     {"Main", "ListViewLogC1"},
    {"Main", "ListViewLogC5"}, {"Main", "TabSel"},
};

// Value pieces: digits as the program writes them, and characters whose second byte is "\", "]" or "[".
const char* const kValuePieces[] = {"0", "1", "2", "5",  "9",  ".", "-",    "A",  "z",  "=", "[",
                                    "]", ";", " ", "表", "ソ", "ﾝ", "設定", "\\", "能", "ー"};

// A file the reader cannot fail on must give a default that no file can produce: toUtf8 always yields valid
// UTF-8, so an invalid sequence is such a default.
const std::string kAbsent = "\xFF";

std::vector<std::string> lines(const std::string& bytes) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t nl = bytes.find('\n', start);
        std::size_t end = nl == std::string::npos ? bytes.size() : nl + 1;
        out.push_back(bytes.substr(start, end - start));
        start = end;
    }
    return out;
}

std::string terminator(const std::string& line) {
    if (line.ends_with("\r\n"))
        return "\r\n";
    return line.ends_with('\n') ? "\n" : "";
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// A name that the writer can put into a line and the reader finds again as the same name.
bool writableName(const std::string& raw, bool section) {
    if (raw.empty() || isBlank(raw.front()) || isBlank(raw.back()) || raw.front() == '[' ||
        raw.front() == ';')
        return false;
    const std::string utf8 = toUtf8(raw);
    if (utf8.find("\xEF\xBF\xBD") != std::string::npos || fromUtf8(utf8) != raw)
        return false;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '\r' || c == '\n' || c == '\0' || c == '=' || (section && c == ']'))
            return false;
        if (kb::cp932::isLeadByte(static_cast<unsigned char>(c)))
            ++i;
    }
    return true;
}

// Section and key names as a plain reader of the format sees them, kept only when writable.
std::vector<Name> namesIn(const std::string& bytes) {
    std::vector<Name> out;
    std::string section;
    bool haveSection = false;
    for (std::string line : lines(bytes)) {
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == ';')
            continue;
        if (line[first] == '[') {
            std::size_t close = line.find(']', first);
            section =
                line.substr(first + 1, close == std::string::npos ? std::string::npos : close - first - 1);
            haveSection = writableName(section, true);
            continue;
        }
        std::size_t eq = line.find('=');
        if (!haveSection || eq == std::string::npos)
            continue;
        std::string key = line.substr(first, eq - first);
        while (!key.empty() && isBlank(key.back()))
            key.pop_back();
        if (writableName(key, false))
            out.push_back({toUtf8(section), toUtf8(key)});
    }
    return out;
}

bool sameNameNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string randomCase(const std::string& s, std::uint8_t mask) {
    std::string out = s;
    for (std::size_t i = 0; i < out.size(); ++i)
        if ((mask >> (i % 8)) & 1)
            out[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[i])));
        else
            out[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(out[i])));
    return out;
}

// The line change the write made: one line replaced with its key part kept, one key line inserted, or the
// section and the key line appended. A line that had no line break may gain one before an added line.
void checkOneLineChanged(const std::string& before, const std::string& after, const std::string& section,
                         const std::string& key, const std::string& value) {
    const std::vector<std::string> o = lines(before), n = lines(after);
    const std::string v = fromUtf8(value);
    auto sameOrGainedBreak = [&](std::size_t i) {
        return n[i] == o[i] || (terminator(o[i]).empty() && i + 1 == o.size() && n[i] == o[i] + "\r\n");
    };
    if (n.size() == o.size()) {
        std::size_t changed = 0;
        for (std::size_t i = 0; i < o.size(); ++i) {
            if (n[i] == o[i])
                continue;
            ++changed;
            const std::size_t eq = o[i].find('=');
            KB_FUZZ_CHECK(eq != std::string::npos, "a replaced line is a key line");
            KB_FUZZ_CHECK(n[i] == o[i].substr(0, eq + 1) + v + terminator(o[i]),
                          "the key part and the line break stay, the value is the new one");
        }
        KB_FUZZ_CHECK(changed <= 1, "at most one line replaced");
        return;
    }
    const std::string keyLine = fromUtf8(key) + "=" + v + "\r\n";
    if (n.size() == o.size() + 1) {
        std::size_t at = 0;
        while (at < o.size() && n[at] == o[at])
            ++at;
        if (at < o.size() && n[at] != keyLine && sameOrGainedBreak(at))
            ++at;
        KB_FUZZ_CHECK(n[at] == keyLine, "the inserted line is the key line");
        for (std::size_t i = at; i < o.size(); ++i)
            KB_FUZZ_CHECK(n[i + 1] == o[i], "lines after the inserted one stay");
        return;
    }
    KB_FUZZ_CHECK(n.size() == o.size() + 2, "one or two lines added, or one replaced");
    for (std::size_t i = 0; i < o.size(); ++i)
        KB_FUZZ_CHECK(sameOrGainedBreak(i), "lines before an appended section stay");
    KB_FUZZ_CHECK(n[o.size()] == "[" + fromUtf8(section) + "]\r\n", "the section line is appended");
    KB_FUZZ_CHECK(n[o.size() + 1] == keyLine, "the key line follows it");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kb::fuzz::clearScratch();
    const auto file = kb::fuzz::scratchFolder() / "Kestrelbox.ini";
    kb::fuzz::Input in(data, size);
    const std::uint8_t mode = in.byte();
    const std::uint8_t pick = in.byte();
    const std::uint8_t caseMask = in.byte();
    const std::size_t valuePieces = in.byte() % 24;
    std::string value;
    for (std::size_t i = 0; i < valuePieces; ++i)
        value += kValuePieces[in.byte() % std::size(kValuePieces)];
    while (!value.empty() && value.back() == ' ')
        value.pop_back();
    while (!value.empty() && value.front() == ' ')
        value.erase(0, 1);

    const bool fileExists = (mode & 1) == 0;
    const std::string before = fileExists ? in.rest() : std::string();
    if (fileExists)
        kb::fuzz::writeBytes(file, before);

    kb::FileSystem files;
    kb::IniFile ini(file, files);
    for (const Name& k : kProgramKeys) {
        const std::string got = ini.Fun_ReadIni(randomCase(k.section, caseMask), k.key, kAbsent);
        if (got == kAbsent)
            continue;
        KB_FUZZ_CHECK(fromUtf8(got).size() <= kb::IniFile::kMaxValueBytes,
                      "a value holds at most 1023 bytes");
        KB_FUZZ_CHECK(got.find('\0') == std::string::npos, "a value ends at its first NUL");
    }

    const std::vector<Name> fileNames = namesIn(before);
    Name target;
    if ((mode & 2) && !fileNames.empty())
        target = fileNames[pick % fileNames.size()];
    else if (mode & 4)
        target = {"Sec" + std::to_string(pick % 4), "K" + std::to_string(caseMask % 4)};
    else
        target = kProgramKeys[pick % std::size(kProgramKeys)];
    target.section = randomCase(target.section, caseMask);

    std::vector<std::pair<Name, std::string>> others;
    for (const Name& k : fileNames) {
        if (sameNameNoCase(k.section, target.section) && sameNameNoCase(k.key, target.key))
            continue;
        if (others.size() < 16)
            others.push_back({k, ini.Fun_ReadIni(k.section, k.key, kAbsent)});
    }

    ini.Fun_WriteIni(target.section, target.key, value);
    const std::string after = kb::fuzz::readBytes(file);

    KB_FUZZ_CHECK(ini.Fun_ReadIni(target.section, target.key, kAbsent) == value,
                  "the written value reads back");
    for (const auto& [k, v] : others)
        KB_FUZZ_CHECK(ini.Fun_ReadIni(k.section, k.key, kAbsent) == v, "every other key reads as before");
    checkOneLineChanged(before, after, target.section, target.key, value);
    return 0;
}
