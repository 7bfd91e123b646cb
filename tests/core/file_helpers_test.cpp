#include "backup/file_helpers.h"
#include "support/test_support.h"

using namespace kb;
using namespace kb::test;

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
        EXPECT_EQ(f->ui.texts(), error.empty() ? Strings{} : Strings{"ファイルサイズ取得エラー\r\n" + error})
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
