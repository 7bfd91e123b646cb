#include <bit>

#include "platform/lha/archive_writer.h"
#include "platform/lha/huffman.h"
#include "platform/lha/unlha.h"
#include "support/test_support.h"

using namespace kb::test;

namespace {

int pack(const fs::path& archive, const fs::path& folder, std::string* message = nullptr) {
    char out[1024];
    std::memset(out, 'x', sizeof out);
    int rc = kb::lha::Unlha(0, "a -x1 -r2 \"" + archive.string() + "\" \"" + folder.string() + "/\"", out,
                            sizeof out);
    if (message)
        *message = out;
    return rc;
}

// The member headers as they lie in the archive, read without any of the archiver's code.
struct Header {
    std::string method;
    std::uint32_t packed = 0, original = 0, mtime = 0;
    std::string name; // CP932
    std::size_t size = 0;
};

std::uint32_t le(const std::string& b, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(b.at(at + static_cast<std::size_t>(i)));
    return v;
}

// Stops at the closing 0 byte, which must be the archive's last.
std::vector<Header> readHeaders(const std::string& b) {
    std::vector<Header> out;
    std::size_t at = 0;
    while (true) {
        EXPECT_LT(at, b.size()) << "archive without its closing byte";
        if (at >= b.size() || b[at] == 0)
            break;
        Header h;
        h.size = le(b, at, 2);
        h.method = b.substr(at + 2, 5);
        h.packed = le(b, at + 7, 4);
        h.original = le(b, at + 11, 4);
        h.mtime = le(b, at + 15, 4);
        EXPECT_EQ(b[at + 20], 2) << "header level";
        EXPECT_EQ(b[at + 23], 'W') << "OS id";
        EXPECT_EQ(b[at + 26], 0) << "the header's CRC first, which the extractors check";
        for (std::size_t ext = at + 24, next = le(b, ext, 2); next != 0; next = le(b, ext, 2)) {
            ext += 2;
            if (b[ext] == 0x01)
                h.name = b.substr(ext + 1, next - 3);
            ext += next - 2;
        }
        out.push_back(h);
        at += h.size + h.packed;
    }
    EXPECT_EQ(at + 1, b.size()) << "bytes after the closing byte";
    return out;
}

using Members = std::map<std::string, std::string>; // name to bytes

void writeMembers(const fs::path& dir, const Members& members) {
    fs::create_directories(dir);
    for (const auto& [name, data] : members)
        writeFile(dir / name, data);
}

// Text with a vocabulary and line numbers: compressible, yet never one long repeat.
std::string text(std::size_t n) {
    static const char* words[] = {"backup", "archive", "ファイル", "set", "history", "\t", "folder", "copy",
                                  "圧縮",   "the",     "of",       "int", "return",  "{",  "}",      ";\n"};
    std::mt19937 gen(7);
    std::string s;
    for (int line = 0; s.size() < n; ++line) {
        s += std::to_string(line) + ": ";
        for (int w = 0; w < 12; ++w)
            s += std::string(words[gen() % 16]) + " ";
        s += "\n";
    }
    s.resize(n);
    return s;
}

struct Case {
    const char* label;
    Members members;
    std::vector<std::string> methods; // per member, in name order; empty: not checked
};

std::vector<Case> cases() {
    std::vector<Case> c;
    c.push_back({"empty file", {{"empty.txt", ""}}, {"-lh0-"}});
    c.push_back({"one byte", {{"one.bin", "x"}}, {"-lh0-"}});
    c.push_back(
        {"short repeat", {{"repeat.txt", std::string(60, 'a') + "abcabcabcabcabcabcabcabc"}}, {"-lh5-"}});
    c.push_back({"200 KB of zeros", {{"zeros.bin", std::string(200000, '\0')}}, {"-lh5-"}});
    c.push_back({"2 MB random, stored after the encoder gives up",
                 {{"big.bin", randomBytes(2 << 20, 2)}},
                 {"-lh0-"}});
    c.push_back({"6 MB of text, many blocks", {{"text.txt", text(6 << 20)}}, {"-lh5-"}});
    // Text, then bytes of a skewed small alphabet, then text: blocks split where the statistics change.
    std::string mixed = text(300000);
    std::mt19937 gen(3);
    for (int i = 0; i < 300000; ++i)
        mixed += static_cast<char>('A' + std::countr_zero(gen() | 0x100000u));
    c.push_back({"statistics that change within a member", {{"mixed.txt", mixed + text(100000)}}, {"-lh5-"}});
    c.push_back({"names whose CP932 bytes hold 0x5C and vendor characters",
                 {{"ソ.txt", "so"},
                  {"表計算.txt", text(3000)},
                  {"①②.txt", "maru"},
                  {"ascii.txt", "a"},
                  {"README", "letter case kept"},
                  {"LICENSE.TXT", "upper"}},
                 {}});
    // 26 base bytes + 5 for the header CRC + 3 + 222 for the name: exactly 256, a size whose first byte
    // would read as the end of the archive.
    c.push_back({"header of exactly 256 bytes", {{std::string(218, 'n') + ".txt", "padding"}}, {"-lh0-"}});
    // Members of many lengths: their streams end at every bit position of a byte, on the boundary too.
    Case many{"1000 small files", {}, {}};
    for (int i = 0; i < 1000; ++i)
        many.members["f" + std::to_string(i) + ".txt"] = "file " + std::to_string(i) + text(i % 300);
    c.push_back(many);
    return c;
}

class LhaArchive : public ::testing::TestWithParam<Case> {};

TEST_P(LhaArchive, ExtractorsGiveBackEveryMember) {
    const Case& tc = GetParam();
    TempDir dir("kb-lha");
    const fs::path src = dir / "TMP", archive = dir / "dest" / "バックアップ 060101.lzh";
    writeMembers(src, tc.members);
    fs::create_directories(archive.parent_path());
    setMtime(src / tc.members.begin()->first, 1136073600);

    std::string message;
    ASSERT_EQ(pack(archive, src, &message), 0) << message;
    EXPECT_EQ(listFolder(archive.parent_path()).size(), 1u) << "only the archive is left";

    std::vector<Header> headers = readHeaders(readFile(archive));
    ASSERT_EQ(headers.size(), tc.members.size());
    EXPECT_TRUE(std::is_sorted(headers.begin(), headers.end(), [](const Header& x, const Header& y) {
        return kb::cp932::toUtf8(x.name) < kb::cp932::toUtf8(y.name);
    }));
    for (std::size_t i = 0; i < headers.size(); ++i) {
        EXPECT_NE(headers[i].size & 0xFF, 0u) << "a header whose first byte reads as the end";
        EXPECT_EQ(headers[i].method, tc.methods.empty() ? headers[i].method : tc.methods[i])
            << headers[i].name;
        EXPECT_TRUE(headers[i].method != "-lh5-" || headers[i].packed < headers[i].original)
            << headers[i].name;
    }
    EXPECT_EQ(headers[0].name, kb::cp932::fromUtf8(tc.members.begin()->first));
    EXPECT_EQ(headers[0].mtime, 1136073600u);
    // The program's own reader checked the archive before it took its name; three others agree with it.
    expectExtractorsAgree(archive, tc.members, dir / "out");
}

INSTANTIATE_TEST_SUITE_P(Cases, LhaArchive, ::testing::ValuesIn(cases()));

// Members compressed on several threads land in the archive as one thread writes them: the fuzz corpus's
// inputs as members, and a member that spans many blocks and goes through a spill file between small ones.
TEST(LhaArchiveThreads, SameBytesWhateverTheNumberOfThreads) {
    const fs::path corpus = fs::path(KB_TEST_DATA_DIR).parent_path().parent_path() / "fuzz/corpus/fuzz_lha";
    Members fuzzInputs;
    for (const std::string& name : listFolder(corpus))
        fuzzInputs[name] = readFile(corpus / name);
    ASSERT_FALSE(fuzzInputs.empty());
    Members large{{"a.txt", "a"}, {"b.txt", text(9 << 19)}, {"c.bin", randomBytes(300000, 4)}, {"d.txt", ""}};
    for (const Members& members : {fuzzInputs, large}) {
        TempDir dir("kb-lha");
        writeMembers(dir / "src", members);
        kb::FileSystem files;
        std::string first;
        for (unsigned threads : {1u, 3u}) {
            const fs::path archive = dir / ("t" + std::to_string(threads) + ".lzh");
            ASSERT_EQ(kb::lha::writeArchive(files, archive, dir / "src", threads).status,
                      kb::lha::ArchiveStatus::Ok);
            if (first.empty())
                first = readFile(archive);
            else
                EXPECT_TRUE(readFile(archive) == first) << threads << " threads";
        }
    }
}

// Failures leave the older archive as it was and nothing else in its folder.
class LhaFailure : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dest);
        writeFile(archive, "old archive");
        writeMembers(src, {{"a.txt", "fine"}});
    }
    void expectFailedCleanly(int rc, const std::string& message) {
        EXPECT_NE(rc, 0);
        EXPECT_FALSE(message.empty());
        EXPECT_EQ(readFile(archive), "old archive");
        EXPECT_EQ(listFolder(dest).size(), 1u) << "a temporary file left";
    }
    TempDir dir{"kb-lha"};
    fs::path src = dir / "TMP", dest = dir / "dest", archive = dest / "060101.lzh";
};

// The message names the file: one past what a member's 32-bit size holds (sparse), one that cannot be read.
// A member compressed into a spill file before either is gone as well.
// Root reads a file whatever its permission bits; a link out of the folder is not followed.
TEST_F(LhaFailure, FileTooLargeOrUnreadable) {
    writeFile(src / "big.txt", text(5 << 20)); // spilled beside the archive before the failure
    makeSparse(src / "huge.bin", std::uint64_t{1} << 32);
    std::string message;
    expectFailedCleanly(pack(archive, src, &message), message);
    EXPECT_NE(message.find("huge.bin"), std::string::npos) << message;
    fs::remove(src / "huge.bin");
    fs::create_symlink("/proc/self/mem", src / "link.bin");
    if (::geteuid() == 0) {
        EXPECT_EQ(pack(archive, src, &message), 0) << message;
        return;
    }
    writeFile(src / "unreadable.bin", "secret");
    fs::permissions(src / "unreadable.bin", fs::perms::none);
    expectFailedCleanly(pack(archive, src, &message), message);
    EXPECT_NE(message.find("unreadable.bin"), std::string::npos) << message;
}

// A disk that gives back other bytes than were written: the flip lands after the flush, where only the
// reading back sees it, and the older archive stays.
TEST_F(LhaFailure, ArchiveThatReadsBackWrongIsNotRenamed) {
    struct FlippingFiles : kb::FileSystem {
        std::error_code syncFile(int fd) override {
            char c = 0;
            if (::pread(fd, &c, 1, 40) == 1) {
                c = static_cast<char>(c ^ 0x10);
                EXPECT_EQ(::pwrite(fd, &c, 1, 40), 1);
            }
            return FileSystem::syncFile(fd);
        }
    } files;
    writeMembers(src, {{"b.txt", text(5000)}});
    const kb::lha::ArchiveResult result = kb::lha::writeArchive(files, archive, src);
    EXPECT_EQ(result.status, kb::lha::ArchiveStatus::CheckFailed);
    expectFailedCleanly(static_cast<int>(result.status), result.message);
}

// A missing folder, one with nothing but a sub-folder, and command texts other than the convention.
TEST_F(LhaFailure, MissingOrEmptyFolderAndOtherCommandTexts) {
    fs::create_directories(dir / "empty" / "sub");
    writeFile(dir / "empty" / "sub" / "deeper.txt", "not flat");
    const std::string a = archive.string(), s = src.string();
    for (const std::string& command :
         {"a -x1 -r2 \"" + a + "\" \"" + (dir / "missing").string() + "/\"",
          "a -x1 -r2 \"" + a + "\" \"" + (dir / "empty").string() + "/\"", std::string(""),
          std::string("a -x1 -r2"), "a -x1 -r2 \"" + a + "\"", "a -x1 -r2 \"" + a + "\" \"" + s + "\"",
          "a -x0 -r2 \"" + a + "\" \"" + s + "/\"", "x -x1 -r2 \"" + a + "\" \"" + s + "/\"",
          "a -x1 -r2 \"" + a + "\" \"" + s + "/\" ", "a -x1 -r2 \"\" \"" + s + "/\"",
          "a -x1 -r2 \"" + a + "\" \"" + s + "/\"\" \"/\""}) {
        char out[256] = "";
        const int rc = kb::lha::Unlha(0, command, out, sizeof out);
        expectFailedCleanly(rc, out);
    }
    // The message is cut to the caller's buffer, and no buffer is fine.
    char small[6];
    std::memset(small, 'x', sizeof small);
    EXPECT_NE(kb::lha::Unlha(0, "nonsense that is long", small, sizeof small), 0);
    EXPECT_EQ(std::strlen(small), 5u);
    EXPECT_NE(kb::lha::Unlha(0, "nonsense", nullptr, 0), 0);
}

// Every regular file of the folder itself, whatever its name (one named like a temporary file too): not a
// sub-folder, not a link out of it, not the older archive when it lies in that folder.
TEST(LhaArchiveBasics, ReplacesAnOlderArchiveInTheFolderWithoutPackingIt) {
    TempDir dir("kb-lha");
    const fs::path src = dir / "src", archive = src / "a.lzh";
    writeMembers(src, {{"b.txt", "bee"}, {"a.txt", "ay"}, {".a.lzh.kbtmp-1-1", "mine"}});
    fs::create_directories(src / "sub");
    writeFile(src / "sub" / "inner.txt", "inner");
    writeFile(dir / "outside.txt", "outside");
    fs::create_symlink(dir / "outside.txt", src / "link.txt");
    writeFile(archive, "old archive");
    ASSERT_EQ(pack(archive, src), 0);
    std::vector<std::string> names;
    for (const Header& h : readHeaders(readFile(archive)))
        names.push_back(h.name);
    EXPECT_EQ(names, (Strings{".a.lzh.kbtmp-1-1", "a.txt", "b.txt"}));
}

// Frequencies of the Fibonacci series give the deepest tree there is; the lengths must still fit 16 bits and
// fill the code space, or the extractors reject the table.
TEST(LhaHuffman, LengthsStayWithinSixteenBitsAndFillTheCodeSpace) {
    std::vector<std::uint32_t> freq(40, 1);
    for (std::size_t i = 2; i < freq.size(); ++i)
        freq[i] = freq[i - 1] + freq[i - 2];
    freq.insert(freq.begin() + 7, 0);
    std::vector<std::uint8_t> len(freq.size());
    int single = -1;
    ASSERT_EQ(kb::lha::huffmanLengths(freq, len, 16, &single), 40);
    std::uint64_t kraft = 0;
    for (std::size_t s = 0; s < freq.size(); ++s) {
        EXPECT_LE(len[s], 16);
        EXPECT_EQ(len[s] == 0, freq[s] == 0);
        kraft += len[s] ? std::uint64_t{1} << (16 - len[s]) : 0;
    }
    EXPECT_EQ(kraft, std::uint64_t{1} << 16);
}

} // namespace
