#include "backup/copy_log.h"
#include "support/test_support.h"

using namespace kb;
using namespace kb::test;

namespace {

const std::string kRun = "2006/01/01 12:30:00";

class CopyLogTest : public ::testing::Test {
protected:
    bool put(int seq, bool result = true, bool copied = true, const std::string& stamp = kRun) {
        return Fun_CopyLogPut(fx.services, stamp, seq, result, copied, "Bob's notes.txt",
                              "/b'/Bob's notes.txt");
    }
    // Older history: `runs` runs of `perRun` rows, one second apart, in 2005.
    void seed(int runs, int perRun) {
        sqlite3_exec(fx.store().handle(), "BEGIN", nullptr, nullptr, nullptr);
        for (int r = 0; r < runs; ++r)
            for (int i = 1; i <= perRun; ++i)
                fx.store().insertCopyLog({stamp(r), "1", "設定1 【標準】", i, "○", "f", "/b/f"});
        sqlite3_exec(fx.store().handle(), "COMMIT", nullptr, nullptr, nullptr);
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

// The rows' marks, captions and texts are the runs' tests'; with recording off nothing is added or trimmed.
TEST_F(CopyLogTest, RecordingOffAddsNoRowAndTrimsNothing) {
    seed(1, 2);
    fx.state.BackupLog = 0;
    fx.state.BackupLogMax = 1;
    EXPECT_TRUE(put(1));
    EXPECT_EQ(rows(), 2);
    EXPECT_TRUE(fx.ui.recorded.empty());
}

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

TEST_F(CopyLogTest, StoreFailureIsReportedAndLeavesNoStatementOpen) {
    ASSERT_EQ(sqlite3_exec(fx.store().handle(), "DROP TABLE T_CopyLog", nullptr, nullptr, nullptr),
              SQLITE_OK);
    EXPECT_FALSE(put(1));
    EXPECT_EQ(fx.ui.texts(), Strings{"履歴保存エラー\r\nno such table: T_CopyLog"});
    EXPECT_TRUE(fx.ui.recorded.empty());
    EXPECT_EQ(busyStatements(fx.store().handle()), 0);
}

} // namespace
