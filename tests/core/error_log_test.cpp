#include "support/test_support.h"

using namespace kb;

namespace {

struct ErrorLogTest : ::testing::Test {
    test::TempDir dir{"kblog"};
    test::FixedClock clock;
    test::ScriptedUi ui;
    ErrorLog log{dir / "Err.log", clock, ui};

    std::string all() const { return test::readFile(log.file()); }
    std::string text(std::size_t record) const { return all().substr(323 * record + 21, 300); }
    static std::string padded(const std::string& s) { return s + std::string(300 - s.size(), ' '); }
};

TEST_F(ErrorLogTest, RecordsAndRing) {
    ASSERT_TRUE(log.Sub_ErrLogPut("[frmMain]-[Fun_TabChange] boom"));
    EXPECT_EQ(all(), "2006/01/01 12:30:05  " + padded("00001") + "\r\n2006/01/01 12:30:05  " +
                         padded("[frmMain]-[Fun_TabChange] boom") + "\r\n");
    for (int i = 2; i <= 1000; ++i)
        ASSERT_TRUE(log.Sub_ErrLogPut("entry " + std::to_string(i)));
    EXPECT_EQ(all().size(), 323323u);
    EXPECT_EQ(text(0), padded("01000"));
    clock.time = {2007, 12, 31, 23, 59, 58};
    ASSERT_TRUE(log.Sub_ErrLogPut("entry 1001"));
    EXPECT_EQ(all().size(), 323323u);
    EXPECT_EQ(all().substr(0, 26), "2007/12/31 23:59:58  00001");
    EXPECT_EQ(text(1), padded("entry 1001"));
    EXPECT_EQ(text(2), padded("entry 2"));
}

// The header's number picks the slot of the next entry; one out of range or no number, or a log of any bytes
// (noise, a record cut short, a bare date) starts at the first. Every byte outside the header and that record
// stays the user's.
TEST_F(ErrorLogTest, HeaderNumberPicksTheSlotAndEveryOtherByteStays) {
    auto header = [&](const std::string& number) {
        return "2006/01/01 00:00:00  " + padded(number) + "\r\n";
    };
    const std::pair<std::string, std::size_t> cases[] = {
        {header("00999"), 1000},
        {header("00003"), 4},
        {header("abcde"), 1},
        {header("-0005"), 1},
        {header("99999"), 1},
        {header("00002") + std::string(646, 'x') + "cut in", 3},
        {test::randomBytes(2000, 31), 1},
        {"2006/01/01", 1}};
    for (const auto& [damaged, slot] : cases) {
        test::writeFile(log.file(), damaged);
        ASSERT_TRUE(log.Sub_ErrLogPut("next"));
        const std::string after = all();
        EXPECT_EQ(after.size(), std::max(323 * (slot + 1), damaged.size())) << slot;
        EXPECT_EQ(text(slot), padded("next")) << slot;
        EXPECT_EQ(std::stoul(text(0).substr(0, 5)), slot);
        for (std::size_t i = 323; i < damaged.size(); ++i)
            EXPECT_TRUE((i >= 323 * slot && i < 323 * (slot + 1)) || after[i] == damaged[i]) << i;
    }
}

TEST_F(ErrorLogTest, CutsNeverSplitACharacter) {
    std::string kana = "a";
    for (int i = 0; i < 150; ++i)
        kana += "あ"; // the 150th character would take bytes 300 and 301
    ASSERT_TRUE(log.Sub_ErrLogPut(std::string(400, 'x')));
    ASSERT_TRUE(log.Sub_ErrLogPut(kana));
    ASSERT_TRUE(log.Sub_ErrLogPut("one\r\ntwo"));
    EXPECT_EQ(text(1), std::string(300, 'x'));
    EXPECT_EQ(text(2), cp932::fromUtf8(kana.substr(0, 1 + 149 * 3)) + " ");
    EXPECT_EQ(text(3), padded("one  two")) << "a record stays one text line";
    EXPECT_EQ(all().size(), 4 * 323u);
}

} // namespace
