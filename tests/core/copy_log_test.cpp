#include <gtest/gtest.h>

#include <sqlite3.h>
#include <vector>

#include "backup/copy_log.h"
#include "support/test_support.h"

using namespace kb;
using namespace kb::test;

namespace {

class RecordingUi : public ScriptedUi {
public:
    void logRowRecorded(const CopyLogRow& row, const std::string& trimmedBefore) override {
        recorded.emplace_back(row, trimmedBefore);
    }
    std::vector<std::pair<CopyLogRow, std::string>> recorded;
};

class CopyLogTest : public ::testing::Test {
protected:
    CopyLogTest() { ui.tab = 1; }

    bool put(const std::string& stamp, int seq, bool result, bool copied,
             const std::string& name = "test.txt", const std::string& target = "/backup/test.txt") {
        return Fun_CopyLogPut(s, stamp, seq, result, copied, name, target);
    }
    std::vector<CopyLogRow> rows() {
        std::vector<CopyLogRow> out;
        fx.store().forEachCopyLog([&](const CopyLogRow& r) { out.push_back(r); });
        return out;
    }
    // Older history: `runs` runs of `perRun` rows, one minute apart, all in 2005.
    void seed(int runs, int perRun) {
        for (int r = 0; r < runs; ++r)
            for (int i = 1; i <= perRun; ++i)
                fx.store().insertCopyLog({stampOfRun(r), "1", "設定1 【標準】", i, "○", "f.txt", "/b/f.txt"});
    }
    static std::string stampOfRun(int r) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "2005/06/01 %02d:%02d:00", r / 60, r % 60);
        return buf;
    }

    CoreFixture fx;
    RecordingUi ui;
    Reporter reporter{ui, fx.errorLog};
    Services s{fx.folder, ui, reporter, fx.clock, fx.files, fx.ini, fx.state, fx.shell};
};

TEST_F(CopyLogTest, WritesOneRowPerCallWithMarkCaptionAndExactTexts) {
    ui.tab = 3;
    ui.captions[3] = "Bob's 書類 【日付】";
    const std::string stamp = "2006/01/01 12:30:00";
    EXPECT_TRUE(put(stamp, 1, true, true, "Bob's notes.txt", "/back'up/Bob's notes_060101.txt"));
    EXPECT_TRUE(put(stamp, 2, true, false));
    EXPECT_TRUE(put(stamp, 3, false, true));
    EXPECT_TRUE(put(stamp, 4, false, false));

    auto r = rows();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].DateTime, stamp);
    EXPECT_EQ(r[0].TabNo, "3");
    EXPECT_EQ(r[0].TabName, "Bob's 書類 【日付】");
    EXPECT_EQ(r[0].SeqNo, 1);
    EXPECT_EQ(r[0].FileName, "Bob's notes.txt");
    EXPECT_EQ(r[0].FolderPath, "/back'up/Bob's notes_060101.txt");
    const char* marks[] = {"○", "△", "×", "×"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(r[i].SeqNo, static_cast<long long>(i + 1));
        EXPECT_EQ(r[i].CopyAns, marks[i]) << i;
    }
    ASSERT_EQ(ui.recorded.size(), 4u);
    EXPECT_EQ(ui.recorded[1].first.CopyAns, "△");
    EXPECT_EQ(ui.recorded[0].first.TabName, "Bob's 書類 【日付】");
    EXPECT_TRUE(ui.messages.empty());
}

TEST_F(CopyLogTest, RecordingOffTouchesNothing) {
    seed(3, 500);
    for (int off : {0, 2}) {
        fx.state.BackupLog = static_cast<std::int16_t>(off);
        EXPECT_TRUE(put("2006/01/01 12:30:00", 1, true, true));
    }
    EXPECT_EQ(fx.store().countCopyLog(), 1500);
    EXPECT_TRUE(ui.recorded.empty());
}

TEST_F(CopyLogTest, TrimDeletesWholeOlderRunsOnly) {
    seed(1000, 1);
    const std::string stamp = "2006/01/01 12:30:00";
    for (int i = 1; i <= 5; ++i)
        EXPECT_TRUE(put(stamp, i, true, true));
    // Each new row makes 1001; the cut-off is then the oldest run kept, and the one before it goes.
    EXPECT_EQ(fx.store().countCopyLog(), 1000);
    ASSERT_EQ(ui.recorded.size(), 5u);
    for (int i = 1; i <= 5; ++i)
        EXPECT_EQ(ui.recorded[static_cast<size_t>(i - 1)].second, stampOfRun(i)) << i;
    auto r = rows();
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(r[i].DateTime, stamp);
    EXPECT_EQ(r.back().DateTime, stampOfRun(5));
}

TEST_F(CopyLogTest, TrimKeepsTheRunThatHoldsTheCutOff) {
    seed(10, 100);
    for (int i = 1; i <= 5; ++i)
        EXPECT_TRUE(put("2006/01/01 12:30:00", i, true, true));
    // The thousandth newest row lies inside the oldest run, so nothing can go without splitting a run.
    EXPECT_EQ(fx.store().countCopyLog(), 1005);
    EXPECT_EQ(rows().back().DateTime, stampOfRun(0));
}

TEST_F(CopyLogTest, ARunLongerThanTheLimitKeepsAllItsRows) {
    seed(3, 100);
    const std::string stamp = "2006/01/01 12:30:00";
    for (int i = 1; i <= 1500; ++i)
        put(stamp, i, true, true);
    auto r = rows();
    EXPECT_EQ(r.size(), 1500u);
    for (const auto& row : r)
        ASSERT_EQ(row.DateTime, stamp);
    EXPECT_EQ(ui.recorded.back().second, stamp);
}

TEST_F(CopyLogTest, RunsSharingAStampAreTrimmedTogetherAndZeroMeansNoLimit) {
    fx.state.BackupLogMax = 3;
    put("2006/01/01 12:30:00", 1, true, true);
    ui.tab = 2;
    put("2006/01/01 12:30:00", 1, true, true);
    put("2006/01/01 12:30:00", 2, true, true);
    ui.tab = 1;
    put("2006/01/01 12:31:00", 1, true, true);
    // Four rows over a limit of three: the cut-off lies in the shared second, so all four stay.
    EXPECT_EQ(fx.store().countCopyLog(), 4);
    put("2006/01/01 12:32:00", 1, true, true);
    put("2006/01/01 12:33:00", 1, true, true);
    EXPECT_EQ(fx.store().countCopyLog(), 3);

    fx.state.BackupLogMax = 0;
    for (int i = 0; i < 20; ++i)
        put("2006/01/01 12:34:00", i + 1, true, true);
    EXPECT_EQ(fx.store().countCopyLog(), 23);
}

TEST_F(CopyLogTest, StoreFailureIsReportedAndReturnsFalse) {
    ASSERT_EQ(sqlite3_exec(fx.store().handle(), "DROP TABLE T_CopyLog", nullptr, nullptr, nullptr),
              SQLITE_OK);
    EXPECT_FALSE(put("2006/01/01 12:30:00", 1, true, true));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].icon, MsgIcon::Critical);
    EXPECT_EQ(ui.messages[0].text.rfind("履歴保存エラー\r\n", 0), 0u);
    EXPECT_NE(ui.messages[0].text.find("T_CopyLog"), std::string::npos) << ui.messages[0].text;
    EXPECT_TRUE(ui.recorded.empty());
    EXPECT_NE(readFile(fx.folder.errorLog()).find("[frmMain]-[Fun_CopyLogPut] "), std::string::npos);
}

} // namespace
