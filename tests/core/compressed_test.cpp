#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sys/stat.h>
#include <vector>

#include "backup/compressed.h"
#include "platform/cp932.h"
#include "support/test_support.h"

using namespace kb;
using namespace kb::test;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> sortedLines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Member names as bsdtar reads them from the archive's code page 932 headers.
std::vector<std::string> members(const fs::path& archive) {
    std::string out;
    int rc = runCommand("LC_ALL=C.UTF-8 bsdtar --options hdrcharset=CP932 -tf " +
                            shellQuote(archive.string()) + " 2>&1",
                        &out);
    EXPECT_EQ(rc, 0) << out;
    return sortedLines(out);
}

struct RecordingArchiver {
    std::vector<std::string> commands;
    std::vector<size_t> sizes;
    int result = 0;
    ArchiverCall call() {
        return [this](std::uintptr_t, const std::string& command, char*, std::size_t size) {
            commands.push_back(command);
            sizes.push_back(size);
            return result;
        };
    }
};

class CompressedTest : public ::testing::Test {
protected:
    CompressedTest() {
        fs::create_directories(staging);
        fs::create_directories(dest);
        writeFile(staging / "a.txt", "alpha alpha alpha alpha");
        writeFile(staging / "表ソ①.txt", "names with 0x5C second bytes");
        writeFile(archive, "old archive");
    }

    bool prs(bool& copied, const ArchiverCall& archiver) {
        return Fun_FileCopyPrs(fx.services, archive.string(), copied, archiver);
    }
    std::int64_t now() const { return static_cast<std::int64_t>(fromLocalTime(fx.clock.now())); }
    std::string stagingSlash() const { return staging.string() + "/"; }

    CoreFixture fx;
    fs::path staging = fx.folder.staging();
    fs::path dest = fx.dir / "dest";
    fs::path archive = dest / "060101.lzh";
};

TEST_F(CompressedTest, LhaPressPassesTheCommandTextAndJudgesTheResult) {
    RecordingArchiver rec;
    EXPECT_TRUE(Fun_LhaPress(fx.services, "/p/TMP/", "/d/Bob's 060101.lzh", 0, rec.call()));
    ASSERT_EQ(rec.commands.size(), 1u);
    EXPECT_EQ(rec.commands[0], "a -x1 -r2 \"/d/Bob's 060101.lzh\" \"/p/TMP/\"");
    EXPECT_EQ(rec.sizes[0], 1024u);
    rec.result = 3;
    EXPECT_FALSE(Fun_LhaPress(fx.services, "/p/TMP/", "/d/x.lzh", 0, rec.call()));
    EXPECT_TRUE(fx.ui.messages.empty()) << "a non-zero result is reported by the caller";
}

TEST_F(CompressedTest, AnArchiverThatCannotBeCalledGivesBothReports) {
    ArchiverCall throwing = [](std::uintptr_t, const std::string&, char*, std::size_t) -> int {
        throw std::runtime_error("archiver missing");
    };
    for (const ArchiverCall& broken : {throwing, ArchiverCall()}) {
        fx.ui.messages.clear();
        fx.state.SameFile = 1;
        bool copied = true;
        EXPECT_FALSE(prs(copied, broken));
        EXPECT_FALSE(copied);
        ASSERT_EQ(fx.ui.messages.size(), 2u);
        EXPECT_EQ(fx.ui.messages[0].text.rfind("Lha圧縮エラー\r\n", 0), 0u);
        EXPECT_EQ(fx.ui.messages[1].text,
                  "下記のファイルをコピー(圧縮)できませんでした。\r\n\r\n" + archive.string());
        EXPECT_EQ(readFile(archive), "old archive");
    }
    EXPECT_EQ(fx.ui.messages[0].text, "Lha圧縮エラー\r\n圧縮ライブラリを呼び出せません");
    const std::string log = readFile(fx.folder.errorLog());
    EXPECT_NE(log.find("[mdlCommon]-[Fun_LhaPress] archiver missing"), std::string::npos);
    EXPECT_NE(log.find(cp932::fromUtf8("[mdlMain]-[Fun_FileCopyPrs] コピー(圧縮)エラー。 From=" +
                                       stagingSlash() + ", To=" + archive.string())),
              std::string::npos);
}

TEST_F(CompressedTest, FailedBuildKeepsTheOldArchive) {
    RecordingArchiver rec;
    rec.result = 1;
    fx.state.SameFile = 1;
    bool copied = true;
    EXPECT_FALSE(prs(copied, rec.call()));
    EXPECT_FALSE(copied);
    EXPECT_EQ(readFile(archive), "old archive");
    ASSERT_EQ(fx.ui.messages.size(), 1u);
    EXPECT_EQ(fx.ui.messages[0].text,
              "下記のファイルをコピー(圧縮)できませんでした。\r\n\r\n" + archive.string());

    // The real archiver, unable to write into a folder that does not exist.
    fx.ui.messages.clear();
    EXPECT_FALSE(Fun_FileCopyPrs(fx.services, (dest / "missing" / "x.lzh").string(), copied));
    EXPECT_EQ(fx.ui.messages.size(), 1u);
    EXPECT_FALSE(fs::exists(dest / "missing"));
}

TEST_F(CompressedTest, ExistingArchiveFollowsThePolicy) {
    enum class Old { Plain, ReadOnly, Earlier, Now, Future };
    struct Case {
        int policy;
        Old old;
        bool replaced;
    };
    const Case cases[] = {
        {0, Old::Plain, false},  {1, Old::ReadOnly, true}, {2, Old::ReadOnly, false},
        {2, Old::Plain, true},   {3, Old::Earlier, true},  {3, Old::Now, false},
        {3, Old::Future, false}, {8, Old::ReadOnly, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("policy " + std::to_string(c.policy) + " old " +
                     std::to_string(static_cast<int>(c.old)));
        ::chmod(archive.c_str(), 0644);
        writeFile(archive, "old archive");
        setMtime(archive, c.old == Old::Earlier ? now() - 3600 : c.old == Old::Future ? now() + 3600 : now());
        if (c.old == Old::ReadOnly)
            ::chmod(archive.c_str(), 0444);
        fx.state.SameFile = static_cast<std::int16_t>(c.policy);
        RecordingArchiver rec;
        bool copied = !c.replaced;
        EXPECT_TRUE(prs(copied, rec.call()));
        EXPECT_EQ(copied, c.replaced);
        EXPECT_EQ(rec.commands.size(), c.replaced ? 1u : 0u);
        EXPECT_EQ(readFile(archive), "old archive") << "the archiver alone replaces it";
    }
    EXPECT_TRUE(fx.ui.messages.empty());
}

TEST_F(CompressedTest, RealArchiveReplacesAReadOnlyOneWithTheStagedFiles) {
    ::chmod(archive.c_str(), 0444);
    fx.state.SameFile = 1;
    bool copied = false;
    EXPECT_TRUE(Fun_FileCopyPrs(fx.services, archive.string(), copied));
    EXPECT_TRUE(copied);
    EXPECT_EQ(members(archive), (std::vector<std::string>{"a.txt", "表ソ①.txt"}));
    std::string out;
    EXPECT_EQ(runCommand("lhasa t " + shellQuote(archive.string()) + " 2>&1", &out), 0);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
    EXPECT_EQ(out.find("CRC"), std::string::npos) << out;
    TempDir x("kbx");
    EXPECT_EQ(runCommand("7zz x -y -o" + shellQuote(x.path().string()) + " " + shellQuote(archive.string()) +
                         " >/dev/null 2>&1"),
              0);
    EXPECT_EQ(readFile(x / "a.txt"), "alpha alpha alpha alpha");
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dest))
        left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"060101.lzh"});
    EXPECT_TRUE(fx.ui.messages.empty());
}

TEST_F(CompressedTest, PolicyFourShowsOnlyTheExistingArchive) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    writeFile(archive, std::string(2048, 'z'));
    setMtime(archive, 1136118600);
    fx.state.SameFile = 4;
    fx.ui.answers = {MsgAnswer::No, MsgAnswer::Yes};
    RecordingArchiver rec;
    bool copied = true;
    EXPECT_TRUE(prs(copied, rec.call()));
    EXPECT_FALSE(copied);
    ASSERT_EQ(fx.ui.messages.size(), 1u);
    EXPECT_EQ(fx.ui.messages[0].text,
              "バックアップ先のフォルダには既に '060101.lzh' ファイルが存在します。\r\n\r\n\r\n"
              "現在のファイル\r\n"
              "  サイズ: 2KB   更新日時: 2006年01月01日 12:30:00\r\n\r\n"
              "に新しいファイルを上書きしますか");
    EXPECT_EQ(fx.ui.messages[0].icon, MsgIcon::Question);
    EXPECT_TRUE(rec.commands.empty());
    EXPECT_TRUE(prs(copied, rec.call()));
    EXPECT_TRUE(copied);
    EXPECT_EQ(rec.commands.size(), 1u);
}

TEST_F(CompressedTest, DelDirFileRemovesEveryFileButLeavesFoldersAndLinkTargets) {
    writeFile(staging / "locked.txt", "r");
    ::chmod((staging / "locked.txt").c_str(), 0444);
    writeFile(staging / ".hidden", "h");
    fs::create_directories(staging / "sub");
    writeFile(staging / "sub" / "inner.txt", "stays");
    const fs::path outside = fx.dir / "outside.txt";
    writeFile(outside, "not ours");
    ::chmod(outside.c_str(), 0400);
    fs::create_symlink(outside, staging / "link.txt");

    for (const std::string& spelling : {staging.string(), stagingSlash()}) {
        EXPECT_TRUE(Fun_DelDirFile(fx.services, spelling));
        std::vector<std::string> left;
        for (const auto& e : fs::directory_iterator(staging))
            left.push_back(e.path().filename().string());
        EXPECT_EQ(left, std::vector<std::string>{"sub"});
    }
    EXPECT_EQ(readFile(staging / "sub" / "inner.txt"), "stays");
    EXPECT_EQ(readFile(outside), "not ours");
    EXPECT_EQ(fs::status(outside).permissions() & fs::perms::all, fs::perms::owner_read);
    EXPECT_TRUE(Fun_DelDirFile(fx.services, (fx.dir / "no-such-folder").string()));
    EXPECT_TRUE(fx.ui.messages.empty());
}

TEST_F(CompressedTest, DelDirFileReportsAFolderItCannotList) {
    writeFile(fx.dir / "plainfile", "x");
    EXPECT_FALSE(Fun_DelDirFile(fx.services, (fx.dir / "plainfile").string()));
    ASSERT_EQ(fx.ui.messages.size(), 1u);
    EXPECT_EQ(fx.ui.messages[0].text.rfind("全ファイル削除エラー\r\n", 0), 0u);
    EXPECT_TRUE(fs::exists(fx.dir / "plainfile"));
    EXPECT_NE(readFile(fx.folder.errorLog()).find("[mdlCommon]-[Fun_DelDirFile] "), std::string::npos);
}

} // namespace
