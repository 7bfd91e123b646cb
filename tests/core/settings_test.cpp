// The settings file and what is read from it: the profile semantics, the numbers in it, the layout and the
// options; and the error log, a ring of fixed-size records.
#include <charconv>

#include "app/layout.h"
#include "app/number_text.h"
#include "app/options.h"
#include "support/test_support.h"

using namespace kb;
using namespace kb::test;

namespace {

struct SettingsTest : ::testing::Test {
    TempDir dir{"kbini"};
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

    const std::string kana = repeated("あ", 600);
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

// The single of the layout keys as it is written back, the 16-bit integer of an Option key, the typed history
// count and the leading number of sizes and TabSel, side by side; "-" where a conversion refuses the text.
std::string conversions(const std::string& text) {
    auto str = [](auto v) {
        char buf[64];
        return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
    };
    auto opt = [&](auto v) { return v ? str(*v) : std::string("-"); };
    const std::optional<double> whole = wholeNumber(text);
    const std::optional<float> single = singleNumber(text);
    return (single ? singleText(*single) : "-") + " " + opt(integerNumber(text, INT16_MIN, INT16_MAX)) + " " +
           opt(whole ? roundedInt32(*whole) : std::nullopt) + " " + str(leadingNumber(text));
}

TEST(NumberText, EveryConversionOfOneText) {
    const std::pair<std::string, std::string> table[] = {
        {"-0", "0 0 0 0"},        {".5", "0.5 - 0 0.5"},   {"+3500", "3500 3500 3500 3500"},
        {"1e-50", "0 - 0 1e-50"}, {"1e39", "- - - 1e+39"}, {" \t-12 \r\n", "-12 -12 -12 -12"},
        {"1e400", "- - - inf"},   {"", "- - - 0"},         {"1234.5", "1234.5 - 1234 1234.5"},
        {"   ", "- - - 0"},       {"inf", "- - - 0"},      {"-3.5", "-3.5 - -4 -3.5"},
        {"nan", "- - - 0"},       {"0x10", "- - - 0"},     {"+3.5E+3", "3500 - 3500 3500"},
        {"12a", "- - - 12"},      {"3,500", "- - - 3"},    {"16777217", "16777216 - 16777217 16777217"},
        {"1e", "- - - 1"},        {"+-1", "- - - 0"},      {"-32768", "-32768 -32768 -32768 -32768"},
        {"- 1", "- - - 0"},       {".", "- - - 0"},        {"32768", "32768 - 32768 32768"},
        {"a12", "- - - 0"},       {"４", "- - - 0"},       {"99999999999999999999", "1e+20 - - 1e+20"}};
    for (const auto& [text, expected] : table)
        EXPECT_EQ(conversions(text), expected) << '"' << text << '"';
    EXPECT_EQ(conversions("0.333333333"), "0.33333334 - 0 0.333333333") << "a single's digits";
    // The 32-bit bounds of the count, halves to even.
    EXPECT_EQ(roundedInt32(-2147483648.5), INT32_MIN);
    EXPECT_EQ(roundedInt32(2147483647.5), std::nullopt);
}

constexpr double kW = 6855, kH = 5445; // the client area at creation

MainLayout laidOut(const std::string& barTop, double h = kH) {
    MainLayout l = MainLayout::initial();
    std::string error;
    EXPECT_TRUE(formResize(l, kW, h, barTop, error)) << error;
    return l;
}

TEST(LayoutTest, DocumentedFigures) {
    MainLayout l = laidOut("3500");
    EXPECT_EQ(l.tabMain, (Rect{0, 615, kW, 2885}));
    EXPECT_EQ(l.listView, (Rect{20, 1335, kW - 40, 2135}));
    EXPECT_EQ(l.listViewLog.top, 3560);
    EXPECT_EQ(l.picBarH, (Rect{-15000, 3500, 30000, 60}));

    // At creation size the file list ends 30 above the splitter and cmdTo 60 inside the list's right edge.
    MainLayout c = laidOut("");
    EXPECT_EQ(c.picBarH.top - c.listView.bottom(), 30);
    EXPECT_EQ(c.listView.right() - c.cmdTo.right(), 60);
    EXPECT_EQ(laidOut(""), c) << "the empty text twice changes nothing";

    // A taller window gives the height to the file list; the history keeps its own.
    MainLayout tall = laidOut("", kH + 600);
    EXPECT_EQ(tall.listViewLog.height, c.listViewLog.height);
    EXPECT_EQ(tall.listView.height, c.listView.height + 600);
}

TEST(LayoutTest, FailingStepLeavesLaterControls) {
    const MainLayout start = laidOut("3500");
    std::string error;
    MainLayout notNumber = start;
    EXPECT_FALSE(formResize(notNumber, kW, kH, "abc", error));
    EXPECT_EQ(notNumber, start);
    MainLayout high = start; // dropped high on the file list
    EXPECT_FALSE(formResize(high, kW, kH, "1000", error));
    EXPECT_NE(error.find("ListView"), std::string::npos) << error;
    EXPECT_EQ(high.tabMain.height, 385);
    EXPECT_EQ(high.listView, start.listView);
    EXPECT_EQ(high.picBarH.top, 1000);
}

// Each key against its own range, the key's default otherwise; names in any case.
TEST_F(SettingsTest, OptionsEachKeyInItsRangeOrItsDefault) {
    writeFile(path, "[option]\r\nsamefile=7\r\nBackupLog=70000\r\nBackupLogMax=2147483647\r\n");
    SharedState state;
    readOptions(ini, state);
    EXPECT_EQ(std::tuple(state.SameFile, state.BackupLog, state.BackupLogMax), std::tuple(7, 1, 2147483647));
}

struct ErrorLogTest : ::testing::Test {
    TempDir dir{"kblog"};
    FixedClock clock;
    ScriptedUi ui;
    ErrorLog log{dir / "Err.log", clock, ui};

    std::string all() const { return readFile(log.file()); }
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
        {header("00999"), 1000},    {header("00003"), 4},
        {header("abcde"), 1},       {header("-0005"), 1},
        {header("99999"), 1},       {header("00002") + std::string(646, 'x') + "cut in", 3},
        {randomBytes(2000, 31), 1}, {"2006/01/01", 1}};
    for (const auto& [damaged, slot] : cases) {
        writeFile(log.file(), damaged);
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
    const std::string kana = "a" + repeated("あ", 150); // the 150th character would take bytes 300 and 301
    ASSERT_TRUE(log.Sub_ErrLogPut(std::string(400, 'x')));
    ASSERT_TRUE(log.Sub_ErrLogPut(kana));
    ASSERT_TRUE(log.Sub_ErrLogPut("one\r\ntwo"));
    EXPECT_EQ(text(1), std::string(300, 'x'));
    EXPECT_EQ(text(2), cp932::fromUtf8(kana.substr(0, 1 + 149 * 3)) + " ");
    EXPECT_EQ(text(3), padded("one  two")) << "a record stays one text line";
    EXPECT_EQ(all().size(), 4 * 323u);
}

} // namespace
