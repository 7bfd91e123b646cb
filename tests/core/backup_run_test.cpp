#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <sqlite3.h>
#include <unistd.h>
#include <vector>

#include "backup/backup_run.h"
#include "support/test_support.h"

using namespace kb;
using namespace kb::test;
namespace fs = std::filesystem;

namespace {

// Faults for chosen sources: one vanishes after the pre-scan, one fails half-way through its copy.
class FaultyFiles : public FileSystem {
public:
    std::string vanish, failMidway;
    bool sameFile(const fs::path& a, const fs::path& b) override {
        if (!vanish.empty() && a == vanish)
            fs::remove(a);
        return FileSystem::sameFile(a, b);
    }
    std::error_code copyFileReplacing(const fs::path& from, const fs::path& to) override {
        m_fail = from == failMidway;
        return FileSystem::copyFileReplacing(from, to);
    }

protected:
    std::error_code copyContent(int fromFd, int toFd, std::uint64_t size) override {
        if (!m_fail)
            return FileSystem::copyContent(fromFd, toFd, size);
        char buf[3];
        if (::read(fromFd, buf, sizeof buf) == 3 && ::write(toFd, buf, 3) != 3)
            return {errno, std::generic_category()};
        return {EIO, std::generic_category()};
    }

private:
    bool m_fail = false;
};

std::vector<std::string> tree(const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        out.push_back(fs::relative(e.path(), dir).string());
    std::sort(out.begin(), out.end());
    return out;
}

class BackupRunTest : public ::testing::Test {
protected:
    explicit BackupRunTest(FileSystem* files = nullptr) : fx(true, files) {
        fs::create_directories(src);
        fs::create_directories(dest);
        store().updateFolderPath("1", dest.string());
    }

    Store& store() { return fx.store(); }
    void method(const std::string& code, const std::string& name = "設定1") {
        store().updateTab("1", name, code);
        fx.ui.captions[1] = name + " 【" + code + "】";
    }
    fs::path add(const std::string& relative, const std::string& content = "data") {
        const fs::path p = src / relative;
        fs::create_directories(p.parent_path());
        writeFile(p, content);
        store().insertCopyData("1", p.string());
        return p;
    }
    std::vector<CopyLogRow> rows() {
        std::vector<CopyLogRow> out;
        store().forEachCopyLog([&](const CopyLogRow& r) { out.push_back(r); });
        return out;
    }
    std::vector<std::string> marks() {
        std::vector<std::string> out;
        for (const auto& r : rows())
            out.push_back(r.CopyAns.value_or(""));
        return out;
    }
    std::string summary() {
        auto info = fx.ui.textsWithIcon(MsgIcon::Information);
        return info.empty() ? "" : info.back();
    }
    bool run(bool interactive = true) { return Fun_BackUp(fx.services, interactive); }
    void expectIdle() {
        ASSERT_FALSE(fx.ui.useHistory.empty());
        EXPECT_TRUE(fx.ui.useHistory.back());
        EXPECT_FALSE(fx.ui.waitCursor);
        ASSERT_FALSE(fx.ui.progress.empty());
        EXPECT_EQ(fx.ui.progress.back(), std::make_pair(0, 0));
    }

    CoreFixture fx;
    fs::path src = fx.dir / "src";
    fs::path dest = fx.dir / "dest";
};

TEST_F(BackupRunTest, ChecksBeforeCopyingStopWithoutTheBusyState) {
    store().updateFolderPath("1", "");
    EXPECT_FALSE(run());
    EXPECT_EQ(fx.ui.texts(), std::vector<std::string>{"バックアップ先を指定してください"});
    EXPECT_EQ(fx.ui.messages[0].icon, MsgIcon::Exclamation);
    EXPECT_EQ(fx.ui.destinationFocus, 1);

    fx.ui.messages.clear();
    store().updateFolderPath("1", (fx.dir / "nowhere").string());
    EXPECT_FALSE(run(false));
    EXPECT_EQ(fx.ui.texts(),
              std::vector<std::string>{"下記のバックアップ先フォルダが見つかりませんでした\r\n\r\n" +
                                       (fx.dir / "nowhere").string()});

    fx.ui.messages.clear();
    store().updateFolderPath("1", dest.string());
    add("a.txt");
    const fs::path missing = src / "b.txt";
    store().insertCopyData("1", missing.string());
    add("c.txt");
    EXPECT_FALSE(run(false));
    EXPECT_EQ(fx.ui.texts(),
              std::vector<std::string>{"下記のファイルが見つかりませんでした\r\n\r\n" + missing.string()});
    EXPECT_EQ(fx.ui.focusedPaths, std::vector<std::string>{missing.string()});

    fx.ui.messages.clear();
    writeFile(missing, "b");
    fx.ui.answers = {MsgAnswer::No};
    EXPECT_FALSE(run());
    EXPECT_EQ(fx.ui.messages.size(), 1u);

    EXPECT_TRUE(fx.ui.useHistory.empty());
    EXPECT_TRUE(fs::is_empty(dest));
    EXPECT_TRUE(rows().empty());
}

TEST_F(BackupRunTest, ASetWithoutFilesWarnsOnlyWhenInteractive) {
    EXPECT_TRUE(run(false));
    EXPECT_TRUE(fx.ui.messages.empty());
    EXPECT_TRUE(run(true));
    EXPECT_EQ(fx.ui.texts(), std::vector<std::string>{"バックアップするファイルがありません"});
    EXPECT_TRUE(fx.ui.useHistory.empty());
}

TEST_F(BackupRunTest, ConfirmationProgressAndSummaryTexts) {
    method("1", "書類");
    fx.state.SameFile = 2;
    add("a.txt", std::string(1000, 'a'));
    add("b.txt", std::string(536, 'b'));
    EXPECT_TRUE(run());
    ASSERT_EQ(fx.ui.messages.size(), 2u);
    EXPECT_EQ(fx.ui.messages[0].text, "バックアップします、よろしいですか\r\n\r\n"
                                      "・タブ名: \t\t書類\r\n"
                                      "・バックアップ方法: \t日付\r\n"
                                      "・バックアップファイル数: \t2  (1.5KB)\r\n"
                                      "・同名ファイル存在時: \t読取専用以外の場合は上書きする");
    EXPECT_EQ(fx.ui.messages[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(fx.ui.messages[1].text, "バックアップ完了！  [ 2ﾌｧｲﾙ / 全2ﾌｧｲﾙ中 ]");
    EXPECT_EQ(fx.ui.statusHistory,
              (std::vector<std::string>{"バックアップ中...", "a.txt バックアップ中... [ 1 / 2 ]",
                                        "b.txt バックアップ中... [ 2 / 2 ]", "2個のファイル"}));
    EXPECT_EQ(fx.ui.useHistory, (std::vector<bool>{false, true}));
    EXPECT_EQ(fx.ui.progress, (std::vector<std::pair<int, int>>{{0, 2}, {1, 2}, {2, 2}, {0, 0}}));
    EXPECT_FALSE(fx.ui.waitCursor);
    EXPECT_EQ(fx.ui.recordedRows, 2);

    // Unknown codes show empty names and still back up plainly.
    fx.ui.messages.clear();
    method("9", "X");
    fx.state.SameFile = 12;
    EXPECT_TRUE(run());
    EXPECT_NE(fx.ui.messages[0].text.find("・バックアップ方法: \t\r\n"), std::string::npos);
    EXPECT_TRUE(fx.ui.messages[0].text.ends_with("・同名ファイル存在時: \t"));
    EXPECT_TRUE(fs::exists(dest / "a.txt"));
}

TEST_F(BackupRunTest, EveryMethodNamesItsTargetsFromOneStamp) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"0", {"report.doc"}},
        {"1", {"report_060101.doc"}},
        {"2", {"report_060101_1230.doc"}},
        {"3", {"060101", "060101/report.doc"}},
        {"4", {"060101_1230", "060101_1230/report.doc"}},
    };
    const fs::path file = add("data/report.doc", "report");
    setMtime(file, 1136000000);
    for (const std::string& spelling : {dest.string(), dest.string() + "/"}) {
        store().updateFolderPath("1", spelling);
        for (const auto& [code, expected] : cases) {
            fs::remove_all(dest);
            fs::create_directories(dest);
            store().deleteAllCopyLog();
            method(code);
            EXPECT_TRUE(run(false)) << code;
            EXPECT_EQ(tree(dest), expected) << code << " " << spelling;
            const fs::path target = dest / expected.back();
            EXPECT_EQ(readFile(target), "report");
            EXPECT_EQ(fx.files.lastWriteTime(target), 1136000000);
            const auto r = rows().front();
            EXPECT_EQ(r.FolderPath, target.string());
            EXPECT_EQ(r.FileName, "report.doc");
            EXPECT_EQ(r.DateTime, "2006/01/01 12:30:05");
            EXPECT_EQ(r.TabName, "設定1 【" + code + "】");
        }
    }
    EXPECT_TRUE(fx.ui.messages.empty());
}

TEST_F(BackupRunTest, NamesWithoutExtensionDotsAndApostrophes) {
    method("1");
    add("README", "r");
    add(".profile", "p");
    add("a.b.c", "abc");
    add("Bob's dir/Bob's notes.txt", "bob");
    EXPECT_TRUE(run());
    EXPECT_EQ(tree(dest), (std::vector<std::string>{"Bob's notes_060101.txt", "README_060101",
                                                    "_060101.profile", "a.b_060101.c"}));
    EXPECT_EQ(fx.ui.textsWithIcon(MsgIcon::Critical), std::vector<std::string>{});
    EXPECT_EQ(summary(), "バックアップ完了！  [ 4ﾌｧｲﾙ / 全4ﾌｧｲﾙ中 ]");
    std::set<std::string> recorded;
    for (const auto& r : rows())
        recorded.insert(r.FileName.value_or(""));
    EXPECT_EQ(recorded, (std::set<std::string>{".profile", "Bob's notes.txt", "README", "a.b.c"}));
}

TEST_F(BackupRunTest, SecondRunMeetsTheSameNamePolicy) {
    method("3");
    for (int i = 0; i < 10; ++i)
        add("f" + std::to_string(i) + ".txt", "v1");
    EXPECT_TRUE(run());
    writeFile(src / "f3.txt", "changed");
    writeFile(src / "f7.txt", "changed");
    for (int i = 0; i < 10; ++i)
        if (i != 3 && i != 7)
            fs::remove(dest / "060101" / ("f" + std::to_string(i) + ".txt"));
    // Policy 0 keeps the two copies that are still there.
    EXPECT_TRUE(run());
    EXPECT_EQ(summary(), "バックアップ完了！  [ 8ﾌｧｲﾙ / 全10ﾌｧｲﾙ中 ]");
    EXPECT_EQ(readFile(dest / "060101" / "f3.txt"), "v1");
    auto m = marks();
    EXPECT_EQ(std::count(m.begin(), m.end(), "△"), 2);

    // Policy 4 asks once per clashing file, every time.
    fx.ui.messages.clear();
    fx.state.SameFile = 4;
    fx.ui.defaultYesNo = MsgAnswer::No;
    EXPECT_TRUE(run(false));
    EXPECT_EQ(fx.ui.textsWithIcon(MsgIcon::Question).size(), 10u);
}

TEST_F(BackupRunTest, SameFileNamesFromTwoFoldersMeetEachOther) {
    add("one/same.txt", "first");
    add("two/same.txt", "second");
    EXPECT_TRUE(run());
    EXPECT_EQ(readFile(dest / "same.txt"), "first");
    EXPECT_EQ(marks(), (std::vector<std::string>{"○", "△"}));
    EXPECT_EQ(summary(), "バックアップ完了！  [ 1ﾌｧｲﾙ / 全2ﾌｧｲﾙ中 ]");
}

TEST_F(BackupRunTest, BackingUpIntoTheSourceFolderRefusesThatFile) {
    const fs::path file = add("own.txt", "mine");
    store().updateFolderPath("1", src.string());
    EXPECT_TRUE(run(false));
    EXPECT_EQ(readFile(file), "mine");
    ASSERT_EQ(fx.ui.textsWithIcon(MsgIcon::Critical).size(), 1u);
    EXPECT_NE(fx.ui.textsWithIcon(MsgIcon::Critical)[0].find("(コピー元とコピー先が同じです)"),
              std::string::npos);
    EXPECT_EQ(marks(), std::vector<std::string>{"×"});
}

TEST_F(BackupRunTest, UnexpectedErrorsLeaveTheWindowIdle) {
    method("3");
    add("a.txt");
    writeFile(dest / "060101", "a file where the dated folder goes");
    EXPECT_FALSE(run(false));
    ASSERT_EQ(fx.ui.messages.size(), 1u);
    EXPECT_EQ(fx.ui.messages[0].text.rfind("バックアップエラー\r\n", 0), 0u);
    EXPECT_EQ(fx.ui.status, "");
    expectIdle();
    EXPECT_NE(readFile(fx.folder.errorLog()).find("[frmMain]-[Fun_BackUp] "), std::string::npos);

    fx.ui.messages.clear();
    ASSERT_EQ(sqlite3_exec(store().handle(), "DROP TABLE T_CopyData", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_FALSE(run());
    ASSERT_EQ(fx.ui.messages.size(), 1u);
    EXPECT_NE(fx.ui.messages[0].text.find("T_CopyData"), std::string::npos);
}

class FaultyBackupRunTest : public BackupRunTest {
protected:
    FaultyBackupRunTest() : BackupRunTest(&faulty) {}
    static FaultyFiles faulty;
};
FaultyFiles FaultyBackupRunTest::faulty;

TEST_F(FaultyBackupRunTest, AFailingFileIsRecordedAndTheRunGoesOn) {
    fx.state.SameFile = 1;
    add("a.txt", "a");
    const fs::path b = add("b.txt", "new b");
    const fs::path c = add("c.txt", "c");
    writeFile(dest / "b.txt", "old b");
    faulty.failMidway = b.string();
    faulty.vanish = c.string();
    EXPECT_TRUE(run());
    EXPECT_EQ(marks(), (std::vector<std::string>{"○", "×", "×"}));
    EXPECT_EQ(summary(), "バックアップ完了！  [ 1ﾌｧｲﾙ / 全3ﾌｧｲﾙ中 ]");
    EXPECT_EQ(tree(dest), (std::vector<std::string>{"a.txt", "b.txt"}));
    EXPECT_EQ(readFile(dest / "b.txt"), "old b");
    EXPECT_EQ(readFile(b), "new b");
    auto errors = fx.ui.textsWithIcon(MsgIcon::Critical);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[1],
              "下記のファイルをコピーできませんでした (ファイルが見つかりませんでした)\r\n\r\n" + c.string());
    faulty.vanish.clear();
    faulty.failMidway.clear();
}

TEST_F(FaultyBackupRunTest, AFailedStagingCopyStopsTheArchiveRun) {
    method("5");
    const fs::path a = add("a.txt");
    const fs::path b = add("b.txt");
    add("c.txt");
    faulty.failMidway = b.string();
    EXPECT_FALSE(run());
    faulty.failMidway.clear();
    EXPECT_TRUE(fs::is_empty(dest));
    EXPECT_TRUE(fs::is_empty(fx.folder.staging()));
    EXPECT_TRUE(rows().empty());
    EXPECT_EQ(fx.ui.focusedPaths, std::vector<std::string>{b.string()});
    EXPECT_EQ(fx.ui.status, "");
    EXPECT_EQ(fx.ui.textsWithIcon(MsgIcon::Critical).size(), 1u);
    EXPECT_EQ(fx.ui.textsWithIcon(MsgIcon::Information).size(), 0u);
    expectIdle();
    EXPECT_EQ(readFile(a), "data");
}

// The archive methods against the real archiver, judged by independent extractors.
class ArchiveRunTest : public BackupRunTest {
protected:
    std::vector<std::string> listing(const fs::path& archive) {
        std::string out;
        EXPECT_EQ(runCommand("LC_ALL=C.UTF-8 bsdtar --options hdrcharset=CP932 -tf " +
                                 shellQuote(archive.string()) + " 2>&1",
                             &out),
                  0)
            << out;
        std::vector<std::string> names;
        size_t start = 0;
        for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
            names.push_back(out.substr(start, end - start));
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(ArchiveRunTest, MethodFivePacksEveryFileOnceAndRecordsTheReplacedOne) {
    method("5");
    add("one/same.txt", "first");
    add("two/same.txt", "second");
    add("表ソ.txt", std::string(20000, 'x'));
    writeFile(fx.folder.staging() / "leftover.txt", "from an interrupted run");
    EXPECT_TRUE(run());
    const fs::path archive = dest / "060101.lzh";
    EXPECT_EQ(listing(archive), (std::vector<std::string>{"same.txt", "表ソ.txt"}));
    TempDir out("kbx");
    std::string log;
    ASSERT_EQ(runCommand("cd " + shellQuote(out.path().string()) + " && lhasa xq " +
                             shellQuote(archive.string()) + " 2>&1",
                         &log),
              0)
        << log;
    EXPECT_EQ(readFile(out / "same.txt"), "second");
    EXPECT_EQ(marks(), (std::vector<std::string>{"△", "○", "○"}));
    for (const auto& r : rows())
        EXPECT_EQ(r.FolderPath, archive.string());
    EXPECT_EQ(summary(), "バックアップ完了！  [ 2ﾌｧｲﾙ / 全3ﾌｧｲﾙ中 ]");
    EXPECT_TRUE(fs::is_empty(fx.folder.staging()));
    EXPECT_EQ(fx.ui.statusHistory,
              (std::vector<std::string>{"バックアップ中...", "same.txt コピー中... [ 1 / 3 ]",
                                        "same.txt コピー中... [ 2 / 3 ]", "表ソ.txt コピー中... [ 3 / 3 ]",
                                        "060101.lzh 圧縮中...", "3個のファイル"}));
    EXPECT_EQ(fx.ui.recordedRows, 3);

    method("6");
    EXPECT_TRUE(run(false));
    EXPECT_EQ(listing(dest / "060101_1230.lzh").size(), 2u);
}

TEST_F(ArchiveRunTest, ExistingArchiveKeptOrFailedMeansNoFileCounted) {
    method("5");
    add("a.txt");
    add("b.txt");
    writeFile(dest / "060101.lzh", "old");
    EXPECT_TRUE(run());
    EXPECT_EQ(readFile(dest / "060101.lzh"), "old");
    EXPECT_EQ(marks(), (std::vector<std::string>{"△", "△"}));
    EXPECT_EQ(summary(), "バックアップ完了！  [ 0ﾌｧｲﾙ / 全2ﾌｧｲﾙ中 ]");

    // A folder in the archive's place makes the archiver fail.
    store().deleteAllCopyLog();
    method("6");
    fs::create_directory(dest / "060101_1230.lzh");
    EXPECT_TRUE(run());
    EXPECT_EQ(marks(), (std::vector<std::string>{"×", "×"}));
    EXPECT_EQ(summary(), "バックアップ完了！  [ 0ﾌｧｲﾙ / 全2ﾌｧｲﾙ中 ]");
    EXPECT_EQ(fx.ui.textsWithIcon(MsgIcon::Critical),
              std::vector<std::string>{"下記のファイルをコピー(圧縮)できませんでした。\r\n\r\n" +
                                       (dest / "060101_1230.lzh").string()});
    EXPECT_TRUE(fs::is_empty(fx.folder.staging()));
}

TEST_F(ArchiveRunTest, AFileInsideTheStagingFolderIsNeverEmptiedAway) {
    method("5");
    fs::create_directories(fx.folder.staging());
    const fs::path inside = fx.folder.staging() / "precious.txt";
    writeFile(inside, "keep me");
    store().insertCopyData("1", inside.string());
    EXPECT_FALSE(run(false));
    EXPECT_EQ(readFile(inside), "keep me");
    EXPECT_TRUE(fs::is_empty(dest));
    EXPECT_NE(fx.ui.textsWithIcon(MsgIcon::Critical).at(0).find("コピー元とコピー先が同じです"),
              std::string::npos);
    expectIdle();
}

} // namespace
