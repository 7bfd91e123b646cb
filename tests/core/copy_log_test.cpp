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

const std::string kRun = "2006/01/01 12:30:00";

class CopyLogTest : public ::testing::Test {
protected:
    bool put(int seq, bool result = true, bool copied = true, const std::string& stamp = kRun) {
        return Fun_CopyLogPut(s, stamp, seq, result, copied, "Bob's notes.txt", "/b'/Bob's notes.txt");
    }
    std::vector<CopyLogRow> rows() {
        std::vector<CopyLogRow> out;
        fx.store().forEachCopyLog([&](const CopyLogRow& r) { out.push_back(r); });
        return out;
    }
    // Older history: `runs` runs of `perRun` rows, one second apart, in 2005.
    void seed(int runs, int perRun) {
        sqlite3_exec(fx.store().handle(), "BEGIN", nullptr, nullptr, nullptr);
        for (int r = 0; r < runs; ++r)
            for (int i = 1; i <= perRun; ++i)
                fx.store().insertCopyLog({stamp(r), "1", "設定1 【標準】", i, "○", "f", "/b/f"});
        sqlite3_exec(fx.store().handle(), "COMMIT", nullptr, nullptr, nullptr);
    }
    static std::string stamp(int r) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "2005/06/01 00:%02d:%02d", r / 60, r % 60);
        return buf;
    }
    CoreFixture fx;
    RecordingUi ui;
    Reporter reporter{ui, fx.errorLog};
    Services s{fx.folder, ui, reporter, fx.clock, fx.files, fx.ini, fx.state, fx.shell};
};

TEST_F(CopyLogTest, MarksCaptionAndQuotedTexts) {
    ui.tab = 3;
    ui.captions[3] = "Bob's 書類 【日付】";
    EXPECT_TRUE(put(1, true, true));
    EXPECT_TRUE(put(2, true, false));
    EXPECT_TRUE(put(3, false, true));
    auto r = rows();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].CopyAns, "○");
    EXPECT_EQ(r[1].CopyAns, "△");
    EXPECT_EQ(r[2].CopyAns, "×");
    EXPECT_EQ(r[2].SeqNo, 3);
    EXPECT_EQ(r[0].DateTime, kRun);
    EXPECT_EQ(r[0].TabNo, "3");
    EXPECT_EQ(r[0].TabName, "Bob's 書類 【日付】");
    EXPECT_EQ(r[0].FileName, "Bob's notes.txt");
    EXPECT_EQ(r[0].FolderPath, "/b'/Bob's notes.txt");
    EXPECT_EQ(ui.recorded.size(), 3u);

    fx.state.BackupLog = 0;
    fx.state.BackupLogMax = 1;
    EXPECT_TRUE(put(4));
    EXPECT_EQ(rows().size(), 3u);
    EXPECT_EQ(ui.recorded.size(), 3u);
}

TEST_F(CopyLogTest, TrimDeletesWholeOlderRunsOnly) {
    seed(1000, 1);
    for (int i = 1; i <= 5; ++i)
        put(i);
    // Each new row makes 1001 and the oldest run goes.
    EXPECT_EQ(fx.store().countCopyLog(), 1000);
    EXPECT_EQ(ui.recorded[4].second, stamp(5));
    EXPECT_EQ(rows().back().DateTime, stamp(5));

    fx.store().deleteAllCopyLog();
    seed(10, 100);
    for (int i = 1; i <= 5; ++i)
        put(i);
    // The cut-off lies inside the oldest run, which therefore stays whole.
    EXPECT_EQ(fx.store().countCopyLog(), 1005);

    // A run longer than the limit (150 over 100): older runs go, none of its own rows.
    fx.store().deleteAllCopyLog();
    seed(3, 10);
    fx.state.BackupLogMax = 100;
    for (int i = 1; i <= 150; ++i)
        put(i);
    EXPECT_EQ(fx.store().countCopyLog(), 150);
    EXPECT_EQ(rows().back().DateTime, kRun);
    fx.state.BackupLogMax = 0;
    put(1, true, true, "2006/01/02 00:00:00");
    EXPECT_EQ(fx.store().countCopyLog(), 151);
}

TEST_F(CopyLogTest, StoreFailureIsReported) {
    ASSERT_EQ(sqlite3_exec(fx.store().handle(), "DROP TABLE T_CopyLog", nullptr, nullptr, nullptr),
              SQLITE_OK);
    EXPECT_FALSE(put(1));
    EXPECT_EQ(ui.messages.at(0).text.rfind("履歴保存エラー\r\n", 0), 0u);
    EXPECT_NE(ui.messages[0].text.find("T_CopyLog"), std::string::npos);
    EXPECT_TRUE(ui.recorded.empty());
}

} // namespace
