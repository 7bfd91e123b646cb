#include <gtest/gtest.h>

#include "platform/cp932.h"
#include "support/test_support.h"

using namespace kb;
using kb::test::FixedClock;
using kb::test::readFile;
using kb::test::ScriptedUi;
using kb::test::TempDir;
using kb::test::writeFile;

namespace {

constexpr std::size_t kRec = ErrorLog::kRecordLength;

class ErrorLogTest : public ::testing::Test {
protected:
    TempDir dir{"kblog"};
    FixedClock clock;
    ScriptedUi ui;
    ErrorLog log{dir / "Err.log", clock, ui};

    std::string contents() const { return readFile(log.file()); }
    std::string recordAt(std::size_t k) const { return contents().substr(kRec * k, kRec); }
    std::string textOf(std::size_t k) const { return recordAt(k).substr(21, 300); }
    static std::string padded(const std::string& s) { return s + std::string(300 - s.size(), ' '); }
};

TEST_F(ErrorLogTest, FirstEntryCreatesHeaderAndSlotOne) {
    ASSERT_TRUE(log.Sub_ErrLogPut("[frmMain]-[Fun_TabChange] boom"));
    std::string all = contents();
    ASSERT_EQ(all.size(), 646u);
    EXPECT_EQ(recordAt(0), "2006/01/01 12:30:05  " + padded("00001") + "\r\n");
    EXPECT_EQ(recordAt(1), "2006/01/01 12:30:05  " + padded("[frmMain]-[Fun_TabChange] boom") + "\r\n");
    EXPECT_TRUE(ui.messages.empty());

    clock.time = {2007, 12, 31, 23, 59, 58};
    ASSERT_TRUE(log.Sub_ErrLogPut("second"));
    EXPECT_EQ(contents().size(), 3 * kRec);
    EXPECT_EQ(recordAt(0).substr(0, 26), "2007/12/31 23:59:58  00002");
    EXPECT_EQ(recordAt(1).substr(0, 19), "2006/01/01 12:30:05") << "older slots stay";
    EXPECT_EQ(textOf(2), padded("second"));
}

TEST_F(ErrorLogTest, RingWrapsAfterThousandEntries) {
    for (int i = 1; i <= 1000; ++i)
        ASSERT_TRUE(log.Sub_ErrLogPut("entry " + std::to_string(i)));
    EXPECT_EQ(contents().size(), 323323u);
    EXPECT_EQ(textOf(0).substr(0, 5), "01000");
    EXPECT_EQ(textOf(1000), padded("entry 1000"));

    ASSERT_TRUE(log.Sub_ErrLogPut("entry 1001"));
    EXPECT_EQ(contents().size(), 323323u);
    EXPECT_EQ(textOf(0).substr(0, 5), "00001");
    EXPECT_EQ(textOf(1), padded("entry 1001"));
    EXPECT_EQ(textOf(2), padded("entry 2"));
}

TEST_F(ErrorLogTest, HeaderNumberDecidesTheNextSlot) {
    struct Case {
        const char* header;
        std::size_t slot;
    };
    const Case cases[] = {{"00999", 1000}, {"01000", 1}, {"00003", 4}, {"abcde", 1},
                          {"-0005", 1},    {"99999", 1}, {"  7  ", 8}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header);
        writeFile(log.file(), "2006/01/01 00:00:00  " + padded(c.header) + "\r\n");
        ASSERT_TRUE(log.Sub_ErrLogPut("next"));
        char expected[8];
        std::snprintf(expected, sizeof expected, "%05zu", c.slot);
        EXPECT_EQ(textOf(0).substr(0, 5), expected);
        EXPECT_EQ(contents().size(), kRec * (c.slot + 1));
        EXPECT_EQ(textOf(c.slot), padded("next"));
    }
    // A header cut short counts as 0.
    writeFile(log.file(), "2006/01/01");
    ASSERT_TRUE(log.Sub_ErrLogPut("short"));
    EXPECT_EQ(textOf(1), padded("short"));
}

TEST_F(ErrorLogTest, TextIsCutAt300BytesNeverInsideACharacter) {
    ASSERT_TRUE(log.Sub_ErrLogPut(std::string(400, 'x')));
    EXPECT_EQ(textOf(1), std::string(300, 'x'));

    // 1 + 150 double-byte characters: the last one would start at byte 299 and end past 300.
    std::string text = "a";
    for (int i = 0; i < 150; ++i)
        text += "あ";
    ASSERT_TRUE(log.Sub_ErrLogPut(text));
    std::string expected = cp932::fromUtf8(text.substr(0, 1 + 149 * 3)) + " ";
    EXPECT_EQ(textOf(2), expected);
    EXPECT_EQ(recordAt(2).substr(321), "\r\n");

    ASSERT_TRUE(log.Sub_ErrLogPut("line one\r\nline two"));
    EXPECT_EQ(textOf(3), padded("line one  line two")) << "every record stays one text line";
    EXPECT_EQ(contents().size(), 4 * kRec);
}

TEST_F(ErrorLogTest, UnwritableLogShowsItsOwnBoxOnly) {
    std::filesystem::create_directory(log.file());
    EXPECT_FALSE(log.Sub_ErrLogPut("lost"));
    ASSERT_EQ(ui.messages.size(), 1u);
    const auto& m = ui.messages[0];
    EXPECT_EQ(m.text.rfind("Log出力エラー\r\n", 0), 0u);
    EXPECT_GT(m.text.size(), std::string("Log出力エラー\r\n").size()) << "the error's description follows";
    EXPECT_EQ(m.icon, MsgIcon::Critical);
    EXPECT_EQ(m.buttons, MsgButtons::Ok);
    EXPECT_EQ(m.title, "Kestrelbox");
}

TEST_F(ErrorLogTest, ReporterShowsCaptionAndLogsContext) {
    Reporter reporter(ui, log);
    reporter.report("タブ切替エラー", "[frmMain]-[Fun_TabChange] ", "disk I/O error");
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "タブ切替エラー\r\ndisk I/O error");
    EXPECT_EQ(ui.messages[0].icon, MsgIcon::Critical);
    EXPECT_EQ(textOf(1), padded("[frmMain]-[Fun_TabChange] disk I/O error"));
}

} // namespace
