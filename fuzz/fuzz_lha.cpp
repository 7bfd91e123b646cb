// Any files in a folder: the archiver's result reads back, member by member, as the same names and bytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/cp932.h"
#include "platform/lha/archive_reader.h"
#include "platform/lha/unlha.h"

namespace {

// Names as users have them: plain, Japanese, half-width kana, and one that code page 932 cannot hold.
const char* const kNames[] = {"data", "報告書", "ｶﾅ", "снимок", "a b.c", "x.lzh", "", "🙂"};

struct Source {
    std::string name;
    std::string content;
};

// Input: a count byte, then per file a name byte, a length, a repeat byte and the bytes. The repeat byte lets
// a few kilobytes of input make a large file: the bytes repeated (long matches across the 8 KiB window), or,
// with its top bit, that many times as much drawn at random from the bytes (many literals with skewed
// frequencies, so that members span several blocks).
std::vector<Source> sourcesFrom(kb::fuzz::Input& in) {
    const int count = 1 + in.byte() % 4;
    std::vector<Source> out;
    for (int i = 0; i < count && (i == 0 || in.remaining() > 0); ++i) {
        Source s;
        s.name = std::string(kNames[in.byte() % std::size(kNames)]) + "_" + std::to_string(i);
        const std::size_t length = i + 1 == count ? in.remaining() : in.u16() % 4096;
        const std::uint8_t repeatByte = in.byte();
        const int repeats = 1 + repeatByte % 64;
        const std::string chunk = in.bytes(length);
        if ((repeatByte & 0x80) && !chunk.empty()) {
            std::uint32_t x = 2463534242u ^ static_cast<std::uint32_t>(chunk.size());
            s.content.resize(chunk.size() * static_cast<std::size_t>(repeats));
            for (char& c : s.content) {
                x ^= x << 13;
                x ^= x >> 17;
                x ^= x << 5;
                c = chunk[x % chunk.size()];
            }
        } else {
            for (int r = 0; r < repeats; ++r) {
                s.content += chunk;
                // A varying byte keeps the repeats from being one long match.
                if (r % 3 == 2 && !s.content.empty())
                    s.content[s.content.size() / 2] ^= static_cast<char>(r);
            }
        }
        out.push_back(std::move(s));
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kb::fuzz::clearScratch();
    const auto folder = kb::fuzz::scratchFolder() / "TMP";
    const auto archive = kb::fuzz::scratchFolder() / "out.lzh";
    std::filesystem::create_directory(folder);

    kb::fuzz::Input in(data, size);
    std::vector<Source> sources = sourcesFrom(in);
    for (const Source& s : sources)
        kb::fuzz::writeBytes(folder / s.name, s.content);

    char message[256];
    const std::string command = "a -x1 -r2 \"" + archive.string() + "\" \"" + folder.string() + "/\"";
    const int rc = kb::lha::Unlha(0, command, message, sizeof message);
    if (rc != 0)
        std::fprintf(stderr, "archiver: %s\n", message);
    KB_FUZZ_CHECK(rc == 0, "the archiver packs any files");

    std::vector<kb::lha::ReadMember> members;
    std::vector<std::string> contents;
    std::string error;
    const std::string bytes = kb::fuzz::readBytes(archive);
    kb::lha::MemorySource source(bytes.data(), bytes.size());
    const bool readable = kb::lha::readArchive(
        source, members, error, [&](std::size_t member, const std::uint8_t* data, std::size_t n) {
            contents.resize(member + 1);
            contents[member].append(reinterpret_cast<const char*>(data), n);
        });
    if (!readable)
        std::fprintf(stderr, "archive: %s\n", error.c_str());
    KB_FUZZ_CHECK(readable, "the archive reads back");

    std::sort(sources.begin(), sources.end(),
              [](const Source& a, const Source& b) { return a.name < b.name; });
    KB_FUZZ_CHECK(members.size() == sources.size(), "one member per file");
    for (std::size_t i = 0; i < sources.size(); ++i) {
        KB_FUZZ_CHECK(members[i].name == kb::cp932::fromUtf8(sources[i].name),
                      "member name in code page 932");
        KB_FUZZ_CHECK((i < contents.size() ? contents[i] : std::string()) == sources[i].content,
                      "member bytes are the file's bytes");
    }
    for (const auto& entry : std::filesystem::directory_iterator(kb::fuzz::scratchFolder()))
        KB_FUZZ_CHECK(entry.path() == folder || entry.path() == archive, "no temporary file is left");

    // KB_FUZZ_LHA=1 also extracts with the system's lhasa, to keep the reader above honest (slow: one process
    // per input, so for replaying a corpus rather than for fuzzing). Its exit status misses damaged data, so
    // the extracted bytes are compared; names are left out, lhasa's own conversion of them varies.
    static const bool crossCheck = std::getenv("KB_FUZZ_LHA") != nullptr;
    if (crossCheck) {
        const auto out = kb::fuzz::scratchFolder() / "lhasa";
        std::filesystem::create_directory(out);
        const std::string extract =
            "lha -xqw='" + out.string() + "' '" + archive.string() + "' >/dev/null 2>&1";
        KB_FUZZ_CHECK(std::system(extract.c_str()) == 0, "lhasa extracts the archive");
        std::vector<std::string> extracted, expected;
        for (const auto& entry : std::filesystem::directory_iterator(out))
            extracted.push_back(kb::fuzz::readBytes(entry.path()));
        for (const Source& s : sources)
            expected.push_back(s.content);
        std::sort(extracted.begin(), extracted.end());
        std::sort(expected.begin(), expected.end());
        KB_FUZZ_CHECK(extracted == expected, "lhasa extracts the same bytes");
    }
    return 0;
}
