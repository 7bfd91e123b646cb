#include <gtest/gtest.h>

#include "platform/cp932.h"
#include "support/test_support.h"

using namespace kb;
using kb::test::readFile;
using kb::test::writeFile;

namespace {

struct SettingsTest : ::testing::Test {
    test::TempDir dir{"kbini"};
    FileSystem files;
    std::filesystem::path path = dir / "Kestrelbox.ini";
    IniFile ini{path, files};
};

TEST_F(SettingsTest, ProfileSemantics) {
    EXPECT_EQ(ini.Fun_ReadIni("Main", "Left", "3500"), "3500");
    for (const char* k : {"Top", "Left", "Height"})
        ini.Fun_WriteIni("Main", k, "1");
    ini.Fun_WriteIni("main", "LEFT", "1234.5");
    ini.Fun_WriteIni("Option", "SameFile", "");
    EXPECT_EQ(readFile(path), "[Main]\r\nTop=1\r\nLeft=1234.5\r\nHeight=1\r\n[Option]\r\nSameFile=\r\n");
    EXPECT_EQ(ini.Fun_ReadIni("MAIN", "left", ""), "1234.5");
    EXPECT_EQ(ini.Fun_ReadIni("Option", "SameFile", "0"), "") << "an empty value is not the default";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << "no temporary left";
}

TEST_F(SettingsTest, EverythingElseStaysByteForByte) {
    const std::string original = "\xEF\xBB\xBF; by hand\r\n[Main]\nUnknown = keep\r\n  Left = 100\r\n"
                                 "Left=2\r\n\r\n; end\r\n[Other]\r\nBad=\x81\xFF\xA0\r\nLeft=7";
    writeFile(path, original);
    EXPECT_EQ(ini.Fun_ReadIni("Main", "Left", ""), "100") << "the first of duplicate keys counts";
    ini.Fun_WriteIni("Main", "Left", "200");
    ini.Fun_WriteIni("Main", "Top", "5");
    ini.Fun_WriteIni("Option", "BackupLog", "0");
    EXPECT_EQ(readFile(path), "\xEF\xBB\xBF; by hand\r\n[Main]\nUnknown = keep\r\n  Left =200\r\nLeft=2\r\n"
                              "Top=5\r\n\r\n; end\r\n[Other]\r\nBad=\x81\xFF\xA0\r\nLeft=7\r\n"
                              "[Option]\r\nBackupLog=0\r\n");
}

TEST_F(SettingsTest, HandEditedLinesNeverConfuseTheReader) {
    const std::pair<std::string, const char*> cases[] = {
        {"Left=1\r\n", "def"},
        {"[Main]\r\nLeft\r\n", "def"},
        {"[Main]\r\n;Left=9\r\n", "def"},
        {"[Main]\nLeft=3\n", "3"},
        {"[Main\r\nLeft=8\r\n", "8"},
        {"[X]\r\n[main]\r\nLeft=\"12\"\r\n", "12"},
        {"[Main]\r\nJunk=" + std::string(1 << 20, 'z') + "\r\nLeft=5", "5"},
        {std::string("[Main]\r\nLeft=1") + '\0' + "2\r\n", "1"},
        {"[Main]\r\nLeft=" + std::string(2000, 'x'), nullptr},
    };
    for (const auto& [content, expected] : cases) {
        writeFile(path, content);
        EXPECT_EQ(ini.Fun_ReadIni("Main", "Left", "def"), expected ? expected : std::string(1023, 'x'));
    }
    std::filesystem::remove(path);
    ini.Fun_WriteIni("Main", "Left", "1\r\n[Option]\r\nSameFile=4");
    EXPECT_EQ(readFile(path), "[Main]\r\nLeft=1\r\n") << "a line break cannot add lines";
}

TEST_F(SettingsTest, CodePage932OnDisk) {
    ini.Fun_WriteIni("設定", "名前", "日本語ﾃｷｽﾄ");
    EXPECT_EQ(readFile(path), cp932::fromUtf8("[設定]\r\n名前=日本語ﾃｷｽﾄ\r\n"));
    EXPECT_EQ(ini.Fun_ReadIni("設定", "名前", ""), "日本語ﾃｷｽﾄ");
    // "‐" and "ソ" end in the bytes "]" and "\"; trail bytes in the letter range are not case-folded.
    ini.Fun_WriteIni("‐ソ", "k", "v");
    EXPECT_EQ(ini.Fun_ReadIni("‐ソ", "k", ""), "v");
    ini.Fun_WriteIni(cp932::toUtf8("\x83\x41"), "k", "1");
    EXPECT_EQ(ini.Fun_ReadIni(cp932::toUtf8("\x83\x61"), "k", "none"), "none");

    std::string kana;
    for (int i = 0; i < 600; ++i)
        kana += "あ";
    ini.Fun_WriteIni("Main", "B", kana);
    EXPECT_EQ(ini.Fun_ReadIni("Main", "B", ""), kana.substr(0, 511 * 3)) << "cut at 1022, not in a character";
}

TEST_F(SettingsTest, FailuresToWriteLoseNothing) {
    writeFile(dir / "plain", "x");
    IniFile blocked(dir / "plain" / "Kestrelbox.ini", files);
    blocked.Fun_WriteIni("Main", "Left", "1");
    EXPECT_EQ(blocked.Fun_ReadIni("Main", "Left", "def"), "def");

    writeFile(path, "[Main]\r\nLeft=1\r\n");
    std::filesystem::permissions(path, std::filesystem::perms(0640));
    ini.Fun_WriteIni("Main", "Left", "2");
    EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(0640));
}

} // namespace
