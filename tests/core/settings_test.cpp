#include <gtest/gtest.h>

#include "platform/cp932.h"
#include "support/test_support.h"

using namespace kb;
using kb::test::readFile;
using kb::test::TempDir;
using kb::test::writeFile;

namespace {

class SettingsTest : public ::testing::Test {
protected:
    TempDir dir{"kbini"};
    std::filesystem::path path = dir / "Kestrelbox.ini";
    IniFile ini{path};

    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir.path()))
            names.push_back(e.path().filename().string());
        return names;
    }
};

TEST_F(SettingsTest, MissingFileGivesDefaultsAndFirstWriteCreatesIt) {
    EXPECT_EQ(ini.Fun_ReadIni("Main", "Left", "3500"), "3500");
    EXPECT_FALSE(std::filesystem::exists(path));

    ini.Fun_WriteIni("Main", "Top", "3000");
    EXPECT_EQ(readFile(path), "[Main]\r\nTop=3000\r\n");
    EXPECT_EQ(ini.Fun_ReadIni("Main", "Top", "0"), "3000");
    EXPECT_EQ(ini.Fun_ReadIni("Main", "Left", "3500"), "3500");
    EXPECT_EQ(ini.Fun_ReadIni("Option", "Top", "x"), "x");
}

TEST_F(SettingsTest, ShutdownKeysKeepTheirOrderAndOptionSectionComesLast) {
    const char* keys[] = {"Top",           "Left",          "Height",        "Width",         "BarH",
                          "TabSel",        "ListViewC1",    "ListViewC2",    "ListViewLogC1", "ListViewLogC2",
                          "ListViewLogC3", "ListViewLogC4", "ListViewLogC5", "ListViewLog"};
    std::string expected = "[Main]\r\n";
    for (const char* k : keys) {
        ini.Fun_WriteIni("Main", k, "1");
        expected += std::string(k) + "=1\r\n";
    }
    EXPECT_EQ(readFile(path), expected);

    // A second shutdown writes every key again: same lines, new values, nothing added.
    for (const char* k : keys)
        ini.Fun_WriteIni("Main", k, "1234.5");
    std::string again = expected;
    for (std::size_t p = 0; (p = again.find("=1\r\n", p)) != std::string::npos; p += 8)
        again.replace(p, 4, "=1234.5\r\n");
    EXPECT_EQ(readFile(path), again);

    ini.Fun_WriteIni("Option", "SameFile", "2");
    EXPECT_EQ(readFile(path), again + "[Option]\r\nSameFile=2\r\n");
    EXPECT_EQ(entries().size(), 1u) << "no temporary file may stay behind";
}

TEST_F(SettingsTest, SectionsAndKeysMatchWithoutRegardToCase) {
    writeFile(path, "[MAIN]\r\nTabSel=3\r\n");
    EXPECT_EQ(ini.Fun_ReadIni("main", "tabsel", "1"), "3");
    ini.Fun_WriteIni("Main", "TABSEL", "4");
    EXPECT_EQ(readFile(path), "[MAIN]\r\nTabSel=4\r\n");
}

TEST_F(SettingsTest, EmptyValueIsNotTheDefault) {
    writeFile(path, "[Option]\r\nSameFile=\r\n");
    EXPECT_EQ(ini.Fun_ReadIni("Option", "SameFile", "0"), "");
}

TEST_F(SettingsTest, WritingChangesOnlyItsOwnLine) {
    const std::string original = "; written by hand\r\n"
                                 "[Main]\r\n"
                                 "Unknown = keep me\r\n"
                                 "  Left = 100\r\n"
                                 "\r\n"
                                 "; trailing comment\r\n"
                                 "[Other]\r\n"
                                 "Left=7";
    writeFile(path, original);
    EXPECT_EQ(ini.Fun_ReadIni("Main", "Left", ""), "100");

    ini.Fun_WriteIni("Main", "Left", "200");
    std::string changed = original;
    changed.replace(changed.find("  Left = 100"), 12, "  Left =200");
    EXPECT_EQ(readFile(path), changed);

    // A new key goes after the section's last key, before its blank line and comment.
    ini.Fun_WriteIni("main", "Top", "5");
    std::string withKey = changed;
    withKey.insert(withKey.find("\r\n\r\n; trailing") + 2, "Top=5\r\n");
    EXPECT_EQ(readFile(path), withKey);

    // A new section goes at the end; a last line without a line break gets one first.
    ini.Fun_WriteIni("Option", "BackupLog", "0");
    EXPECT_EQ(readFile(path), withKey + "\r\n[Option]\r\nBackupLog=0\r\n");
    EXPECT_EQ(ini.Fun_ReadIni("Other", "Left", ""), "7");
}

TEST_F(SettingsTest, HandEditedFilesAreReadAndKeptAsTheyAre) {
    struct Case {
        const char* name;
        std::string content;
        const char* section;
        const char* key;
        const char* expected;
    };
    const std::string longLine(1 << 20, 'z');
    const Case cases[] = {
        {"no section", "Left=1\r\n", "Main", "Left", "def"},
        {"line without equals", "[Main]\r\nLeft\r\nTop=2\r\n", "Main", "Left", "def"},
        {"LF only", "[Main]\nLeft=1\nTop=2\n", "Main", "Top", "2"},
        {"UTF-8 BOM", "\xEF\xBB\xBF[Main]\r\nLeft=1\r\n", "Main", "Left", "1"},
        {"duplicate key, first counts", "[Main]\r\nLeft=1\r\nLeft=2\r\n", "Main", "Left", "1"},
        {"duplicate section", "[Main]\r\nA=1\r\n[X]\r\n[main]\r\nB=2\r\n", "Main", "B", "2"},
        {"very long line", "[Main]\r\nJunk=" + longLine + "\r\nLeft=5\r\n", "Main", "Left", "5"},
        {"invalid CP932", "[Main]\r\nBad=\x81\xFF\xA0\x80\r\nLeft=6\r\n", "Main", "Left", "6"},
        {"lone lead byte at the end", "[Main]\r\nLeft=6\r\nX=\x82", "Main", "Left", "6"},
        {"unclosed section", "[Main\r\nLeft=8\r\n", "Main", "Left", "8"},
        {"comment key", "[Main]\r\n;Left=9\r\n", "Main", "Left", "def"},
        {"quoted value", "[Main]\r\nLeft=\"12\"\r\n", "Main", "Left", "12"},
        {"NUL in value", std::string("[Main]\r\nLeft=1") + '\0' + "2\r\n", "Main", "Left", "1"},
        {"empty file", "", "Main", "Left", "def"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(path, c.content);
        EXPECT_EQ(ini.Fun_ReadIni(c.section, c.key, "def"), c.expected);
        ini.Fun_WriteIni("Main", "Left", "77");
        EXPECT_EQ(ini.Fun_ReadIni("Main", "Left", "def"), "77");
        std::string after = readFile(path);
        // Whatever was not the written key is still there.
        if (c.content.find("Junk=") != std::string::npos) {
            EXPECT_NE(after.find(longLine), std::string::npos);
        }
        if (c.content.rfind("\xEF\xBB\xBF", 0) == 0) {
            EXPECT_EQ(after.rfind("\xEF\xBB\xBF[Main]\r\n", 0), 0u);
        }
        if (c.content.find("\x81\xFF") != std::string::npos) {
            EXPECT_NE(after.find("Bad=\x81\xFF\xA0\x80\r\n"), std::string::npos);
        }
    }
    // Duplicates: the first one is replaced, the second stays.
    writeFile(path, "[Main]\r\nLeft=1\r\nLeft=2\r\n");
    ini.Fun_WriteIni("Main", "Left", "3");
    EXPECT_EQ(readFile(path), "[Main]\r\nLeft=3\r\nLeft=2\r\n");
    writeFile(path, "[Main]\nLeft=1\n");
    ini.Fun_WriteIni("Main", "Top", "2");
    EXPECT_EQ(readFile(path), "[Main]\nLeft=1\nTop=2\r\n");
}

TEST_F(SettingsTest, TextIsCodePage932OnDiskAndUtf8InTheProgram) {
    ini.Fun_WriteIni("設定", "名前", "日本語ﾃｷｽﾄ");
    EXPECT_EQ(readFile(path), cp932::fromUtf8("[設定]\r\n名前=日本語ﾃｷｽﾄ\r\n"));
    EXPECT_EQ(ini.Fun_ReadIni("設定", "名前", ""), "日本語ﾃｷｽﾄ");

    // "‐" and "ソ" end in the bytes "]" and "\": neither may end the name.
    ini.Fun_WriteIni("‐ソ", "k", "v");
    EXPECT_EQ(ini.Fun_ReadIni("‐ソ", "k", ""), "v");
    EXPECT_EQ(ini.Fun_ReadIni("‐", "k", "none"), "none");

    // Two characters whose trail bytes differ only as ASCII case would are different names.
    std::string upper = cp932::toUtf8("\x83\x41"), lower = cp932::toUtf8("\x83\x61");
    ASSERT_NE(upper, lower);
    ini.Fun_WriteIni(upper, "k", "1");
    EXPECT_EQ(ini.Fun_ReadIni(lower, "k", "none"), "none");

    writeFile(path, "[Main]\r\nName=\x83\x65\x83\x58\x83\x67\r\n");
    EXPECT_EQ(ini.Fun_ReadIni("Main", "Name", ""), "テスト");
}

TEST_F(SettingsTest, LongValuesAreCutAt1023BytesWithoutHalfACharacter) {
    writeFile(path, "[Main]\r\nA=" + std::string(2000, 'x') + "\r\n");
    EXPECT_EQ(ini.Fun_ReadIni("Main", "A", ""), std::string(1023, 'x'));

    std::string kana;
    for (int i = 0; i < 600; ++i)
        kana += "あ";
    ini.Fun_WriteIni("Main", "B", kana);
    EXPECT_NE(readFile(path).find(cp932::fromUtf8(kana)), std::string::npos) << "stored in full";
    EXPECT_EQ(ini.Fun_ReadIni("Main", "B", ""), kana.substr(0, 511 * 3));
}

TEST_F(SettingsTest, LineBreaksInAValueCannotAddLines) {
    ini.Fun_WriteIni("Main", "Left", "1\r\n[Option]\r\nSameFile=4");
    EXPECT_EQ(readFile(path), "[Main]\r\nLeft=1\r\n");
    EXPECT_EQ(ini.Fun_ReadIni("Option", "SameFile", "0"), "0");
}

TEST_F(SettingsTest, FailuresToWriteAreSilentAndLoseNothing) {
    // Folder that cannot hold files: the path's parent is a file.
    writeFile(dir / "plain", "x");
    IniFile blocked(dir / "plain" / "Kestrelbox.ini");
    blocked.Fun_WriteIni("Main", "Left", "1");
    EXPECT_EQ(blocked.Fun_ReadIni("Main", "Left", "def"), "def");

    // A settings "file" that cannot be read is never replaced.
    std::filesystem::create_directory(path);
    writeFile(path / "inside", "keep");
    ini.Fun_WriteIni("Main", "Left", "1");
    EXPECT_EQ(ini.Fun_ReadIni("Main", "Left", "def"), "def");
    EXPECT_EQ(readFile(path / "inside"), "keep");
    EXPECT_EQ(entries().size(), 2u);
}

TEST_F(SettingsTest, RewriteKeepsPermissionBits) {
    writeFile(path, "[Main]\r\nLeft=1\r\n");
    std::filesystem::permissions(path, std::filesystem::perms(0640));
    ini.Fun_WriteIni("Main", "Left", "2");
    EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(0640));
}

} // namespace
