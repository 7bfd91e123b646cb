#include "backup/backup_run.h"
#include "backup/compressed.h"
#include "backup/copy_log.h"
#include "support/test_support.h"

using namespace kb;
using namespace kb::test;

namespace {

// The flushes and renames of the file layer, by the target's name.
class RecordingFiles : public FaultyFiles {
public:
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
        return FaultyFiles::rename(from, to);
    }
    std::error_code flushToDisk(const fs::path& folder) override {
        calls.push_back("flush");
        return FileSystem::flushToDisk(folder);
    }

private:
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

    RecordingFiles faulty;
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
    faulty.failCopy = 2; // b's
    EXPECT_FALSE(run());
    EXPECT_TRUE(fs::is_empty(dest));
    EXPECT_TRUE(fs::is_empty(fx.folder.staging()));
    EXPECT_TRUE(fx.marks().empty());
    EXPECT_EQ(fx.ui.focusedPaths, Strings{b.string()});
    EXPECT_EQ(fx.ui.status, "");
    EXPECT_EQ(fx.ui.useHistory, (std::vector<bool>{false, true}));

    // A registered file inside the staging folder is refused instead of being emptied away.
    faulty.failCopy = 0;
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

const std::string kRun = "2006/01/01 12:30:00";

class CopyLogTest : public ::testing::Test {
protected:
    bool put(int seq, bool result = true, bool copied = true, const std::string& stamp = kRun) {
        return Fun_CopyLogPut(fx.services, stamp, seq, result, copied, "Bob's notes.txt",
                              "/b'/Bob's notes.txt");
    }
    // Older history: `runs` runs of `perRun` rows, one second apart, in 2005.
    void seed(int runs, int perRun) {
        exec(fx.store(), "BEGIN");
        for (int r = 0; r < runs; ++r)
            for (int i = 1; i <= perRun; ++i)
                fx.store().insertCopyLog({stamp(r), "1", "設定1 【標準】", i, "○", "f", "/b/f"});
        exec(fx.store(), "COMMIT");
    }
    // The kept count, which must be what COUNT(*) finds.
    long long rows() {
        EXPECT_EQ(fx.store().historyRows(), fx.store().countCopyLog());
        return fx.store().historyRows();
    }
    static std::string stamp(int r) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "2005/06/01 00:%02d:%02d", r / 60, r % 60);
        return buf;
    }
    CoreFixture fx;
};

TEST_F(CopyLogTest, TrimDeletesWholeOlderRunsOnly) {
    seed(1000, 1);
    for (int i = 1; i <= 5; ++i)
        put(i);
    // Each new row makes 1001 and the oldest run goes.
    EXPECT_EQ(rows(), 1000);
    EXPECT_EQ(fx.ui.recorded[4], stamp(5));
    EXPECT_EQ(fx.history().back().DateTime, stamp(5));

    fx.store().deleteAllCopyLog();
    seed(10, 100);
    for (int i = 1; i <= 5; ++i)
        put(i);
    // The cut-off lies inside the oldest run, which therefore stays whole (where the cut-off lies through
    // runs longer than the limit is the store's test). A limit of 0 keeps everything.
    EXPECT_EQ(rows(), 1005);
    fx.state.BackupLogMax = 0;
    put(1, true, true, "2006/01/02 00:00:00");
    EXPECT_EQ(rows(), 1006);
}

// The rows' marks, captions and texts are the runs' tests'. With recording off nothing is added or trimmed;
// a row the store refuses is reported and leaves no statement open.
TEST_F(CopyLogTest, RecordingOffOrRefusedAddsNoRow) {
    seed(1, 2);
    fx.state.BackupLog = 0;
    fx.state.BackupLogMax = 1;
    EXPECT_TRUE(put(1));
    EXPECT_EQ(rows(), 2);
    fx.state.BackupLog = 1;
    fx.state.BackupLogMax = 1000;
    ASSERT_EQ(exec(fx.store(), "DROP TABLE T_CopyLog"), SQLITE_OK);
    EXPECT_FALSE(put(1));
    EXPECT_EQ(fx.ui.texts(), Strings{"履歴保存エラー\r\nno such table: T_CopyLog"});
    EXPECT_TRUE(fx.ui.recorded.empty());
    EXPECT_EQ(busyStatements(fx.store().handle()), 0);
}

class CompressedTest : public ::testing::Test {
protected:
    CompressedTest() {
        fs::create_directories(staging);
        fs::create_directories(dest);
        writeFile(archive, "old archive");
    }
    ArchiverCall recorder(int result = 0) {
        return [this, result](std::uintptr_t, const std::string& command, char*, std::size_t size) {
            commands.push_back(command + " " + std::to_string(size));
            return result;
        };
    }
    std::int64_t now() const { return fromLocalTime(fx.clock.now()); }

    CoreFixture fx;
    fs::path staging = fx.folder.staging(), dest = fx.dir / "dest", archive = dest / "060101.lzh";
    std::vector<std::string> commands;
};

TEST_F(CompressedTest, PolicyIsDecidedBeforeTheArchiverRuns) {
    enum Old { Plain, ReadOnly, Earlier, Future };
    const std::tuple<int, Old, bool> cases[] = {{0, Plain, false},  {1, ReadOnly, true}, {2, ReadOnly, false},
                                                {3, Earlier, true}, {3, Future, false},  {9, Plain, true}};
    for (const auto& [policy, old, replaced] : cases) {
        ::chmod(archive.c_str(), old == ReadOnly ? 0444 : 0644);
        setMtime(archive, now() + (old == Earlier ? -3600 : old == Future ? 3600 : 0));
        fx.state.SameFile = static_cast<std::int16_t>(policy);
        commands.clear();
        bool copied = !replaced;
        EXPECT_TRUE(Fun_FileCopyPrs(fx.services, archive.string(), copied, recorder()));
        EXPECT_EQ(copied, replaced) << policy;
        EXPECT_EQ(commands.size(), replaced ? 1u : 0u) << policy;
        EXPECT_EQ(readFile(archive), "old archive") << "only the archiver's rename replaces it";
    }
    EXPECT_EQ(commands.at(0), "a -x1 -r2 \"" + archive.string() + "\" \"" + staging.string() + "/\" 1024");

    ::setenv("TZ", "UTC", 1);
    ::tzset();
    setMtime(archive, 1136118600);
    fx.state.SameFile = 4;
    fx.ui.answers = {MsgAnswer::No};
    bool copied = true;
    EXPECT_TRUE(Fun_FileCopyPrs(fx.services, archive.string(), copied, recorder()));
    EXPECT_FALSE(copied);
    EXPECT_EQ(fx.ui.texts(), Strings{"バックアップ先のフォルダには既に '060101.lzh' ファイルが存在します。"
                                     "\r\n\r\n\r\n現在のファイル\r\n  サイズ: 11ﾊﾞｲﾄ   更新日時: "
                                     "2006年01月01日 12:30:00\r\n\r\nに新しいファイルを上書きしますか"});
}

TEST_F(CompressedTest, FailuresKeepTheOldArchiveAndGiveThePartsReports) {
    fx.state.SameFile = 1;
    bool copied = true;
    EXPECT_FALSE(Fun_FileCopyPrs(fx.services, archive.string(), copied, recorder(1)));
    EXPECT_FALSE(copied);
    const std::string failed = "下記のファイルをコピー(圧縮)できませんでした。\r\n\r\n" + archive.string();
    EXPECT_EQ(fx.ui.texts(), Strings{failed});

    fx.ui.messages.clear();
    ArchiverCall missing = [](std::uintptr_t, const std::string&, char*, std::size_t) -> int {
        throw std::runtime_error("no archiver");
    };
    EXPECT_FALSE(Fun_FileCopyPrs(fx.services, archive.string(), copied, missing));
    EXPECT_EQ(fx.ui.texts(), (Strings{"Lha圧縮エラー\r\nno archiver", failed}));

    // The program's own file is never an archive's place; the archiver is not called.
    fx.ui.messages.clear();
    commands.clear();
    const std::string store = (fx.dir / "src" / ".." / "Kestrelbox.mdb").string();
    EXPECT_FALSE(Fun_FileCopyPrs(fx.services, store, copied, recorder()));
    EXPECT_EQ(fx.ui.texts(), Strings{"下記のファイルをコピー(圧縮)できませんでした。コピー先が "
                                     "Kestrelbox 自身のファイルです\r\n\r\n" +
                                     store});
    EXPECT_TRUE(commands.empty());
    EXPECT_EQ(readFile(archive), "old archive");
    EXPECT_TRUE(fx.logged("[mdlCommon]-[Fun_LhaPress] no archiver"));
}

TEST_F(CompressedTest, DelDirFileRemovesFilesOnly) {
    writeFile(staging / "locked", "r");
    ::chmod((staging / "locked").c_str(), 0444);
    writeFile(staging / ".hidden", "h");
    fs::create_directories(staging / "sub");
    writeFile(staging / "sub" / "inner", "stays");
    const fs::path outside = fx.dir / "outside";
    writeFile(outside, "not ours");
    ::chmod(outside.c_str(), 0400);
    fs::create_symlink(outside, staging / "link");

    EXPECT_TRUE(Fun_DelDirFile(fx.services, staging.string()));
    EXPECT_EQ(listFolder(staging, true), (Strings{"sub", "sub/inner"}));
    EXPECT_EQ(fs::status(outside).permissions() & fs::perms::all, fs::perms::owner_read);
    EXPECT_TRUE(Fun_DelDirFile(fx.services, staging.string() + "/"));
    EXPECT_TRUE(fx.ui.messages.empty());

    EXPECT_FALSE(Fun_DelDirFile(fx.services, archive.string()));
    EXPECT_EQ(fx.ui.messages.at(0).text.rfind("全ファイル削除エラー\r\n", 0), 0u);
}

} // namespace
