#include "backup/compressed.h"
#include "support/test_support.h"

using namespace kb;
using namespace kb::test;

namespace {

class CompressedTest : public ::testing::Test {
protected:
    CompressedTest() {
        fs::create_directories(staging);
        fs::create_directories(dest);
        writeFile(archive, "old archive");
    }
    ArchiverCall recorder(int result = 0) {
        return [this, result](std::uintptr_t, const std::string& command, char*, std::size_t size) {
            commands.push_back(command + " " + std::to_string(size));
            return result;
        };
    }
    std::int64_t now() const { return fromLocalTime(fx.clock.now()); }

    CoreFixture fx;
    fs::path staging = fx.folder.staging(), dest = fx.dir / "dest", archive = dest / "060101.lzh";
    std::vector<std::string> commands;
};

TEST_F(CompressedTest, PolicyIsDecidedBeforeTheArchiverRuns) {
    enum Old { Plain, ReadOnly, Earlier, Future };
    const std::tuple<int, Old, bool> cases[] = {{0, Plain, false},  {1, ReadOnly, true}, {2, ReadOnly, false},
                                                {3, Earlier, true}, {3, Future, false},  {9, Plain, true}};
    for (const auto& [policy, old, replaced] : cases) {
        ::chmod(archive.c_str(), old == ReadOnly ? 0444 : 0644);
        setMtime(archive, now() + (old == Earlier ? -3600 : old == Future ? 3600 : 0));
        fx.state.SameFile = static_cast<std::int16_t>(policy);
        commands.clear();
        bool copied = !replaced;
        EXPECT_TRUE(Fun_FileCopyPrs(fx.services, archive.string(), copied, recorder()));
        EXPECT_EQ(copied, replaced) << policy;
        EXPECT_EQ(commands.size(), replaced ? 1u : 0u) << policy;
        EXPECT_EQ(readFile(archive), "old archive") << "only the archiver's rename replaces it";
    }
    EXPECT_EQ(commands.at(0), "a -x1 -r2 \"" + archive.string() + "\" \"" + staging.string() + "/\" 1024");

    ::setenv("TZ", "UTC", 1);
    ::tzset();
    setMtime(archive, 1136118600);
    fx.state.SameFile = 4;
    fx.ui.answers = {MsgAnswer::No};
    bool copied = true;
    EXPECT_TRUE(Fun_FileCopyPrs(fx.services, archive.string(), copied, recorder()));
    EXPECT_FALSE(copied);
    EXPECT_EQ(fx.ui.texts(), Strings{"バックアップ先のフォルダには既に '060101.lzh' ファイルが存在します。"
                                     "\r\n\r\n\r\n現在のファイル\r\n  サイズ: 11ﾊﾞｲﾄ   更新日時: "
                                     "2006年01月01日 12:30:00\r\n\r\nに新しいファイルを上書きしますか"});
}

TEST_F(CompressedTest, FailuresKeepTheOldArchiveAndGiveThePartsReports) {
    fx.state.SameFile = 1;
    bool copied = true;
    EXPECT_FALSE(Fun_FileCopyPrs(fx.services, archive.string(), copied, recorder(1)));
    EXPECT_FALSE(copied);
    const std::string failed = "下記のファイルをコピー(圧縮)できませんでした。\r\n\r\n" + archive.string();
    EXPECT_EQ(fx.ui.texts(), Strings{failed});

    fx.ui.messages.clear();
    ArchiverCall missing = [](std::uintptr_t, const std::string&, char*, std::size_t) -> int {
        throw std::runtime_error("no archiver");
    };
    EXPECT_FALSE(Fun_FileCopyPrs(fx.services, archive.string(), copied, missing));
    EXPECT_EQ(fx.ui.texts(), (Strings{"Lha圧縮エラー\r\nno archiver", failed}));

    // The program's own file is never an archive's place; the archiver is not called.
    fx.ui.messages.clear();
    commands.clear();
    const std::string store = (fx.dir / "src" / ".." / "Kestrelbox.mdb").string();
    EXPECT_FALSE(Fun_FileCopyPrs(fx.services, store, copied, recorder()));
    EXPECT_EQ(fx.ui.texts(), Strings{"下記のファイルをコピー(圧縮)できませんでした。コピー先が "
                                     "Kestrelbox 自身のファイルです\r\n\r\n" +
                                     store});
    EXPECT_TRUE(commands.empty());
    EXPECT_EQ(readFile(archive), "old archive");
    EXPECT_TRUE(fx.logged("[mdlCommon]-[Fun_LhaPress] no archiver"));
}

TEST_F(CompressedTest, DelDirFileRemovesFilesOnly) {
    writeFile(staging / "locked", "r");
    ::chmod((staging / "locked").c_str(), 0444);
    writeFile(staging / ".hidden", "h");
    fs::create_directories(staging / "sub");
    writeFile(staging / "sub" / "inner", "stays");
    const fs::path outside = fx.dir / "outside";
    writeFile(outside, "not ours");
    ::chmod(outside.c_str(), 0400);
    fs::create_symlink(outside, staging / "link");

    EXPECT_TRUE(Fun_DelDirFile(fx.services, staging.string()));
    EXPECT_EQ(listFolder(staging, true), (Strings{"sub", "sub/inner"}));
    EXPECT_EQ(fs::status(outside).permissions() & fs::perms::all, fs::perms::owner_read);
    EXPECT_TRUE(Fun_DelDirFile(fx.services, staging.string() + "/"));
    EXPECT_TRUE(fx.ui.messages.empty());

    EXPECT_FALSE(Fun_DelDirFile(fx.services, archive.string()));
    EXPECT_EQ(fx.ui.messages.at(0).text.rfind("全ファイル削除エラー\r\n", 0), 0u);
}

} // namespace
