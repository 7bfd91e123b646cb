#include <gtest/gtest.h>

#include <sys/stat.h>

#include "backup/file_helpers.h"
#include "support/test_support.h"

using namespace kb;
using namespace kb::test;
namespace fs = std::filesystem;

TEST(FileHelpers, CutsPathsAndReportsMissingParts) {
    CoreFixture fx(false);
    const std::tuple<std::string, int, std::string, bool> cases[] = {
        {"/d/report.doc", 1, "report", false},
        {"/d/report.doc", 2, ".doc", false},
        {"/d/report.doc", 4, "/d", false},
        {"/d/.profile", 1, "", false},
        {"/d/.profile", 2, ".profile", false},
        {"/my.dir/README", 2, ".dir/README", false},
        {"README", 3, "README", false},
        {"/d/README", 1, "", true},
        {"/d/README", 2, "", true},
        {"/my.dir/README", 1, "", true},
        {"README", 4, "", true},
        {"/d/report.doc", 5, "", false}};
    for (const auto& [path, mode, part, fails] : cases) {
        fx.ui.messages.clear();
        EXPECT_EQ(Fun_GetFileNm(fx.reporter, path, mode), part) << path << " " << mode;
        EXPECT_EQ(fx.ui.texts().size(), fails ? 1u : 0u) << path << " " << mode;
        if (fails) {
            EXPECT_EQ(fx.ui.texts().at(0).rfind("ファイル名取得エラー\r\n", 0), 0u);
        }
    }
    EXPECT_TRUE(fx.logged("[mdlCommon]-[Fun_GetFileNm] "));
}

// A size the file layer cannot read after the file was opened (an I/O error of the disk).
class UnreadableSizes : public FileSystem {
public:
    std::optional<std::uint64_t> fileSize(const std::filesystem::path&, std::error_code& ec) override {
        ec = std::make_error_code(std::errc::io_error);
        return std::nullopt;
    }
};

TEST(FileHelpers, SizesAndSizeTexts) {
    UnreadableSizes failing;
    CoreFixture fx(false), broken(false, &failing);
    const auto big = fx.dir / "big.bin";
    makeSparse(big, 5368709120);
    fs::create_directory(fx.dir / "folder");
    ASSERT_EQ(::mkfifo((fx.dir / "fifo").c_str(), 0600), 0);
    // Missing or a folder: cannot be opened, silently. Opened without a size: reported with the path.
    const std::tuple<CoreFixture*, std::string, std::string, std::string> cases[] = {
        {&fx, big.string(), "5368709120", ""},
        {&fx, (fx.dir / "missing").string(), "", ""},
        {&fx, (fx.dir / "folder").string(), "", ""},
        {&fx, (fx.dir / "fifo").string(), "", "通常のファイルではありません"},
        {&broken, big.string(), "", std::make_error_code(std::errc::io_error).message()}};
    for (const auto& [f, path, size, error] : cases) {
        f->ui.messages.clear();
        EXPECT_EQ(Fun_GetFileSize(f->files, f->reporter, path), size) << path;
        EXPECT_EQ(f->ui.texts(), error.empty()
                                     ? std::vector<std::string>{}
                                     : std::vector<std::string>{"ファイルサイズ取得エラー\r\n" + error})
            << path;
        EXPECT_TRUE(error.empty() || f->logged("[mdlCommon]-[Fun_GetFileSize] " + error + " " + path))
            << path;
    }
    EXPECT_EQ(Fun_GetAttr(fx.files, (fx.dir / "missing").string()), 0);

    const std::pair<std::string, std::string> texts[] = {
        {"", "0ﾊﾞｲﾄ"},         {"1023", "1023ﾊﾞｲﾄ"},     {"1024", "1KB"},
        {"1152", "1.12KB"},    {"1160", "1.13KB"},       {"1536", "1.5KB"},
        {"1048575", "1024KB"}, {"1048576", "1MB"},       {"5000000", "4.77MB"},
        {"5368709120", "5GB"}, {"1099511627776", "1TB"}, {"2251799813685248", "2048TB"},
        {"1e400", "1e400"}};
    for (const auto& [in, out] : texts)
        EXPECT_EQ(Fun_SizeText(in), out) << in;
}
