#include "store/compact.h"
#include "store/mdb_open.h"
#include "support/test_support.h"

using namespace kb;
using namespace kb::test;

namespace {

std::string openError(const fs::path& file) {
    try {
        Store::open(file);
    } catch (const StoreError& e) {
        return e.what();
    }
    return "";
}

int refuseCommit(void*, int action, const char* what, const char*, const char*, const char*) {
    return action == SQLITE_TRANSACTION && what && std::string(what) == "COMMIT" ? SQLITE_DENY : SQLITE_OK;
}

const std::vector<std::string> kStoreOnly = {"Kestrelbox.mdb"};

// The first column of every row `sql` gives.
std::vector<Text> column(Store& store, const std::string& sql) {
    std::vector<Text> out;
    sqlite3_exec(
        store.handle(), sql.c_str(),
        [](void* rows, int, char** v, char**) {
            static_cast<std::vector<Text>*>(rows)->push_back(v[0] ? Text(v[0]) : Text());
            return 0;
        },
        &out, nullptr);
    return out;
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

TEST_F(StoreTest, OpenRefusesAnythingButAWholeStoreAndChangesNothing) {
    for (int i = 0; i < 300; ++i)
        store->insertCopyLog({"2006/01/01 12:30:05", "1", "t", i, "○", "f", std::string(200, 'x')});
    store.reset();
    const std::string good = readFile(file);
    std::string flipped = good;
    flipped[good.size() - 2000] ^= 0x5a;
    writeFile(dir / "flipped.mdb", flipped);
    sqlcipher(dir / "key.mdb", "CREATE TABLE T_Tab (TabNo);", "different");
    sqlcipher(dir / "plain.mdb", "CREATE TABLE T_Tab (TabNo);", "");
    sqlcipher(dir / "tables.mdb", "CREATE TABLE T_Tab (TabNo, TabName, NameType, FolderPath);");
    fs::create_directory(dir / "folder.mdb");
    // Text, empty and cut-short files are tried on the whole program by the fault tests.
    EXPECT_EQ(openError(dir / "missing.mdb"), "unable to open database file");
    EXPECT_EQ(openError(dir / "folder.mdb"), "unable to open database file");
    EXPECT_EQ(openError(dir / "key.mdb"), "file is encrypted or is not a database");
    EXPECT_EQ(openError(dir / "tables.mdb"), "no such table: T_CopyData");
    EXPECT_EQ(openError(dir / "flipped.mdb"), "database disk image is malformed");
    EXPECT_NE(openError(dir / "plain.mdb"), "");
    EXPECT_EQ(readFile(dir / "flipped.mdb"), flipped);
    EXPECT_EQ(listFolder(dir.path()).size(), 6u) << "nothing made, the missing store least of all";
    EXPECT_EQ(readFile(file), good);
    EXPECT_EQ(openError(file), "");
}

TEST_F(StoreTest, HeldStoreKeepsEveryOtherProcessOut) {
    store->insertCopyData("1", "/a/held.txt");
    EXPECT_NE(sqlcipher(file, "SELECT count(*) FROM T_CopyData;").find("database is locked"),
              std::string::npos);
    store.reset();
    EXPECT_EQ(sqlcipher(file, "SELECT CpPath FROM T_CopyData;"), "/a/held.txt\n");
    EXPECT_NE(sqlcipher(file, "SELECT count(*) FROM T_Tab;", "").find("not a database"), std::string::npos);
}

// A process that ended without closing leaves its rows in the log; a fold-back that the disk cut short
// leaves part of a page at the end of the store. Every row is there at the next open all the same.
TEST_F(StoreTest, RowsInTheLogSurviveAPartPageAtTheEnd) {
    store.reset();
    statusOfChild([&]() -> int {
        auto s = Store::open(file);
        for (int i = 1; i <= 50; ++i)
            s->insertCopyLog({"2006/01/01 12:30:05", "1", "t", i, "○", "f", std::string(100, 'x')});
        ::_exit(0); // without closing the store
    });
    ASSERT_TRUE(fs::exists(file.string() + "-wal"));
    writeFile(file, readFile(file) + std::string(1000, 'p'));
    EXPECT_EQ(historyRows(*Store::open(file)).size(), 50u);
    EXPECT_EQ(fs::file_size(file) % 4096, 0u);
}

TEST(StoreOpen, StoreOrFolderThatCannotBeWrittenIsRefusedUntouched) {
    TempDir dir("kbstore");
    fs::path sub = dir / "prog", file = sub / "Kestrelbox.mdb";
    fs::create_directory(sub);
    Store::create(file);
    std::string bytes = readFile(file);
    // Root may write anything, so the open runs in a child as an unprivileged user. The parent holds no
    // connection at the fork, so the child's engine starts without lock bookkeeping of its own.
    auto openAsUser = [&](const std::string& expected) {
        const int status = statusOfChild([&] {
            if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
                return 2;
            const std::string error = openError(file);
            return int(expected == "any error" ? error.empty() : error != expected);
        });
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    ::chmod(dir.path().c_str(), 0755);
    ::chmod(sub.c_str(), 0777);
    ::chmod(file.c_str(), 0444);
    EXPECT_TRUE(openAsUser("attempt to write a readonly database"));
    ::chmod(sub.c_str(), 0555);
    ::chmod(file.c_str(), 0666);
    EXPECT_TRUE(openAsUser("any error"));
    EXPECT_EQ(readFile(file), bytes);
    EXPECT_EQ(listFolder(sub), kStoreOnly);
    ::chmod(sub.c_str(), 0777);
    EXPECT_TRUE(openAsUser(""));
}

TEST_F(StoreTest, FilesAndSetsKeepTheirTextsExactlyAndComeInCaseBlindOrder) {
    const std::vector<std::string> odd = {"/home/o'brien/it's.txt", "/a/\"q\" name.txt", "/a/😀/ファイル.txt",
                                          "/a/'); DROP TABLE T_CopyData; --", "/a/back\\slash%_.txt"};
    for (const auto& p : odd)
        store->insertCopyData("2", p);
    for (const char* p : {"/b/1", "/a/c", "/B/1", "/A", "/a", "/a/C", "/ab"})
        store->insertCopyData("1", p);
    store->insertCopyData("3", "/a/c");

    EXPECT_EQ(store->selectCopyData("1"), (Strings{"/A", "/a", "/a/C", "/a/c", "/ab", "/B/1", "/b/1"}));
    for (const auto& p : odd)
        EXPECT_TRUE(store->copyDataExists("2", p)) << p;
    EXPECT_FALSE(store->copyDataExists("1", "/A/C"));
    EXPECT_FALSE(store->copyDataExists("2", "/a/c"));
    store->deleteCopyData("1", "/a/c");
    store->deleteCopyData("2", odd[0]);
    EXPECT_TRUE(store->copyDataExists("1", "/a/C"));
    EXPECT_TRUE(store->copyDataExists("3", "/a/c"));
    EXPECT_EQ(store->selectCopyData("2").size(), odd.size() - 1);

    store->updateFolderPath("2", "/mnt/o'neil \"b\" 😀");
    store->updateFolderPath("3", "");
    store->updateTab("4", "It's 設定", "6");
    EXPECT_EQ(store->selectTab("2")->FolderPath, Text("/mnt/o'neil \"b\" 😀"));
    EXPECT_EQ(store->selectTab("3")->FolderPath, Text(""));
    EXPECT_FALSE(store->selectTab("1")->FolderPath.has_value());
    EXPECT_EQ(store->selectTab("4")->TabName + store->selectTab("4")->NameType, "It's 設定6");
    EXPECT_FALSE(store->selectTab("1' OR '1'='1").has_value());
}

TEST_F(StoreTest, HistoryKeepsNullsComesNewestFirstAndTrimsWholeRuns) {
    auto run = [&](const std::string& stamp, const std::string& tab, int files) {
        for (int i = files; i >= 1; --i)
            store->insertCopyLog(
                {stamp, tab, std::nullopt, i, i == 1 ? Text("○") : std::nullopt, "f's😀", "/d/" + stamp});
    };
    EXPECT_FALSE(store->cutoffDateTime(10).has_value());
    run("2006/01/01 09:00:00", "1", 3);
    run("2006/01/01 23:59:59", "2", 2);
    run("2006/01/02 00:00:00", "1", 2);
    run("2006/01/02 00:00:00", "3", 1);

    std::string order;
    store->forEachCopyLog([&](const CopyLogRow& r) {
        order += r.DateTime->substr(8, 2) + r.TabNo.value() + std::to_string(r.SeqNo) +
                 r.CopyAns.value_or("-") + (r.TabName ? "!" : "") + " ";
        EXPECT_EQ(r.FileName, Text("f's😀"));
    });
    EXPECT_EQ(order, "0231○ 0211○ 0212- 0121○ 0122- 0111○ 0112- 0113- ");

    EXPECT_THROW(store->forEachCopyLog([](const CopyLogRow&) { throw std::runtime_error("stop"); }),
                 std::runtime_error);
    EXPECT_EQ(busyStatements(store->handle()), 0);

    store.reset();
    EXPECT_EQ(sqlcipher(file, "SELECT DISTINCT typeof(SeqNo) FROM T_CopyLog;"), "integer\n");
}

// The count kept in memory is what COUNT(*) finds after every kind of change, whether the store made it,
// a statement past it, a trigger of a hand-edited store or a rollback (failing resets: the window's test).
TEST_F(StoreTest, KeptHistoryCountIsWhatCountFinds) {
    auto run = [&](const std::string& stamp, int files) {
        for (int i = 1; i <= files; ++i)
            store->insertCopyLog({stamp, "1", "t", i, "○", "f", "/d"});
    };
    // After each step the kept count must be what COUNT(*) finds; then the count is known for the next.
    std::vector<long long> counted;
    auto checked = [&](const char* step) {
        EXPECT_EQ(store->historyRows(), store->countCopyLog()) << step;
        counted.push_back(store->countCopyLog());
    };
    store->historyRows();
    run("2006/01/01 09:00:00", 5);
    run("2006/01/02 09:00:00", 3);
    checked("runs");
    store->deleteCopyLogBefore(*store->cutoffDateTime(3));
    checked("a trim");
    store->deleteCopyLogBefore("2000");
    checked("a trim of nothing");
    exec(*store, "DELETE FROM T_CopyLog WHERE SeqNo = 2");
    checked("past the store");
    exec(*store, "BEGIN");
    run("2007/01/01 00:00:00", 2);
    exec(*store, "ROLLBACK");
    checked("rolled back");
    exec(*store,
         "CREATE TRIGGER t1 AFTER INSERT ON T_CopyLog BEGIN INSERT INTO T_CopyData VALUES ('9', 'x'); END;"
         "CREATE TRIGGER t2 AFTER INSERT ON T_CopyData BEGIN INSERT INTO T_CopyLog (DateTime) VALUES "
         "('2001'); END");
    run("2008/01/01 00:00:00", 1);
    store->insertCopyData("1", "/f");
    store->historyRows();
    store->deleteCopyData("9", "x");
    run("2008/01/01 00:00:00", 1);
    exec(*store, "DROP TRIGGER t1; DROP TRIGGER t2");
    checked("triggers");
    exec(*store, "BEGIN");
    store->deleteAllCopyLog();
    exec(*store, "ROLLBACK");
    checked("a rolled-back clear");
    store->deleteAllCopyLog();
    checked("the clear");
    run("2009/01/01 00:00:00", 4);
    store->resetToDefaults();
    checked("the reset");
    store->holdHistory(std::chrono::hours(1));
    run("2010/01/01 00:00:00", 3);
    store->commitHeldIfDue();
    EXPECT_FALSE(sqlite3_get_autocommit(store->handle()));
    store->commitHeld();
    checked("held rows");
    run("2010/01/02 00:00:00", 2);
    sqlite3_set_authorizer(store->handle(), refuseCommit, nullptr);
    EXPECT_THROW(store->commitHeld(), StoreError);
    sqlite3_set_authorizer(store->handle(), nullptr, nullptr);
    EXPECT_TRUE(store->heldRowsLost());
    EXPECT_FALSE(store->heldRowsLost());
    checked("held rows whose commit is refused");
    run("2010/01/03 00:00:00", 2);
    store.reset();
    store = Store::open(file);
    checked("held rows at the close");
    EXPECT_EQ(counted, (std::vector<long long>{8, 3, 3, 2, 2, 7, 7, 0, 0, 3, 3, 5}));
}

// Whether the history exceeds a limit, decided from the rowids where they bound a large count, agrees with
// the count: rowids in a row, with a gap left by a trim, and below one in a hand-edited store.
TEST_F(StoreTest, HistoryExceedsALimitExactlyWhenTheCountDoes) {
    for (const char* change :
         {"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 70000) "
          "INSERT INTO T_CopyLog (DateTime) SELECT '2006' FROM n",
          "DELETE FROM T_CopyLog WHERE rowid <= 3",
          "INSERT INTO T_CopyLog (rowid, DateTime) VALUES (-40, '2001')"}) {
        exec(*store, change);
        const long long count = store->countCopyLog();
        for (long long limit : {0LL, count - 1, count, count + 1, count + 4}) {
            // A change past the store: the count is not known and the rowids decide where they can.
            exec(*store, "UPDATE T_Tab SET TabName = TabName WHERE TabNo = '1'");
            EXPECT_EQ(store->historyExceeds(limit), count > limit) << change << " " << limit;
        }
    }
}

// The cut-off of the trim, whether walked or known from the last walk, is the DateTime of the last of the
// first `limit` rows, through runs longer than the limit, rows older than the cut-off, trims, statements past
// the store and a changing limit.
TEST_F(StoreTest, CutoffIsTheLastOfTheFirstRowsThroughRunsAndTrims) {
    auto lastOfFirst = [&](long long limit) {
        const std::vector<Text> last = column(
            *store, "SELECT DateTime FROM (SELECT DateTime, TabNo, SeqNo, rowid AS r FROM T_CopyLog ORDER BY "
                    "DateTime DESC, TabNo DESC, SeqNo, rowid LIMIT " +
                        std::to_string(limit) + ") ORDER BY DateTime, TabNo, SeqNo DESC, r DESC LIMIT 1");
        return last.empty() ? Text() : last[0];
    };
    std::mt19937 random(11);
    long long limit = 8;
    int day = 1, seq = 0;
    for (int i = 0; i < 1500; ++i) {
        const unsigned pick = random() % 100;
        if (pick < 3)
            limit = 4 + static_cast<long long>(random() % 30);
        else if (pick < 5)
            exec(*store, "DELETE FROM T_CopyLog WHERE SeqNo = 3");
        else if (pick < 10)
            day = std::min(28, day + 1), seq = 0;
        // Mostly the current run; now and then an older day, as a clock set back gives.
        const int at = pick % 7 == 0 ? static_cast<int>(random() % static_cast<unsigned>(day)) + 1 : day;
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "2006/01/%02d 10:00:00", at);
        // Now and then a row without a DateTime, as a hand-edited store may hold.
        store->insertCopyLog({pick % 11 == 1 ? Text() : Text(stamp), std::to_string(random() % 4 + 1), "t",
                              ++seq, "○", "f", "/d"});
        ASSERT_EQ(store->cutoffDateTime(limit), lastOfFirst(limit)) << i;
        // Undated rows, the oldest of all, may hold the cut-off; then nothing is trimmed.
        if (auto cutoff = store->cutoffDateTime(limit); cutoff && store->historyRows() > limit)
            store->deleteCopyLogBefore(*cutoff);
        ASSERT_EQ(store->cutoffDateTime(limit), lastOfFirst(limit)) << i;
    }
    EXPECT_EQ(store->historyRows(), store->countCopyLog());
}

TEST_F(StoreTest, HistoryPagesJoinIntoTheWholeOrder) {
    // Ties on every column, runs of one second, and what only a hand-edited store holds: nulls and other
    // kinds of values in the ordering columns.
    for (const char* v :
         {"'2006/01/02 00:00:00','1',1", "NULL,'1',1", "'2006/01/02 00:00:00','3',2",
          "'2006/01/02 00:00:00','1',1", "'2006/01/01 09:00:00','2','x'", "NULL,NULL,1",
          "'2006/01/02 00:00:00',NULL,1", "'2006/01/01 09:00:00','2',2.5", "'2006/01/02 00:00:00','3',1",
          "'2006/01/01 09:00:00','2',NULL", "'2006/01/03 00:00:00','4',1", "'2006/01/01 09:00:00','2',3",
          "'2006/01/02 00:00:00','1',1"})
        ASSERT_EQ(
            exec(*store, "INSERT INTO T_CopyLog (DateTime, TabNo, SeqNo) VALUES (" + std::string(v) + ")"),
            SQLITE_OK);
    const std::vector<Text> whole =
        column(*store, "SELECT rowid FROM T_CopyLog ORDER BY DateTime DESC, TabNo DESC, SeqNo, rowid");
    for (long long page = 1; page <= 4; ++page) {
        std::vector<HistoryEntry> rows;
        std::size_t asked = 0;
        do {
            asked = rows.size() + static_cast<std::size_t>(page);
            store->historyPage(rows.empty() ? nullptr : &rows.back(), static_cast<long long>(rows.size()),
                               page, rows);
        } while (rows.size() == asked);
        std::vector<Text> paged;
        for (const HistoryEntry& e : rows)
            paged.push_back(std::to_string(e.rowid));
        EXPECT_EQ(paged, whole) << page;
    }
}

TEST(MdbOpen, FailureShowsTheBoxReleasesTheHandleThenLogs) {
    CoreFixture fx;
    struct : ScriptedUi {
        MsgAnswer messageBox(const std::string& t, MsgIcon i, MsgButtons b, MsgAnswer d,
                             const std::string& title) override {
            seen =
                (state->MdbDatabase ? "held " : "released ") + std::string(fs::exists(log) ? "logged" : "");
            return ScriptedUi::messageBox(t, i, b, d, title);
        }
        const SharedState* state;
        fs::path log;
        std::string seen;
    } ui;
    ui.state = &fx.state;
    ui.log = fx.folder.errorLog();
    Reporter reporter(ui, fx.errorLog);

    EXPECT_FALSE(Fun_MDBOpen(fx.state, reporter, fx.dir / "none.mdb"));
    EXPECT_EQ(ui.texts(), Strings{"データベースオープンエラー\r\nunable to open database file"});
    EXPECT_EQ(ui.seen, "held ");
    EXPECT_FALSE(fx.state.MdbDatabase);
    EXPECT_TRUE(fx.logged("[mdlCommon]-[Fun_MDBOpen] unable to open database file"));
    EXPECT_TRUE(Fun_MDBOpen(fx.state, reporter, fx.folder.store()));
    EXPECT_EQ(ui.messages.size(), 1u);
}

TEST(MakeStore, MakesTheInstalledStoreOnlyWhereThereIsNone) {
    fs::path tool = fs::path(KB_PROGRAM_DIR).parent_path() / "kb_make_store";
    if (!fs::exists(tool))
        GTEST_SKIP() << "kb_make_store is not built";
    TempDir dir("kbstore");
    fs::path file = dir / "Kestrelbox.mdb";
    std::string command = shellQuote(tool) + " " + shellQuote(file) + " 2>&1", out;
    EXPECT_EQ(runCommand(command, &out), 0);
    EXPECT_EQ(sqlcipher(file, "SELECT TabNo, TabName, NameType, FolderPath IS NULL FROM T_Tab;"),
              "1|設定1|0|1\n2|設定2|0|1\n3|設定3|0|1\n4|設定4|0|1\n");
    for (const std::string& content : {readFile(file), std::string("a user's file")}) {
        writeFile(file, content);
        EXPECT_EQ(runCommand(command, &out), 0);
        EXPECT_EQ(out, "");
        EXPECT_EQ(readFile(file), content);
    }
    EXPECT_EQ(listFolder(dir.path()), kStoreOnly);
}

namespace {

// Everything a store holds, as one text.
std::string snapshot(const fs::path& file) {
    auto s = Store::open(file);
    std::string out;
    for (const auto& t : s->selectTabs()) {
        out += t.TabNo + t.TabName + t.NameType + t.FolderPath.value_or("<null>") + "\n";
        for (const auto& p : s->selectCopyData(t.TabNo))
            out += p + "\n";
    }
    s->forEachCopyLog([&](const CopyLogRow& r) { out += rowText(r) + "\n"; });
    return out;
}

const char* g_killAt = nullptr;
void killAtStep(const char* step) {
    if (g_killAt && std::strcmp(step, g_killAt) == 0)
        ::kill(::getpid(), SIGKILL);
}

class CompactTest : public ::testing::Test {
protected:
    void SetUp() override {
        Store& s = fx.store();
        s.updateTab("2", "仕事's", "5");
        s.updateFolderPath("2", "/mnt/バックアップ \"2\"");
        exec(s, "BEGIN");
        for (int i = 0; i < 50; ++i)
            s.insertCopyData(std::to_string(i % 4 + 1), "/home/o'file " + std::to_string(i) + " 😀");
        for (int i = 0; i < 8000; ++i)
            s.insertCopyLog({"2006/01/" + std::to_string(10 + i / 1000) + " 12:30:05",
                             std::to_string(i % 4 + 1), "設定 【標準】", i, i % 3 ? Text("○") : std::nullopt,
                             "f" + std::to_string(i), "/backup/" + std::string(150, 'p')});
        exec(s, "COMMIT");
        fx.state.MdbDatabase.reset(); // as the shutdown leaves it
        before = snapshot(fx.folder.store());
    }

    bool compact() { return Fun_MDBCompact(fx.folder, fx.state, fx.reporter, fx.files); }
    // The state every interruption and failure must leave, and the next close must mend.
    void expectWholeStoreAndCleanNextClose() {
        EXPECT_EQ(snapshot(fx.folder.store()), before);
        fx.ui.messages.clear();
        EXPECT_TRUE(compact());
        std::vector<std::string> left = listFolder(fx.dir.path());
        std::erase(left, "Err.log");
        EXPECT_EQ(left, Strings{"Kestrelbox.mdb"});
        EXPECT_EQ(snapshot(fx.folder.store()), before);
    }

    CoreFixture fx;
    std::string before;
};

} // namespace

TEST_F(CompactTest, KeepsEveryRowShrinksTheFileAndReplacesLeftoverCopies) {
    auto s = Store::open(fx.folder.store());
    exec(*s, "DELETE FROM T_CopyLog WHERE SeqNo >= 100");
    auto size = fs::file_size(fx.folder.store());
    // A store of an earlier version has the engine's default pages: it opens as it is, and its first
    // compaction gives it the pages of this version.
    const fs::path legacy = fx.dir / "legacy.mdb";
    writeFile(legacy, "");
    for (std::string sql : {"ATTACH DATABASE '" + legacy.string() + "' AS legacy KEY 'pinwheel'",
                            std::string("PRAGMA legacy.cipher_page_size = 1024"),
                            std::string("SELECT sqlcipher_export('legacy')"), std::string("DETACH legacy")})
        ASSERT_EQ(exec(*s, sql), SQLITE_OK) << sql;
    s.reset();
    fs::rename(legacy, fx.folder.store());
    auto pageSize = [this] { return column(*Store::open(fx.folder.store()), "PRAGMA page_size").at(0); };
    EXPECT_EQ(pageSize(), Text("1024"));
    before = snapshot(fx.folder.store());
    writeFile(fx.folder.compactCopy(), "half a compacted copy");
    writeFile(fx.folder.compactCopy().string() + "-journal", std::string(1024, 'j'));
    writeFile(fx.folder.safetyCopy(), "an old safety copy");

    EXPECT_TRUE(compact());
    EXPECT_TRUE(fx.ui.messages.empty());
    EXPECT_FALSE(fs::exists(fx.folder.errorLog()));
    EXPECT_LT(fs::file_size(fx.folder.store()), size / 4);
    // The program opens it with a key it derived once; the engine's shell opens it with the password and
    // the page size.
    EXPECT_EQ(sqlcipher(fx.folder.store(), "SELECT count(*) FROM T_Tab;"), "4\n");
    EXPECT_EQ(pageSize(), Text("4096"));
    expectWholeStoreAndCleanNextClose();
}

TEST_F(CompactTest, EachFailureIsReportedAndLeavesTheStoreWhole) {
    // A folder in the way of the safety copy, then of the compacted copy.
    for (const auto& [blocked, step] :
         {std::pair{fx.folder.safetyCopy(), "Backup"}, {fx.folder.compactCopy(), "Compact"}}) {
        fs::create_directories(blocked / "in-the-way");
        EXPECT_FALSE(compact());
        EXPECT_EQ(fx.ui.texts(), Strings{"MDB最適化エラー[" + std::string(step) + "]\r\nIs a directory"});
        EXPECT_TRUE(fx.logged("[mdlCommon]-[Fun_MDBCompact]-[Err" + std::string(step) + "] Is a directory"));
        EXPECT_FALSE(fx.state.MdbDatabase);
        EXPECT_EQ(fs::exists(fx.folder.safetyCopy()), blocked == fx.folder.safetyCopy());
        fs::remove_all(blocked);
        expectWholeStoreAndCleanNextClose();
    }

    // Held by someone else: a plain failure, and the store that person writes to is not replaced.
    auto holder = Store::open(fx.folder.store());
    EXPECT_FALSE(compact());
    EXPECT_EQ(fx.ui.texts(MsgIcon::Critical),
              (Strings{"データベースオープンエラー\r\ndatabase is locked", "MDB最適化失敗。"}));
    EXPECT_TRUE(fx.logged("[mdlCommon]-[Fun_MDBOpen] database is locked"));
    EXPECT_TRUE(fx.logged("[mdlCommon]-[Fun_MDBCompact]-[ErrCompact] MDB最適化失敗。"));
    holder->insertCopyData("4", "/written/after");
    holder.reset();
    before = snapshot(fx.folder.store());
    EXPECT_NE(before.find("/written/after"), std::string::npos);
    expectWholeStoreAndCleanNextClose();
}

TEST_F(CompactTest, KillAtAnyMomentLeavesAStoreThatOpensWithAllItsContent) {
    auto killedChild = [&](const char* step) {
        return WIFSIGNALED(statusOfChild([&] {
            g_killAt = step;
            detail::compactStepHook = killAtStep;
            compact();
            return 0;
        }));
    };
    // The last two on the failure path: the compacted copy cannot be made, and the kill comes while the store
    // is put back.
    for (const std::string step :
         {"safety-copied", "opened", "exported", "verified", "swapped", "done", "restore", "restored"}) {
        SCOPED_TRACE(step);
        const bool failing = step.starts_with("restore");
        if (failing)
            fs::create_directory(fx.folder.compactCopy());
        EXPECT_TRUE(killedChild(step.c_str()));
        if (failing)
            fs::remove(fx.folder.compactCopy());
        expectWholeStoreAndCleanNextClose();
    }
}
