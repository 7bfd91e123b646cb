#include <gtest/gtest.h>

#include "app/options.h"
#include "support/test_support.h"

using namespace kb;

namespace {

TEST(OptionsTest, IntegerTextWithinRangeOnly) {
    struct Case {
        const char* text;
        std::int64_t expected;
    };
    const Case cases[] = {{"4", 4},    {"0", 0},     {"-1", -1},       {" 3 ", 3},
                          {"+2", 2},   {"0004", 4},  {"32767", 32767}, {"-32768", -32768},
                          {"", 9},     {"abc", 9},   {"1.5", 9},       {"1e3", 9},
                          {"0x10", 9}, {"3a", 9},    {"- 1", 9},       {"+-1", 9},
                          {"+", 9},    {"32768", 9}, {"-32769", 9},    {"99999999999999999999", 9},
                          {"４", 9}};
    for (const Case& c : cases)
        EXPECT_EQ(parseOption(c.text, -32768, 32767, 9), c.expected) << '"' << c.text << '"';
}

TEST(OptionsTest, ReadOptionsFallsBackPerKey) {
    test::TempDir dir("kbopt");
    IniFile ini(dir / "Kestrelbox.ini");
    SharedState state;
    readOptions(ini, state);
    EXPECT_EQ(state.SameFile, 0);
    EXPECT_EQ(state.BackupLog, 1);
    EXPECT_EQ(state.BackupLogMax, 1000);

    test::writeFile(ini.file(), "[Option]\r\nSameFile=4\r\nBackupLog=0\r\nBackupLogMax=2147483647\r\n");
    readOptions(ini, state);
    EXPECT_EQ(state.SameFile, 4);
    EXPECT_EQ(state.BackupLog, 0);
    EXPECT_EQ(state.BackupLogMax, 2147483647);

    // Each bad value is replaced by its own default; the good ones stay.
    test::writeFile(ini.file(), "[option]\r\nsamefile=\r\nBackupLog=70000\r\nBackupLogMax=2147483648\r\n");
    readOptions(ini, state);
    EXPECT_EQ(state.SameFile, 0);
    EXPECT_EQ(state.BackupLog, 1);
    EXPECT_EQ(state.BackupLogMax, 1000);

    test::writeFile(ini.file(), "[Option]\r\nSameFile=7\r\nBackupLog=x\r\nBackupLogMax=-5\r\n");
    readOptions(ini, state);
    EXPECT_EQ(state.SameFile, 7) << "a 16-bit value outside the policy codes is the options dialog's concern";
    EXPECT_EQ(state.BackupLog, 1);
    EXPECT_EQ(state.BackupLogMax, -5);
}

} // namespace
