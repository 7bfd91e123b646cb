#include "backup/backup_run.h"
#include "support/test_support.h"

using namespace kb;
using namespace kb::test;

namespace {

// One source fails half-way through its copy.
class FaultyFiles : public FileSystem {
public:
    std::string failMidway;
    std::error_code copyToTemporary(const fs::path& from, const fs::path& to,
                                    std::unique_ptr<ReplacingFile>& copy) override {
        m_fail = from == failMidway;
        return FileSystem::copyToTemporary(from, to, copy);
    }

    // The flushes and renames of the file layer, by the target's name.
    std::vector<std::string> calls;
    UniqueFd createTemporary(const fs::path& target, mode_t mode, fs::path& temporary, std::error_code& ec,
                             struct stat* made) override {
        UniqueFd fd = FileSystem::createTemporary(target, mode, temporary, ec, made);
        m_targets[fd.get()] = target.filename().string();
        return fd;
    }
    std::vector<std::error_code> syncFiles(const std::vector<int>& fds) override {
        std::string call = "sync";
        for (int fd : fds)
            call += " " + m_targets[fd];
        calls.push_back(call);
        return FileSystem::syncFiles(fds);
    }
    std::error_code rename(const fs::path& from, const fs::path& to) override {
        calls.push_back("rename " + to.filename().string());
        return FileSystem::rename(from, to);
    }
    std::error_code flushToDisk(const fs::path& folder) override {
        calls.push_back("flush");
        return FileSystem::flushToDisk(folder);
    }

protected:
    std::error_code copyContent(int fromFd, int toFd, std::uint64_t size, bool holes) override {
        if (!m_fail)
            return FileSystem::copyContent(fromFd, toFd, size, holes);
        return {EIO, std::generic_category()};
    }

private:
    bool m_fail = false;
    std::map<int, std::string> m_targets;
};

class BackupRunTest : public ::testing::Test {
protected:
    BackupRunTest() : fx(true, &faulty) {
        fs::create_directories(dest);
        fx.store().updateFolderPath("1", dest.string());
    }
    void method(const std::string& code, const std::string& name = "設定1") {
        fx.store().updateTab("1", name, code);
    }
    bool run() { return Fun_BackUp(fx.services, true); }
    std::string last() { return fx.ui.messages.empty() ? "" : fx.ui.messages.back().text; }

    FaultyFiles faulty;
    CoreFixture fx;
    fs::path dest = fx.dir / "dest";
};

TEST_F(BackupRunTest, ChecksStopBeforeTheBusyState) {
    fx.store().updateFolderPath("1", "");
    EXPECT_FALSE(run());
    EXPECT_EQ(last(), "バックアップ先を指定してください");
    EXPECT_EQ(fx.ui.destinationFocus, 1);
    fx.store().updateFolderPath("1", (fx.dir / "nowhere").string());
    EXPECT_FALSE(fx.backUp());
    EXPECT_EQ(last(),
              "下記のバックアップ先フォルダが見つかりませんでした\r\n\r\n" + (fx.dir / "nowhere").string());
    fx.store().updateFolderPath("1", dest.string());
    fx.addFile("a.txt");
    const fs::path missing = fx.dir / "src" / "b.txt";
    fx.store().insertCopyData("1", missing.string());
    EXPECT_FALSE(fx.backUp());
    EXPECT_EQ(last(), "下記のファイルが見つかりませんでした\r\n\r\n" + missing.string());
    EXPECT_EQ(fx.ui.focusedPaths, Strings{missing.string()});
    EXPECT_TRUE(fx.ui.useHistory.empty());
    EXPECT_TRUE(fs::is_empty(dest));
    EXPECT_TRUE(fx.marks().empty());
}

TEST_F(BackupRunTest, TextsOfAnInteractiveRun) {
    method("1", "書類");
    fx.state.SameFile = 2;
    fx.addFile("a.txt", std::string(1000, 'a'));
    fx.addFile("b.txt", std::string(536, 'b'));
    EXPECT_TRUE(run());
    EXPECT_EQ(fx.ui.texts(), (Strings{"バックアップします、よろしいですか\r\n\r\n・タブ名: \t\t書類\r\n"
                                      "・バックアップ方法: \t日付\r\n"
                                      "・バックアップファイル数: \t2  (1.5KB)\r\n"
                                      "・同名ファイル存在時: \t読取専用以外の場合は上書きする",
                                      "バックアップ完了！  [ 2ﾌｧｲﾙ / 全2ﾌｧｲﾙ中 ]"}));
    EXPECT_EQ(fx.ui.statusHistory, (Strings{"バックアップ中...", "a.txt バックアップ中... [ 1 / 2 ]",
                                            "b.txt バックアップ中... [ 2 / 2 ]", "2個のファイル"}));
    EXPECT_EQ(fx.ui.useHistory, (std::vector<bool>{false, true}));
    EXPECT_EQ(fx.ui.progress.back(), std::make_pair(0, 0));
    EXPECT_EQ(fx.ui.recorded.size(), 2u);
    fx.ui.answers = {MsgAnswer::No};
    EXPECT_FALSE(run());
    EXPECT_EQ(fx.ui.useHistory.size(), 2u);
}

TEST_F(BackupRunTest, TargetsOfEveryMethodAndName) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"0", {".profile", "Bob's notes.txt", "README", "a.b.c"}},
        {"1", {"Bob's notes_060101.txt", "README_060101", "_060101.profile", "a.b_060101.c"}},
        {"2",
         {"Bob's notes_060101_1230.txt", "README_060101_1230", "_060101_1230.profile", "a.b_060101_1230.c"}},
        {"3", {"060101", "060101/.profile", "060101/Bob's notes.txt", "060101/README", "060101/a.b.c"}},
        {"4",
         {"060101_1230", "060101_1230/.profile", "060101_1230/Bob's notes.txt", "060101_1230/README",
          "060101_1230/a.b.c"}}};
    for (const char* name : {"README", ".profile", "a.b.c", "Bob's dir/Bob's notes.txt"})
        fx.addFile(name);
    for (const std::string& spelling : {dest.string(), dest.string() + "/"}) {
        fx.store().updateFolderPath("1", spelling);
        for (const auto& [code, expected] : cases) {
            fs::remove_all(dest);
            fs::create_directories(dest);
            method(code);
            EXPECT_TRUE(fx.backUp());
            EXPECT_EQ(listFolder(dest, true), expected) << code;
        }
    }
    EXPECT_TRUE(fx.ui.messages.empty());
    EXPECT_EQ(fx.marks().size(), 40u);
}

// A copy that replaces an earlier backup has its data on the disk before it takes the name, many flushed
// together before their renames; a new name waits for the flush at the end of the run. Rows keep the order
// of the files.
TEST_F(BackupRunTest, ReplacedBackupsAreOnTheDiskBeforeTheirRename) {
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        fx.addFile(name, "new");
    writeFile(dest / "a.txt", "old");
    writeFile(dest / "c.txt", "old");
    fx.state.SameFile = 1;
    EXPECT_TRUE(fx.backUp());
    EXPECT_EQ(faulty.calls,
              (Strings{"rename b.txt", "sync a.txt c.txt", "rename a.txt", "rename c.txt", "flush"}));
    std::vector<std::string> names;
    for (const CopyLogRow& r : fx.history())
        names.push_back(*r.FileName + *r.CopyAns);
    EXPECT_EQ(names, (Strings{"a.txt○", "b.txt○", "c.txt○"}));
    EXPECT_EQ(readFile(dest / "a.txt"), "new");
}

TEST_F(BackupRunTest, ArchiveRunPacksEachNameOnce) {
    method("5");
    fx.addFile("one/same.txt", "first");
    fx.addFile("two/same.txt", "second");
    fx.addFile("表ソ①.txt", std::string(20000, 'x'));
    writeFile(fx.folder.staging() / "leftover", "from an interrupted run");
    EXPECT_TRUE(run());
    expectExtractorsAgree(dest / "060101.lzh",
                          {{"same.txt", "second"}, {"表ソ①.txt", std::string(20000, 'x')}}, fx.dir / "out");
    EXPECT_EQ(fx.marks(), (Strings{"△", "○", "○"}));
    EXPECT_EQ(last(), "バックアップ完了！  [ 2ﾌｧｲﾙ / 全3ﾌｧｲﾙ中 ]");
    EXPECT_EQ(fx.ui.statusHistory[2], "same.txt コピー中... [ 2 / 3 ]");
    EXPECT_EQ(fx.ui.statusHistory[4], "060101.lzh 圧縮中...");
    EXPECT_TRUE(fs::is_empty(fx.folder.staging()));

    fx.store().deleteAllCopyLog();
    EXPECT_TRUE(run()); // policy 0 keeps this morning's archive
    EXPECT_EQ(fx.marks(), (Strings{"△", "△", "△"}));
    EXPECT_EQ(last(), "バックアップ完了！  [ 0ﾌｧｲﾙ / 全3ﾌｧｲﾙ中 ]");

    fx.store().deleteAllCopyLog();
    method("6");
    fs::create_directory(dest / "060101_1230.lzh"); // the archiver cannot put its file there
    EXPECT_TRUE(fx.backUp());
    EXPECT_EQ(fx.marks(), (Strings{"×", "×", "×"}));
}

TEST_F(BackupRunTest, AFailedStagingCopyStopsTheArchiveRun) {
    method("5");
    fx.addFile("a.txt");
    const fs::path b = fx.addFile("b.txt");
    faulty.failMidway = b.string();
    EXPECT_FALSE(run());
    EXPECT_TRUE(fs::is_empty(dest));
    EXPECT_TRUE(fs::is_empty(fx.folder.staging()));
    EXPECT_TRUE(fx.marks().empty());
    EXPECT_EQ(fx.ui.focusedPaths, Strings{b.string()});
    EXPECT_EQ(fx.ui.status, "");
    EXPECT_EQ(fx.ui.useHistory, (std::vector<bool>{false, true}));

    // A registered file inside the staging folder is refused instead of being emptied away.
    faulty.failMidway.clear();
    const fs::path inside = fx.folder.staging() / "precious.txt";
    writeFile(inside, "keep me");
    fx.store().insertCopyData("1", inside.string());
    EXPECT_FALSE(fx.backUp());
    EXPECT_EQ(readFile(inside), "keep me");
}

// The staging folder is the program's own: as a destination (however spelled) it is refused before the run,
// and a link or a file in its place is neither followed nor emptied.
TEST_F(BackupRunTest, StagingFolderIsNeverADestinationNorFollowed) {
    fx.addFile("a.txt");
    const fs::path tmp = fx.folder.staging();
    fs::create_directories(tmp / "sub");
    fs::create_symlink(tmp, fx.dir / "link");
    for (const std::string& d : {tmp.string(), (tmp / "sub").string() + "//",
                                 (fx.dir / "src" / ".." / "link" / "sub" / "..").string()}) {
        fx.store().updateFolderPath("1", d);
        for (const char* code : {"0", "5"}) {
            method(code);
            EXPECT_FALSE(fx.backUp()) << d;
            EXPECT_EQ(last(), "下記のバックアップ先フォルダは Kestrelbox の作業フォルダです。"
                              "別のフォルダを指定してください\r\n\r\n" +
                                  d);
        }
    }
    EXPECT_EQ(listFolder(tmp, true), Strings{"sub"});

    fx.store().updateFolderPath("1", dest.string());
    const fs::path users = fx.dir / "users";
    fs::create_directory(users);
    writeFile(users / "precious.txt", "keep");
    for (bool link : {true, false}) {
        fs::remove_all(tmp);
        if (link)
            fs::create_directory_symlink(users, tmp);
        else
            writeFile(tmp, "a file");
        method("5");
        EXPECT_FALSE(fx.backUp());
        EXPECT_EQ(last(),
                  "下記の作業フォルダが通常のフォルダではないため、圧縮バックアップできません\r\n\r\n" +
                      tmp.string());
        EXPECT_EQ(readFile(users / "precious.txt"), "keep");
        EXPECT_TRUE(fs::is_empty(dest));
        method("0"); // the other methods have no use for it
        EXPECT_TRUE(fx.backUp());
        fs::remove(dest / "a.txt");
    }
    EXPECT_EQ(fx.marks(), (Strings{"○", "○"}));
}

TEST_F(BackupRunTest, UnexpectedErrorLeavesTheWindowIdle) {
    method("3");
    fx.addFile("a.txt");
    writeFile(dest / "060101", "a file where the dated folder goes");
    EXPECT_FALSE(fx.backUp());
    EXPECT_EQ(last().rfind("バックアップエラー\r\n", 0), 0u);
    EXPECT_EQ(fx.ui.status, "");
    EXPECT_EQ(fx.ui.useHistory, (std::vector<bool>{false, true}));
    EXPECT_FALSE(fx.ui.waitCursor);
}

} // namespace
