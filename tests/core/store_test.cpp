#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "store/mdb_open.h"
#include "store/store.h"
#include "support/test_support.h"

using namespace kb;
using namespace kb::test;
namespace fs = std::filesystem;

namespace {

std::string openError(const fs::path& file) {
    try {
        Store::open(file);
    } catch (const StoreError& e) {
        return e.what();
    }
    return "";
}

// Runs a query through the engine's own command-line shell with the store's key.
std::string cli(const fs::path& file, const std::string& sql, const std::string& key = "pinwheel") {
    std::string out;
    std::string script = key.empty() ? sql : "PRAGMA key='" + key + "'; " + sql;
    runCommand("sqlcipher " + shellQuote(file) + " " + shellQuote(script) + " 2>&1", &out);
    return out;
}

// Runs `body` in a child process and returns what it wrote back. The parent must not hold the store open
// at the fork: the engine's lock bookkeeping would be shared with the child.
std::string inChild(const std::function<std::string()>& body) {
    int p[2];
    EXPECT_EQ(::pipe(p), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(p[0]);
        std::string out;
        try {
            out = body();
        } catch (const std::exception& e) {
            out = std::string("exception: ") + e.what();
        }
        (void)!::write(p[1], out.data(), out.size());
        ::_exit(0);
    }
    ::close(p[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = ::read(p[0], buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    ::close(p[0]);
    ::waitpid(pid, nullptr, 0);
    return out;
}

std::vector<std::string> folderNames(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

bool noOpenStatements(Store& s) {
    return sqlite3_next_stmt(s.handle(), nullptr) == nullptr;
}

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        Store::create(file);
        store = Store::open(file);
    }
    TempDir dir{"kbstore"};
    fs::path file = dir / "Kestrelbox.mdb";
    std::unique_ptr<Store> store;
};

} // namespace

TEST(StoreOpen, MissingFileOrFolderIsRefusedAndNothingIsCreated) {
    TempDir dir("kbstore");
    EXPECT_EQ(openError(dir / "Kestrelbox.mdb"), "unable to open database file");
    EXPECT_FALSE(fs::exists(dir / "Kestrelbox.mdb"));
    fs::create_directory(dir / "folder.mdb");
    EXPECT_EQ(openError(dir / "folder.mdb"), "unable to open database file");
    EXPECT_TRUE(folderNames(dir.path()) == std::vector<std::string>{"folder.mdb"});
}

TEST(StoreOpen, CreatedStoreHasTheTablesAndResetRowsAndIsReadableWithTheKeyOnly) {
    TempDir dir("kbstore");
    fs::path file = dir / "Kestrelbox.mdb";
    Store::create(file);
    EXPECT_EQ(folderNames(dir.path()), std::vector<std::string>{"Kestrelbox.mdb"});
    EXPECT_EQ(cli(file, "SELECT TabNo, TabName, NameType, FolderPath IS NULL FROM T_Tab;"),
              "1|設定1|0|1\n2|設定2|0|1\n3|設定3|0|1\n4|設定4|0|1\n");
    EXPECT_EQ(cli(file, "PRAGMA table_info(T_CopyLog);"),
              "0|DateTime|TEXT|0||0\n1|TabNo|TEXT|0||0\n2|TabName|TEXT|0||0\n3|SeqNo|INTEGER|0||0\n"
              "4|CopyAns|TEXT|0||0\n5|FileName|TEXT|0||0\n6|FolderPath|TEXT|0||0\n");
    EXPECT_NE(cli(file, "SELECT count(*) FROM T_Tab;", "").find("file is encrypted or is not a database"),
              std::string::npos);

    // A store that is there is never replaced.
    std::string before = readFile(file);
    EXPECT_THROW(Store::create(file), StoreError);
    EXPECT_EQ(readFile(file), before);
}

TEST(StoreOpen, WrongKeyForeignAndDamagedFilesAreRefusedAndLeftAsTheyWere) {
    TempDir dir("kbstore");
    fs::path good = dir / "good.mdb";
    Store::create(good);
    {
        auto s = Store::open(good);
        for (int i = 0; i < 300; ++i)
            s->insertCopyLog({"2006/01/01 12:30:05", "1", "設定1 【標準】", i + 1, "○",
                              "f" + std::to_string(i), std::string(200, 'x')});
    }
    std::string goodBytes = readFile(good);
    ASSERT_GT(goodBytes.size(), 16384u);

    fs::path otherKey = dir / "other.mdb";
    cli(otherKey, "CREATE TABLE T_Tab (TabNo TEXT);", "different");
    fs::path plain = dir / "plain.mdb";
    cli(plain, "CREATE TABLE T_Tab (TabNo, TabName, NameType, FolderPath);", "");
    fs::path missingTables = dir / "tables.mdb";
    cli(missingTables, "CREATE TABLE T_Tab (TabNo, TabName, NameType, FolderPath);");
    std::string flipped = goodBytes;
    flipped[flipped.size() - 2000] ^= 0x5a;
    std::string lastPageGone = goodBytes.substr(0, goodBytes.size() - 1024);

    struct Case {
        std::string name, bytes;
    };
    std::vector<Case> cases = {
        {"text", "this is not a store\r\n"}, {"empty", ""},        {"truncated", goodBytes.substr(0, 4096)},
        {"page-gone", lastPageGone},         {"flipped", flipped}, {"half-header", goodBytes.substr(0, 50)}};
    for (const auto& c : cases)
        writeFile(dir / (c.name + ".mdb"), c.bytes);

    for (const fs::path& f : {otherKey, plain, missingTables}) {
        std::string before = readFile(f);
        EXPECT_NE(openError(f), "") << f;
        EXPECT_EQ(readFile(f), before) << f;
    }
    EXPECT_EQ(openError(otherKey), "file is encrypted or is not a database");
    EXPECT_EQ(openError(missingTables), "no such table: T_CopyData");
    EXPECT_EQ(openError(dir / "flipped.mdb"), "database disk image is malformed");
    for (const auto& c : cases) {
        fs::path f = dir / (c.name + ".mdb");
        EXPECT_NE(openError(f), "") << c.name;
        EXPECT_EQ(readFile(f), c.bytes) << c.name;
        EXPECT_FALSE(fs::exists(f.string() + "-journal")) << c.name;
    }
    EXPECT_EQ(openError(good), "");
}

TEST(StoreOpen, HeldStoreShutsOutEveryOtherProcessUntilClosed) {
    TempDir dir("kbstore");
    fs::path file = dir / "Kestrelbox.mdb";
    Store::create(file);

    // The engine's shell as an independent reader.
    {
        auto held = Store::open(file);
        held->insertCopyData("1", "/a/held.txt");
        EXPECT_NE(cli(file, "SELECT count(*) FROM T_CopyData;").find("database is locked"),
                  std::string::npos);
    }
    EXPECT_EQ(cli(file, "SELECT CpPath FROM T_CopyData;"), "/a/held.txt\n");

    // The other way round: a child holds it, we are refused, and get in once it has gone.
    int ready[2], done[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(done), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        auto s = Store::open(file);
        (void)!::write(ready[1], "r", 1);
        char c;
        (void)!::read(done[0], &c, 1);
        ::_exit(0);
    }
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    EXPECT_EQ(openError(file), "database is locked");
    (void)!::write(done[1], "d", 1);
    ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(openError(file), "");
    for (int fd : {ready[0], ready[1], done[0], done[1]})
        ::close(fd);
}

TEST(StoreOpen, StoreOrFolderThatCannotBeWrittenIsRefused) {
    TempDir dir("kbstore");
    fs::path sub = dir / "prog";
    fs::create_directory(sub);
    fs::path file = sub / "Kestrelbox.mdb";
    Store::create(file);
    std::string before = readFile(file);

    // Root writes anything, so the open runs as an unprivileged user where we are root.
    auto openAsUser = [&] {
        return inChild([&] {
            if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
                return std::string("cannot drop privileges");
            return openError(file);
        });
    };
    ::chmod(dir.path().c_str(), 0755);
    ::chmod(sub.c_str(), 0777);
    ::chmod(file.c_str(), 0444);
    EXPECT_EQ(openAsUser(), "attempt to write a readonly database");

    ::chmod(sub.c_str(), 0555);
    ::chmod(file.c_str(), 0666);
    EXPECT_NE(openAsUser(), "");
    EXPECT_EQ(readFile(file), before);
    EXPECT_EQ(folderNames(sub), std::vector<std::string>{"Kestrelbox.mdb"});

    ::chmod(sub.c_str(), 0777);
    EXPECT_EQ(openAsUser(), "");
}

TEST_F(StoreTest, RegisteredPathsAreStoredAndMatchedExactly) {
    const std::vector<std::string> paths = {"/home/o'brien/it's.txt",
                                            "/a/\"quoted\" name.txt",
                                            "/a/😀 emoji/ファイル.txt",
                                            "/a/'); DROP TABLE T_CopyData; --",
                                            "/a/X.txt",
                                            "/a/x.txt",
                                            "/a/back\\slash%_.txt"};
    for (const auto& p : paths)
        store->insertCopyData("2", p);
    store->insertCopyData("3", "/a/X.txt");

    for (const auto& p : paths)
        EXPECT_TRUE(store->copyDataExists("2", p)) << p;
    EXPECT_FALSE(store->copyDataExists("2", "/A/X.TXT"));
    EXPECT_FALSE(store->copyDataExists("1", "/a/X.txt"));
    EXPECT_FALSE(store->copyDataExists("2", "/a/X.txt "));

    store->deleteCopyData("2", "/a/X.txt");
    store->deleteCopyData("2", "/home/o'brien/it's.txt");
    auto left = store->selectCopyData("2");
    EXPECT_EQ(left.size(), paths.size() - 2);
    EXPECT_TRUE(store->copyDataExists("2", "/a/x.txt"));
    EXPECT_TRUE(store->copyDataExists("3", "/a/X.txt"));
    EXPECT_EQ(std::count(left.begin(), left.end(), "/a/😀 emoji/ファイル.txt"), 1);
    EXPECT_TRUE(noOpenStatements(*store));
}

TEST_F(StoreTest, RegisteredPathsComeInCaseBlindOrderWithExactTextBreakingTies) {
    for (const char* p : {"/b/1", "/a/c", "/B/1", "/A", "/a", "/ab", "/a/C"})
        store->insertCopyData("1", p);
    EXPECT_EQ(store->selectCopyData("1"),
              (std::vector<std::string>{"/A", "/a", "/a/C", "/a/c", "/ab", "/B/1", "/b/1"}));
    EXPECT_TRUE(store->selectCopyData("4").empty());
}

TEST_F(StoreTest, SetsKeepNamesMethodsAndDestinations) {
    auto tabs = store->selectTabs();
    ASSERT_EQ(tabs.size(), 4u);
    EXPECT_EQ(tabs[2].TabNo, "3");
    EXPECT_EQ(tabs[2].TabName, "設定3");
    EXPECT_EQ(tabs[2].NameType, "0");
    EXPECT_FALSE(tabs[2].FolderPath.has_value());

    store->updateFolderPath("2", "/mnt/o'neil \"backup\" 😀");
    store->updateFolderPath("3", "");
    store->updateTab("4", "It's 設定", "6");
    EXPECT_EQ(store->selectTab("2")->FolderPath, Text("/mnt/o'neil \"backup\" 😀"));
    EXPECT_EQ(store->selectTab("3")->FolderPath, Text(""));
    EXPECT_EQ(store->selectTab("4")->TabName, "It's 設定");
    EXPECT_EQ(store->selectTab("4")->NameType, "6");
    EXPECT_FALSE(store->selectTab("1")->FolderPath.has_value());
    EXPECT_FALSE(store->selectTab("5").has_value());
    EXPECT_FALSE(store->selectTab("1'; --").has_value());
}

TEST_F(StoreTest, HistoryKeepsNullsAndComesNewestRunFirstThenHigherSetThenInOrder) {
    store->insertCopyLog({"2006/01/01 12:30:05", "1", "設定1 【標準】", 2, "×", "b.txt", "/d/b.txt"});
    store->insertCopyLog({"2006/01/01 12:30:05", "1", "設定1 【標準】", 1, "○", "a.txt", "/d/a.txt"});
    store->insertCopyLog({"2006/01/01 12:30:05", "2", "設定2 【日付】", 1, "△", "c's.txt", "/d/c's.txt"});
    store->insertCopyLog({"2006/01/02 00:00:00", "1", std::nullopt, 1, std::nullopt, "😀.txt", std::nullopt});
    EXPECT_EQ(store->countCopyLog(), 4);

    std::vector<CopyLogRow> rows;
    store->forEachCopyLog([&](const CopyLogRow& r) { rows.push_back(r); });
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].FileName, Text("😀.txt"));
    EXPECT_FALSE(rows[0].TabName || rows[0].CopyAns || rows[0].FolderPath);
    EXPECT_EQ(rows[1].FileName, Text("c's.txt"));
    EXPECT_EQ(rows[2].FileName, Text("a.txt"));
    EXPECT_EQ(rows[3].FileName, Text("b.txt"));
    EXPECT_EQ(rows[3].SeqNo, 2);
    EXPECT_EQ(rows[3].CopyAns, Text("×"));

    // A visitor that fails leaves no result set behind.
    EXPECT_THROW(store->forEachCopyLog([](const CopyLogRow&) { throw std::runtime_error("stop"); }),
                 std::runtime_error);
    EXPECT_TRUE(noOpenStatements(*store));
    store.reset();
    EXPECT_EQ(cli(file, "SELECT DISTINCT typeof(SeqNo) FROM T_CopyLog;"), "integer\n");
}

TEST_F(StoreTest, TrimCutOffIsTheStampOfTheLastKeptRowAndWholeRunsGo) {
    EXPECT_FALSE(store->cutoffDateTime(10).has_value());
    auto run = [&](const std::string& stamp, const std::string& tab, int files) {
        for (int i = 1; i <= files; ++i)
            store->insertCopyLog({stamp, tab, "t", i, "○", "f", "/d"});
    };
    run("2006/01/01 09:00:00", "1", 3);
    run("2006/01/01 23:59:59", "2", 2);
    run("2006/01/02 00:00:00", "1", 2);
    run("2006/01/02 00:00:00", "3", 1);

    EXPECT_EQ(store->cutoffDateTime(1), Text("2006/01/02 00:00:00"));
    EXPECT_EQ(store->cutoffDateTime(3), Text("2006/01/02 00:00:00"));
    EXPECT_EQ(store->cutoffDateTime(4), Text("2006/01/01 23:59:59"));
    EXPECT_EQ(store->cutoffDateTime(6), Text("2006/01/01 09:00:00"));
    EXPECT_EQ(store->cutoffDateTime(1000), Text("2006/01/01 09:00:00"));

    store->deleteCopyLogBefore("2006/01/02 00:00:00");
    EXPECT_EQ(store->countCopyLog(), 3);
    store->deleteCopyLogBefore("2006/01/02 00:00:00");
    EXPECT_EQ(store->countCopyLog(), 3);
}

TEST_F(StoreTest, ResetStatementsBringBackTheFactoryState) {
    store->insertCopyData("1", "/a");
    store->insertCopyLog({"2006/01/01 12:30:05", "1", "x", 1, "○", "a", "/d"});
    store->updateTab("1", "名前", "5");
    store->updateFolderPath("1", "/dest");

    store->deleteAllCopyData();
    store->deleteAllCopyLog();
    store->deleteAllTabs();
    EXPECT_TRUE(store->selectTabs().empty());
    for (int i = 1; i <= 4; ++i)
        store->insertDefaultTab(i);

    EXPECT_TRUE(store->selectCopyData("1").empty());
    EXPECT_EQ(store->countCopyLog(), 0);
    auto tabs = store->selectTabs();
    ASSERT_EQ(tabs.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(tabs[i].TabNo, std::to_string(i + 1));
        EXPECT_EQ(tabs[i].TabName, "設定" + std::to_string(i + 1));
        EXPECT_EQ(tabs[i].NameType, "0");
        EXPECT_FALSE(tabs[i].FolderPath.has_value());
    }
}

TEST_F(StoreTest, FailingStatementReportsTheEngineTextAndClosingLeavesOnlyTheStore) {
    ASSERT_EQ(sqlite3_exec(store->handle(), "DROP TABLE T_CopyLog", nullptr, nullptr, nullptr), SQLITE_OK);
    try {
        store->insertCopyLog({"2006/01/01 12:30:05", "1", "x", 1, "○", "a", "/d"});
        ADD_FAILURE() << "no error";
    } catch (const StoreError& e) {
        EXPECT_STREQ(e.what(), "no such table: T_CopyLog");
    }
    EXPECT_THROW(store->countCopyLog(), StoreError);
    EXPECT_TRUE(noOpenStatements(*store));
    store.reset();
    EXPECT_EQ(folderNames(dir.path()), std::vector<std::string>{"Kestrelbox.mdb"});
}

namespace {

// Notes what had already happened when the box came up.
class OrderUi : public ScriptedUi {
public:
    MsgAnswer messageBox(const std::string& text, MsgIcon icon, MsgButtons buttons, MsgAnswer def,
                         const std::string& title) override {
        logWritten = fs::exists(logFile);
        handleHeld = state && state->MdbDatabase != nullptr;
        return ScriptedUi::messageBox(text, icon, buttons, def, title);
    }
    fs::path logFile;
    const SharedState* state = nullptr;
    bool logWritten = true, handleHeld = false;
};

} // namespace

TEST(MdbOpen, FailureShowsTheBoxThenReleasesTheHandleThenLogs) {
    TempDir dir("kbstore");
    ProgramFolder folder(dir.path());
    OrderUi ui;
    FixedClock clock;
    ErrorLog log(folder.errorLog(), clock, ui);
    Reporter reporter(ui, log);
    SharedState state;
    ui.logFile = folder.errorLog();
    ui.state = &state;

    Store::create(dir / "other.mdb");
    state.MdbDatabase = Store::open(dir / "other.mdb");
    EXPECT_FALSE(Fun_MDBOpen(state, reporter, folder.store()));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "データベースオープンエラー\r\nunable to open database file");
    EXPECT_EQ(ui.messages[0].icon, MsgIcon::Critical);
    EXPECT_EQ(ui.messages[0].title, "Kestrelbox");
    EXPECT_FALSE(ui.logWritten);
    EXPECT_TRUE(ui.handleHeld);
    EXPECT_FALSE(state.MdbDatabase);
    EXPECT_NE(readFile(folder.errorLog()).find("[mdlCommon]-[Fun_MDBOpen] unable to open database file"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(folder.store()));

    Store::create(folder.store());
    EXPECT_TRUE(Fun_MDBOpen(state, reporter, folder.store()));
    EXPECT_EQ(state.MdbDatabase->selectTabs().size(), 4u);
    EXPECT_EQ(ui.messages.size(), 1u);
}

TEST(MakeStore, MakesTheInstalledStoreOnlyWhereThereIsNone) {
    fs::path tool = fs::path(KB_PROGRAM_DIR).parent_path() / "kb_make_store";
    if (!fs::exists(tool))
        GTEST_SKIP() << "kb_make_store is not built";
    TempDir dir("kbstore");
    fs::path file = dir / "Kestrelbox.mdb";
    std::string out;
    EXPECT_EQ(runCommand(shellQuote(tool) + " " + shellQuote(file) + " 2>&1", &out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(Store::open(file)->selectTabs().size(), 4u);

    for (const std::string& content : {readFile(file), std::string("a user's file, not a store")}) {
        writeFile(file, content);
        EXPECT_EQ(runCommand(shellQuote(tool) + " " + shellQuote(file) + " 2>&1", &out), 0);
        EXPECT_EQ(out, "");
        EXPECT_EQ(readFile(file), content);
    }
    EXPECT_EQ(folderNames(dir.path()), std::vector<std::string>{"Kestrelbox.mdb"});
}
