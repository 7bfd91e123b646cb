#include <chrono>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/cp932.h"
#include "store/compact.h"
#include "store/mdb_open.h"
#include "support/test_support.h"

using namespace kb;
using namespace kb::test;
namespace fs = std::filesystem;

namespace {

// Everything a store holds, as one text.
std::string snapshot(const fs::path& file) {
    auto s = Store::open(file);
    std::string out;
    for (const auto& t : s->selectTabs()) {
        out += t.TabNo + "|" + t.TabName + "|" + t.NameType + "|" + t.FolderPath.value_or("<null>") + "\n";
        for (const auto& p : s->selectCopyData(t.TabNo))
            out += "  " + p + "\n";
    }
    s->forEachCopyLog([&](const CopyLogRow& r) {
        for (const Text& t : {r.DateTime, r.TabNo, r.TabName, r.CopyAns, r.FileName, r.FolderPath})
            out += t.value_or("<null>") + "|";
        out += std::to_string(r.SeqNo) + "\n";
    });
    return out;
}

std::vector<std::string> storeFiles(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename() != "Err.log")
            names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

const std::vector<std::string> kOnlyTheStore = {"Kestrelbox.mdb"};

class CompactTest : public ::testing::Test {
protected:
    void SetUp() override {
        Store& s = fx.store();
        s.updateTab("2", "仕事's", "5");
        s.updateFolderPath("2", "/mnt/バックアップ \"2\"");
        for (int i = 0; i < 50; ++i)
            s.insertCopyData(std::to_string(i % 4 + 1), "/home/u/o'file " + std::to_string(i) + " 😀.txt");
        fill(s, 0, 3000);
    }

    static void fill(Store& s, int from, int to) {
        sqlite3_exec(s.handle(), "BEGIN", nullptr, nullptr, nullptr);
        for (int i = from; i < to; ++i)
            s.insertCopyLog({"2006/01/" + std::to_string(10 + i / 1000) + " 12:30:05",
                             std::to_string(i % 4 + 1), "設定 【標準】", i, i % 3 ? Text("○") : std::nullopt,
                             "f" + std::to_string(i),
                             "/backup/" + std::string(150, 'p') + std::to_string(i)});
        sqlite3_exec(s.handle(), "COMMIT", nullptr, nullptr, nullptr);
    }

    // As the shutdown leaves it: the connection released.
    std::string closeAndSnapshot() {
        fx.state.MdbDatabase.reset();
        return snapshot(fx.folder.store());
    }

    bool logHas(const std::string& line) {
        return readFile(fx.folder.errorLog()).find(cp932::fromUtf8(line)) != std::string::npos;
    }

    bool compact() { return Fun_MDBCompact(fx.folder, fx.state, fx.reporter); }

    CoreFixture fx;
};

// Ends the child process when the compaction reaches this step.
const char* g_killAt = nullptr;
void killAtStep(const char* step) {
    if (g_killAt && std::strcmp(step, g_killAt) == 0)
        ::kill(::getpid(), SIGKILL);
}

} // namespace

TEST_F(CompactTest, KeepsEveryRowShrinksTheFileAndLeavesOnlyTheStore) {
    sqlite3_exec(fx.store().handle(), "DELETE FROM T_CopyLog WHERE SeqNo >= 100", nullptr, nullptr, nullptr);
    std::string before = closeAndSnapshot();
    auto sizeBefore = fs::file_size(fx.folder.store());

    EXPECT_TRUE(compact());
    EXPECT_TRUE(fx.ui.messages.empty());
    EXPECT_EQ(storeFiles(fx.dir.path()), kOnlyTheStore);
    EXPECT_FALSE(fs::exists(fx.folder.errorLog()));
    EXPECT_LT(fs::file_size(fx.folder.store()), sizeBefore / 4);
    EXPECT_FALSE(fx.state.MdbDatabase);
    EXPECT_EQ(snapshot(fx.folder.store()), before);

    std::string out;
    runCommand("sqlcipher " + shellQuote(fx.folder.store()) +
                   " \"PRAGMA key='pinwheel'; SELECT count(*) FROM T_CopyLog;\" 2>&1",
               &out);
    EXPECT_EQ(out, "100\n");

    // And again on the compacted store.
    EXPECT_TRUE(compact());
    EXPECT_EQ(snapshot(fx.folder.store()), before);
}

TEST_F(CompactTest, CopiesLeftByAnInterruptedRunAreReplaced) {
    std::string before = closeAndSnapshot();
    writeFile(fx.folder.compactCopy(), "half a compacted copy");
    writeFile(fx.folder.compactCopy().string() + "-journal", std::string(1024, 'j'));
    writeFile(fx.folder.safetyCopy(), "an old safety copy");

    EXPECT_TRUE(compact());
    EXPECT_TRUE(fx.ui.messages.empty());
    EXPECT_EQ(storeFiles(fx.dir.path()), kOnlyTheStore);
    EXPECT_EQ(snapshot(fx.folder.store()), before);
}

TEST_F(CompactTest, SafetyCopyThatCannotBeMadeStopsBeforeTheStoreIsTouched) {
    closeAndSnapshot();
    std::string bytes = readFile(fx.folder.store());
    fs::create_directory(fx.folder.safetyCopy());
    writeFile(fx.folder.safetyCopy() / "keep", "x");

    EXPECT_FALSE(compact());
    ASSERT_EQ(fx.ui.messages.size(), 1u);
    EXPECT_EQ(fx.ui.messages[0].text, "MDB最適化エラー[Backup]\r\nIs a directory");
    EXPECT_EQ(fx.ui.messages[0].icon, MsgIcon::Critical);
    EXPECT_TRUE(logHas("[mdlCommon]-[Fun_MDBCompact]-[ErrBackup] Is a directory"));
    EXPECT_EQ(readFile(fx.folder.store()), bytes);
    EXPECT_EQ(storeFiles(fx.dir.path()), (std::vector<std::string>{"BKKestrelbox.mdb", "Kestrelbox.mdb"}));
    EXPECT_TRUE(fs::exists(fx.folder.safetyCopy() / "keep"));

    fs::remove(fx.folder.store());
    fx.ui.messages.clear();
    EXPECT_FALSE(compact());
    EXPECT_EQ(fx.ui.texts(),
              std::vector<std::string>{"MDB最適化エラー[Backup]\r\nNo such file or directory"});
}

TEST_F(CompactTest, StoreThatCannotBeOpenedAgainFailsPlainlyAndIsNotReplaced) {
    closeAndSnapshot();
    auto holder = Store::open(fx.folder.store());

    EXPECT_FALSE(compact());
    EXPECT_EQ(
        fx.ui.textsWithIcon(MsgIcon::Critical),
        (std::vector<std::string>{"データベースオープンエラー\r\ndatabase is locked", "MDB最適化失敗。"}));
    EXPECT_TRUE(logHas("[mdlCommon]-[Fun_MDBOpen] database is locked"));
    EXPECT_TRUE(logHas("[mdlCommon]-[Fun_MDBCompact]-[ErrCompact] MDB最適化失敗。"));
    EXPECT_FALSE(fx.state.MdbDatabase);
    EXPECT_EQ(storeFiles(fx.dir.path()),
              (std::vector<std::string>{"Kestrelbox.mdb", "Kestrelbox.mdb-journal"}));

    // Whoever holds the store still writes to the file that stays.
    holder->insertCopyData("4", "/written/after");
    holder.reset();
    EXPECT_TRUE(Store::open(fx.folder.store())->copyDataExists("4", "/written/after"));

    // A damaged store is reported the same way and stays byte for byte.
    writeFile(fx.folder.store(), std::string(8192, '\x7f'));
    fx.ui.messages.clear();
    EXPECT_FALSE(compact());
    EXPECT_EQ(fx.ui.messages.size(), 2u);
    EXPECT_EQ(readFile(fx.folder.store()), std::string(8192, '\x7f'));
    EXPECT_EQ(storeFiles(fx.dir.path()), kOnlyTheStore);
}

TEST_F(CompactTest, FailedCompactionRestoresTheStoreWithAllItsContent) {
    std::string before = closeAndSnapshot();
    fs::create_directory(fx.folder.compactCopy());
    writeFile(fx.folder.compactCopy() / "keep", "x");

    EXPECT_FALSE(compact());
    EXPECT_EQ(fx.ui.texts(), std::vector<std::string>{"MDB最適化エラー[Compact]\r\nIs a directory"});
    EXPECT_TRUE(logHas("[mdlCommon]-[Fun_MDBCompact]-[ErrCompact] Is a directory"));
    EXPECT_FALSE(fx.state.MdbDatabase);
    EXPECT_FALSE(fs::exists(fx.folder.safetyCopy()));
    EXPECT_EQ(snapshot(fx.folder.store()), before);

    fs::remove_all(fx.folder.compactCopy());
    EXPECT_TRUE(compact());
    EXPECT_EQ(storeFiles(fx.dir.path()), kOnlyTheStore);
}

TEST_F(CompactTest, KillAtAnyStepLeavesAStoreThatOpensWithAllItsContent) {
    std::string before = closeAndSnapshot();
    struct Point {
        const char* step;
        bool failExport;
    };
    for (Point p : {Point{"safety-copied", false}, Point{"opened", false}, Point{"exported", false},
                    Point{"verified", false}, Point{"swapped", false}, Point{"done", false},
                    Point{"restore", true}, Point{"restored", true}}) {
        SCOPED_TRACE(p.step);
        if (p.failExport)
            fs::create_directory(fx.folder.compactCopy());
        pid_t pid = ::fork();
        if (pid == 0) {
            g_killAt = p.step;
            detail::compactStepHook = killAtStep;
            compact();
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the step was never reached";
        EXPECT_EQ(snapshot(fx.folder.store()), before);

        // The next close compacts normally and tidies up.
        fs::remove(fx.folder.compactCopy());
        fx.ui.messages.clear();
        EXPECT_TRUE(compact());
        EXPECT_EQ(storeFiles(fx.dir.path()), kOnlyTheStore);
    }
}

TEST_F(CompactTest, KillAtArbitraryMomentsLeavesAStoreThatOpensWithAllItsContent) {
    fill(fx.store(), 3000, 15000);
    std::string before = closeAndSnapshot();
    auto runChild = [&](double killAfterSeconds) {
        pid_t pid = ::fork();
        if (pid == 0) {
            compact();
            ::_exit(0);
        }
        if (killAfterSeconds >= 0) {
            ::usleep(static_cast<useconds_t>(killAfterSeconds * 1e6));
            ::kill(pid, SIGKILL);
        }
        ::waitpid(pid, nullptr, 0);
    };
    // The moments are spread over the length of one whole compaction on this machine at this moment.
    auto start = std::chrono::steady_clock::now();
    runChild(-1);
    double whole = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (double share : {0.0, 0.02, 0.05, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.85, 0.9, 0.95, 1.0}) {
        SCOPED_TRACE(share);
        runChild(whole * share);
        EXPECT_EQ(snapshot(fx.folder.store()), before);
    }
    EXPECT_TRUE(compact());
    EXPECT_EQ(storeFiles(fx.dir.path()), kOnlyTheStore);
    EXPECT_EQ(snapshot(fx.folder.store()), before);
}
