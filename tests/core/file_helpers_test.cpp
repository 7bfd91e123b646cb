#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "backup/file_helpers.h"
#include "support/test_support.h"

using namespace kb;
using namespace kb::test;

namespace {

class FileHelpersTest : public ::testing::Test {
protected:
    CoreFixture fx{false};
    std::string logText() { return readFile(fx.folder.errorLog()); }
};

TEST_F(FileHelpersTest, CutsPathsByTheLastDotAndSeparator) {
    struct Case {
        std::string path;
        int mode;
        std::string expected;
    };
    const Case cases[] = {
        {"/data/report.doc", 1, "report"},
        {"/data/report.doc", 2, ".doc"},
        {"/data/report.doc", 3, "report.doc"},
        {"/data/report.doc", 4, "/data"},
        {"/data/a.b.c", 1, "a.b"},
        {"/data/a.b.c", 2, ".c"},
        {"/data/.profile", 1, ""},
        {"/data/.profile", 2, ".profile"},
        {"report.doc", 3, "report.doc"},
        {"/data/README", 3, "README"},
        {"/data/README", 4, "/data"},
        {"/my.dir/README", 2, ".dir/README"},
        {"/data/report.doc", 0, ""},
        {"/data/report.doc", 5, ""},
        {"", 1, ""},
        {"/top.txt", 4, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Fun_GetFileNm(fx.reporter, c.path, c.mode), c.expected) << c.path << " mode " << c.mode;
    EXPECT_TRUE(fx.ui.messages.empty());
}

TEST_F(FileHelpersTest, ReportsPartsThatDoNotExist) {
    struct Case {
        std::string path;
        int mode;
    };
    const Case cases[] = {{"/data/README", 1}, {"/data/README", 2}, {"/my.dir/README", 1}, {"README", 4}};
    for (const Case& c : cases) {
        fx.ui.messages.clear();
        EXPECT_EQ(Fun_GetFileNm(fx.reporter, c.path, c.mode), "") << c.path << " mode " << c.mode;
        ASSERT_EQ(fx.ui.messages.size(), 1u) << c.path;
        EXPECT_EQ(fx.ui.messages[0].icon, MsgIcon::Critical);
        EXPECT_EQ(fx.ui.messages[0].title, "Kestrelbox");
        EXPECT_EQ(fx.ui.messages[0].text.rfind("ファイル名取得エラー\r\n", 0), 0u) << fx.ui.messages[0].text;
    }
    EXPECT_NE(logText().find("[mdlCommon]-[Fun_GetFileNm] "), std::string::npos);
}

TEST_F(FileHelpersTest, ReadsAttributeFlags) {
    const auto file = fx.dir / "plain.txt";
    const auto readOnly = fx.dir / "locked.txt";
    const auto hidden = fx.dir / ".hidden";
    writeFile(file, "x");
    writeFile(readOnly, "x");
    writeFile(hidden, "x");
    ::chmod(readOnly.c_str(), 0444);

    EXPECT_EQ(Fun_GetAttr(fx.files, (fx.dir / "missing").string()), 0);
    EXPECT_EQ(Fun_GetAttr(fx.files, ""), 0);
    EXPECT_NE(Fun_GetAttr(fx.files, fx.dir.path().string()) & attr::Folder, 0);
    EXPECT_EQ(Fun_GetAttr(fx.files, file.string()) & (attr::Folder | attr::ReadOnly | attr::Hidden), 0);
    EXPECT_NE(Fun_GetAttr(fx.files, file.string()) & attr::Archive, 0);
    EXPECT_NE(Fun_GetAttr(fx.files, readOnly.string()) & attr::ReadOnly, 0);
    EXPECT_NE(Fun_GetAttr(fx.files, hidden.string()) & attr::Hidden, 0);
    EXPECT_TRUE(fx.ui.messages.empty());
}

TEST_F(FileHelpersTest, ReadsSizesBeyondFourGigabytes) {
    const auto empty = fx.dir / "empty";
    const auto big = fx.dir / "big.bin";
    writeFile(empty, "");
    int fd = ::open(big.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 5368709120LL), 0); // sparse: no disk space used
    ::close(fd);

    EXPECT_EQ(Fun_GetFileSize(fx.files, (fx.dir / "missing").string()), "");
    EXPECT_EQ(Fun_GetFileSize(fx.files, empty.string()), "0");
    EXPECT_EQ(Fun_GetFileSize(fx.files, big.string()), "5368709120");
    EXPECT_EQ(Fun_SizeText(Fun_GetFileSize(fx.files, big.string())), "5GB");
    EXPECT_TRUE(fx.ui.messages.empty());
}

TEST(SizeText, UnitsThresholdsAndHalfEvenRounding) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "0ﾊﾞｲﾄ"},         {"0", "0ﾊﾞｲﾄ"},           {"512", "512ﾊﾞｲﾄ"},
        {"1023", "1023ﾊﾞｲﾄ"},  {"1024", "1KB"},          {"1152", "1.12KB"},
        {"1160", "1.13KB"},    {"1536", "1.5KB"},        {"1048575", "1024KB"},
        {"1048576", "1MB"},    {"5000000", "4.77MB"},    {"1073741824", "1GB"},
        {"5368709120", "5GB"}, {"1099511627776", "1TB"}, {"2251799813685248", "2048TB"},
        {"abc", "0ﾊﾞｲﾄ"},      {"2048 bytes", "2KB"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(Fun_SizeText(in), out) << in;
}

TEST(LeadingNumber, TakesOnlyTheNumericPrefix) {
    EXPECT_EQ(leadingNumber(""), 0);
    EXPECT_EQ(leadingNumber("12a"), 12);
    EXPECT_EQ(leadingNumber("  42"), 42);
    EXPECT_EQ(leadingNumber("-3.5x"), -3.5);
    EXPECT_EQ(leadingNumber("1e3"), 1000);
    EXPECT_EQ(leadingNumber("1e"), 1);
    EXPECT_EQ(leadingNumber("inf"), 0);
    EXPECT_EQ(leadingNumber("nan"), 0);
    EXPECT_EQ(leadingNumber("0x10"), 0);
    EXPECT_EQ(leadingNumber("."), 0);
    EXPECT_EQ(leadingNumber("5368709120"), 5368709120.0);
}

TEST(SplitFileName, NamesWithoutExtensionKeepTheWholeName) {
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"test.txt", "test", ".txt"},
        {"README", "README", ""},
        {"a.b.c", "a.b", ".c"},
        {".profile", "", ".profile"},
        {"Bob's notes.txt", "Bob's notes", ".txt"},
        {"trail.", "trail", "."},
    };
    for (const auto& [in, name, ext] : cases) {
        NameParts p = splitFileName(in);
        EXPECT_EQ(p.name, name) << in;
        EXPECT_EQ(p.ext, ext) << in;
    }
}

} // namespace
