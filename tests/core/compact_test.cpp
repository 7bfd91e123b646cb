#include "store/compact.h"
#include "support/test_support.h"

using namespace kb;
using namespace kb::test;

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
    s->forEachCopyLog([&](const CopyLogRow& r) {
        for (const Text& t : {r.DateTime, r.TabNo, r.TabName, r.CopyAns, r.FileName, r.FolderPath})
            out += t.value_or("<null>") + "|";
        out += std::to_string(r.SeqNo) + "\n";
    });
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
        sqlite3_exec(s.handle(), "BEGIN", nullptr, nullptr, nullptr);
        for (int i = 0; i < 50; ++i)
            s.insertCopyData(std::to_string(i % 4 + 1), "/home/o'file " + std::to_string(i) + " 😀");
        for (int i = 0; i < 8000; ++i)
            s.insertCopyLog({"2006/01/" + std::to_string(10 + i / 1000) + " 12:30:05",
                             std::to_string(i % 4 + 1), "設定 【標準】", i, i % 3 ? Text("○") : std::nullopt,
                             "f" + std::to_string(i), "/backup/" + std::string(150, 'p')});
        sqlite3_exec(s.handle(), "COMMIT", nullptr, nullptr, nullptr);
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
    sqlite3_exec(s->handle(), "DELETE FROM T_CopyLog WHERE SeqNo >= 100", nullptr, nullptr, nullptr);
    auto size = fs::file_size(fx.folder.store());
    // A store of an earlier version has the engine's default pages: it opens as it is, and its first
    // compaction gives it the pages of this version.
    const fs::path legacy = fx.dir / "legacy.mdb";
    writeFile(legacy, "");
    for (std::string sql : {"ATTACH DATABASE '" + legacy.string() + "' AS legacy KEY 'pinwheel'",
                            std::string("PRAGMA legacy.cipher_page_size = 1024"),
                            std::string("SELECT sqlcipher_export('legacy')"), std::string("DETACH legacy")})
        ASSERT_EQ(sqlite3_exec(s->handle(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    s.reset();
    fs::rename(legacy, fx.folder.store());
    auto pageSize = [this] {
        auto store = Store::open(fx.folder.store());
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(store->handle(), "PRAGMA page_size", -1, &stmt, nullptr);
        sqlite3_step(stmt);
        int n = sqlite3_column_int(stmt, 0);
        sqlite3_finalize(stmt);
        return n;
    };
    EXPECT_EQ(pageSize(), 1024);
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
    std::string out;
    runCommand(
        "sqlcipher " + shellQuote(fx.folder.store().string()) + " " +
            shellQuote("PRAGMA key='pinwheel'; PRAGMA cipher_page_size=4096; SELECT count(*) FROM T_Tab;") +
            " 2>&1",
        &out);
    EXPECT_EQ(out, "4\n");
    EXPECT_EQ(pageSize(), 4096);
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
    EXPECT_EQ(fx.ui.textsWithIcon(MsgIcon::Critical),
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
        pid_t pid = ::fork();
        if (pid == 0) {
            g_killAt = step;
            detail::compactStepHook = killAtStep;
            compact();
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFSIGNALED(status);
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
