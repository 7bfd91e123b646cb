#include <sys/socket.h>
#include <sys/un.h>

#include "backup/file_copy.h"
#include "backup/file_helpers.h"
#include "support/test_support.h"

using namespace kb;
using namespace kb::test;

namespace {

constexpr std::int64_t kTime = 1136118600; // 2006-01-01 12:30:00 UTC

class FileCopyTest : public ::testing::Test {
protected:
    FileCopyTest() {
        fs::create_directories(dst);
        writeFile(source, "new content");
        setMtime(source, kTime);
    }
    bool copy(const fs::path& to, bool& copied, bool staging = false) {
        return Fun_FileCopy(fx.services, source.string(), to.string(), copied, staging);
    }
    CoreFixture fx;
    fs::path dst = fx.dir / "dst", source = fx.dir / "test.txt", target = dst / "test.txt";
};

TEST_F(FileCopyTest, SameNamePolicies) {
    enum Old { Absent, Plain, ReadOnly, Hidden, Older, Equal, Newer };
    const std::tuple<int, Old, bool, bool> cases[] = {{0, Absent, true, false},   {0, Plain, false, false},
                                                      {1, ReadOnly, true, false}, {2, ReadOnly, false, false},
                                                      {2, Hidden, true, false},   {3, Older, true, false},
                                                      {3, Equal, false, false},   {3, Newer, false, false},
                                                      {7, ReadOnly, true, false}, {0, ReadOnly, true, true}};
    for (const auto& [policy, old, replaced, staging] : cases) {
        SCOPED_TRACE(std::to_string(policy) + "/" + std::to_string(old));
        const fs::path t = old == Hidden ? dst / ".test.txt" : target;
        fs::remove_all(dst);
        fs::create_directories(dst);
        if (old != Absent) {
            writeFile(t, "old");
            setMtime(t, kTime + (old == Older ? -60 : old == Newer ? 60 : 0));
            ::chmod(t.c_str(), old == ReadOnly ? 0444 : 0644);
        }
        fx.state.SameFile = static_cast<std::int16_t>(policy);
        bool copied = !replaced;
        EXPECT_TRUE(copy(t, copied, staging));
        EXPECT_EQ(copied, replaced);
        EXPECT_EQ(readFile(t), replaced ? "new content" : "old");
        if (replaced) {
            EXPECT_EQ(fx.files.lastWriteTime(t), kTime);
            EXPECT_EQ(fx.files.attributes(t) & attr::ReadOnly, 0) << "the copy carries the source's flags";
        }
    }
    ::chmod(source.c_str(), 0444);
    bool copied = false;
    EXPECT_TRUE(copy(target, copied, true));
    EXPECT_NE(fx.files.attributes(target) & attr::ReadOnly, 0);
    EXPECT_TRUE(fx.ui.messages.empty());
}

TEST_F(FileCopyTest, PolicyFourAsksEveryTimeWithTheExactText) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    writeFile(target, std::string(1536, 'o'));
    setMtime(target, kTime - 86400 - 65);
    fx.state.SameFile = 4;
    fx.ui.answers = {MsgAnswer::No, MsgAnswer::Yes};
    bool copied = true;
    EXPECT_TRUE(copy(target, copied));
    EXPECT_FALSE(copied);
    EXPECT_EQ(fx.ui.messages.at(0).text,
              "バックアップ先のフォルダには既に 'test.txt' ファイルが存在します。\r\n\r\n\r\n"
              "現在のファイル\r\n"
              "  サイズ: 1.5KB   更新日時: 2005年12月31日 12:28:55\r\n\r\n"
              "に次の新しいファイルを上書きしますか\r\n"
              "  サイズ: 11ﾊﾞｲﾄ   更新日時: 2006年01月01日 12:30:00");
    EXPECT_TRUE(copy(target, copied));
    EXPECT_TRUE(copied);
    EXPECT_EQ(fx.ui.messages.size(), 2u);
}

TEST_F(FileCopyTest, RefusesItselfUnderAnySpellingAndReportsAMissingSource) {
    fs::create_symlink(source, dst / "link.txt");
    fx.state.SameFile = 1;
    for (const fs::path& to :
         {source, fx.dir / "." / "test.txt", dst / ".." / "test.txt", dst / "link.txt"}) {
        bool copied = true;
        EXPECT_FALSE(copy(to, copied)) << to;
        EXPECT_FALSE(copied);
        EXPECT_EQ(fx.ui.messages.back().text, copyError(source, "コピー元とコピー先が同じです"));
    }
    EXPECT_EQ(readFile(source), "new content");
    EXPECT_TRUE(fs::is_symlink(dst / "link.txt"));
    fs::remove(source);
    bool copied = true;
    EXPECT_FALSE(copy(target, copied));
    EXPECT_EQ(fx.ui.messages.back().text, copyError(source, "ファイルが見つかりませんでした"));
    EXPECT_TRUE(fx.logged("[mdlMain]-[Fun_FileCopy] "));
}

// Sources that are no files to back up: the report names the reason, nothing is written, and nothing blocks
// or reads without end (a hang ends the test by SIGALRM).
TEST_F(FileCopyTest, OnlyRegularFilesAreCopied) {
    const fs::path fifo = fx.dir / "fifo", socketPath = fx.dir / "socket", zero = fx.dir / "zero",
                   proc = fx.dir / "status";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::listen(sock, 1);
    fs::create_symlink("/dev/zero", zero);
    fs::create_symlink("/proc/self/status", proc);
    writeFile(target, "old");
    fx.state.SameFile = 1;
    ::alarm(60);
    for (const fs::path& special : {fifo, socketPath, zero, proc}) {
        bool copied = true;
        EXPECT_FALSE(Fun_FileCopy(fx.services, special.string(), target.string(), copied, false)) << special;
        EXPECT_EQ(fx.ui.messages.back().text, copyError(special, "通常のファイルではありません"));
    }
    ::alarm(0);
    ::close(sock);
    EXPECT_EQ(readFile(target), "old");
    EXPECT_EQ(listFolder(dst), std::vector<std::string>{"test.txt"});
}

// The source written while it is copied, through the copy's own fault hook: once is copied again, twice in a
// row is refused, and the old backup stays.
TEST_F(FileCopyTest, ASourceChangedDuringItsCopyIsCopiedAgainOrRefused) {
    struct Rewriting : FileSystem {
        fs::path source;
        int rewrites = 0;
        std::error_code copyContent(int from, int to, std::uint64_t size, bool holes) override {
            std::error_code ec = FileSystem::copyContent(from, to, size, holes);
            if (rewrites > 0) {
                writeFile(source, "version " + std::to_string(rewrites--));
                setMtime(source, kTime + 100 + rewrites);
            }
            return ec;
        }
    } files;
    CoreFixture f(true, &files);
    const fs::path src = f.dir / "a.txt", dest = f.dir / "a copy.txt";
    files.source = src;
    f.state.SameFile = 1;
    for (const auto& [rewrites, result, content] : {std::tuple{1, true, "version 1"}, {2, false, "old"}}) {
        writeFile(src, "first");
        writeFile(dest, "old");
        files.rewrites = rewrites;
        bool copied = !result;
        EXPECT_EQ(Fun_FileCopy(f.services, src.string(), dest.string(), copied, false), result) << rewrites;
        EXPECT_EQ(copied, result);
        EXPECT_EQ(readFile(dest), content);
    }
    EXPECT_EQ(f.ui.texts(), Strings{copyError(src, "コピー中にファイルが変更されました")});
    for (const std::string& name : listFolder(f.dir.path()))
        EXPECT_FALSE(isTemporarySiblingName(name)) << name;
}

// A size the file layer cannot read after the file was opened (an I/O error of the disk).
class UnreadableSizes : public FileSystem {
public:
    std::optional<std::uint64_t> fileSize(const std::filesystem::path&, std::error_code& ec) override {
        ec = std::make_error_code(std::errc::io_error);
        return std::nullopt;
    }
};

TEST(FileHelpers, SizesAndSizeTexts) {
    UnreadableSizes failing;
    CoreFixture fx(false), broken(false, &failing);
    const auto big = fx.dir / "big.bin";
    makeSparse(big, 5368709120);
    fs::create_directory(fx.dir / "folder");
    ASSERT_EQ(::mkfifo((fx.dir / "fifo").c_str(), 0600), 0);
    // Missing or a folder: cannot be opened, silently. Opened without a size: reported with the path.
    const std::tuple<CoreFixture*, std::string, std::string, std::string> cases[] = {
        {&fx, big.string(), "5368709120", ""},
        {&fx, (fx.dir / "missing").string(), "", ""},
        {&fx, (fx.dir / "folder").string(), "", ""},
        {&fx, (fx.dir / "fifo").string(), "", "通常のファイルではありません"},
        {&broken, big.string(), "", std::make_error_code(std::errc::io_error).message()}};
    for (const auto& [f, path, size, error] : cases) {
        f->ui.messages.clear();
        EXPECT_EQ(Fun_GetFileSize(f->files, f->reporter, path), size) << path;
        EXPECT_EQ(f->ui.texts(), error.empty() ? Strings{} : Strings{"ファイルサイズ取得エラー\r\n" + error})
            << path;
        EXPECT_TRUE(error.empty() || f->logged("[mdlCommon]-[Fun_GetFileSize] " + error + " " + path))
            << path;
    }
    EXPECT_EQ(Fun_GetAttr(fx.files, (fx.dir / "missing").string()), 0);

    const std::pair<std::string, std::string> texts[] = {
        {"", "0ﾊﾞｲﾄ"},         {"1023", "1023ﾊﾞｲﾄ"},     {"1024", "1KB"},
        {"1152", "1.12KB"},    {"1160", "1.13KB"},       {"1536", "1.5KB"},
        {"1048575", "1024KB"}, {"1048576", "1MB"},       {"5000000", "4.77MB"},
        {"5368709120", "5GB"}, {"1099511627776", "1TB"}, {"2251799813685248", "2048TB"},
        {"1e400", "1e400"}};
    for (const auto& [in, out] : texts)
        EXPECT_EQ(Fun_SizeText(in), out) << in;
}

} // namespace
