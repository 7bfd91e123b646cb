// A destination that takes no more bytes (a full disk, a file size limit) while a copy or an archive is
// written: the file's report, a "×" row, the earlier backup as it was, and the run goes on.
#include "fault_support.h"

using namespace kb;
using namespace kb::faults;

namespace {

enum class Limit { FileSize, FullDisk };

struct Case {
    const char* name;
    Limit limit;
    bool archive;
};

class DestinationFull : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        fs::create_directories(src);
        writeFile(p.dir / "Kestrelbox.ini", "[Option]\r\nSameFile=1\r\n");
        writeFile(src / "next.txt", "the next set");
        p.registerSet(1, dst);
        p.registerSet(2, next, {src / "next.txt"});
    }

    // A full disk is a small file system mounted on the destination; a limit is the child's RLIMIT_FSIZE.
    bool prepareLimit(std::uint64_t bytes) {
        if (GetParam().limit == Limit::FileSize) {
            limits.fileSize = bytes;
            return true;
        }
        std::string why;
        if (!mountTmpfs(dst, bytes, &why)) {
            skipped = why;
            return false;
        }
        mounted = true;
        return true;
    }

    void TearDown() override {
        if (mounted)
            unmount(dst);
    }

    std::string noRoom() const {
        return std::error_code(GetParam().limit == Limit::FileSize ? EFBIG : ENOSPC, std::system_category())
            .message();
    }

    // The result mark and the path of each history row of `set`.
    std::vector<std::string> rowsOf(const std::string& set) {
        std::vector<std::string> out;
        for (const CopyLogRow& r : p.history())
            if (r.TabNo == Text(set))
                out.push_back(r.CopyAns.value_or("") + " " + r.FolderPath.value_or(""));
        return out;
    }

    Program p;
    TempDir data{"kbfull"};
    fs::path src = data / "src", dst = data / "dst", next = data / "next";
    LaunchOptions limits;
    bool mounted = false;
    std::string skipped;
};

TEST_P(DestinationFull, ReportsTheFileKeepsTheEarlierBackupAndGoesOn) {
    const fs::path big = src / "big.bin", small = src / "small.txt";
    if (!GetParam().archive) {
        // The earlier copies fit; the new version of big.bin does not.
        if (!prepareLimit(3u << 20))
            GTEST_SKIP() << skipped;
        const std::string earlier = randomBytes(1u << 20, 1);
        writeFile(dst / "big.bin", earlier);
        writeFile(dst / "small.txt", "old");
        writeFile(big, randomBytes(GetParam().limit == Limit::FullDisk ? 5u << 20 : (3u << 20) + 1, 2));
        writeFile(small, "new");
        p.registerSet(1, dst, {big, small});

        ASSERT_EQ(p.run({"/AUTO", "1", "2"}, limits), kExitFilesFailed) << p.err();
        EXPECT_EQ(p.err(), "[エラー] Kestrelbox\n下記のファイルをコピーできませんでした (" + noRoom() +
                               ")\n\n" + big.string() + "\n");
        EXPECT_EQ(readFile(dst / "big.bin"), earlier);
        EXPECT_EQ(readFile(dst / "small.txt"), "new");
        EXPECT_EQ(rowsOf("1"),
                  (Strings{"× " + (dst / "big.bin").string(), "○ " + (dst / "small.txt").string()}));
        EXPECT_NE(cp932::toUtf8(readFile(p.dir / "Err.log"))
                      .find("[mdlMain]-[Fun_FileCopy] コピーエラー。" + noRoom() + " From=" + big.string()),
                  std::string::npos);
    } else {
        // Each staged copy fits; the archive of both does not, beside the earlier archive.
        writeFile(big, randomBytes(600u << 10, 3));
        writeFile(small, randomBytes(600u << 10, 4));
        p.registerSet(1, dst, {big, small}, "5");
        if (GetParam().limit == Limit::FullDisk && !prepareLimit(2u << 20))
            GTEST_SKIP() << skipped;
        ASSERT_EQ(p.run({"/AUTO", "1"}), kExitNormal) << p.err();
        ASSERT_EQ(p.history().size(), 2u);
        const fs::path archive = *p.history()[0].FolderPath;
        const std::string earlier = readFile(archive);
        ASSERT_GT(earlier.size(), 1u << 20);

        // Rows of two runs in the same second would interleave; only the second run's are looked at.
        p.store()->deleteAllCopyLog();
        writeFile(small, randomBytes(600u << 10, 5));
        if (GetParam().limit == Limit::FileSize)
            prepareLimit(1u << 20);
        ASSERT_EQ(p.run({"/AUTO", "1", "2"}, limits), kExitFilesFailed) << p.err();
        EXPECT_EQ(p.err(), "[エラー] Kestrelbox\n下記のファイルをコピー(圧縮)できませんでした。\n\n" +
                               archive.string() + "\n");
        EXPECT_EQ(readFile(archive), earlier);
        EXPECT_EQ(rowsOf("1"), std::vector<std::string>(2, "× " + archive.string()));
        EXPECT_TRUE(fs::is_empty(p.dir / "TMP"));
    }
    EXPECT_EQ(temporaries(dst), std::vector<fs::path>{});
    // The automatic run went on to the next set.
    EXPECT_EQ(readFile(next / "next.txt"), "the next set");
    EXPECT_EQ(rowsOf("2"), Strings{"○ " + (next / "next.txt").string()});
}

INSTANTIATE_TEST_SUITE_P(Faults, DestinationFull,
                         ::testing::Values(Case{"CopyOverFileSizeLimit", Limit::FileSize, false},
                                           Case{"CopyOntoFullDisk", Limit::FullDisk, false},
                                           Case{"ArchiveOverFileSizeLimit", Limit::FileSize, true},
                                           Case{"ArchiveOntoFullDisk", Limit::FullDisk, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The disk of the program folder fills up while a run copies elsewhere: what cannot be written is reported
// (the compaction at the close at least, which cannot make its safety copy), the copy is made, the store
// keeps all it held, and once there is room again the program starts as ever.
TEST(ProgramFolderFull, EachWriteThatFailsIsReportedAndTheStoreKeepsItsContent) {
    Program p;
    std::string why;
    if (!mountTmpfs(p.dir.path(), 48u << 20, &why))
        GTEST_SKIP() << why;
    struct Unmount {
        fs::path dir;
        ~Unmount() { unmount(dir); }
    } unmountLater{p.dir.path()};
    for (const char* name : {"Kestrelbox", "Kestrelbox.mdb", "Readme.txt"})
        fs::copy_file(fs::path(KB_PROGRAM_DIR) / name, p.dir / name);
    fs::permissions(p.dir / "Kestrelbox", fs::perms::owner_all, fs::perm_options::add);

    TempDir data("kbfullp");
    writeTagged(data / "big.bin", 160u << 20, "big", true);
    p.registerSet(1, data / "dst", {data / "big.bin"});
    p.store()->insertCopyLog({"2005/12/31 23:59:00", "1", "設定1 【標準】", 1, "○", "big.bin", "earlier"});

    const pid_t pid = p.launch({"/AUTO", "1"});
    ASSERT_TRUE(waitFor([&] { return !temporaries(data / "dst").empty() || exited(pid); }, 60));
    // Every byte left on the program folder's disk goes to a filler.
    {
        std::ofstream filler(p.dir / "filler", std::ios::binary);
        const std::string block(1 << 16, 'f');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size())))
            ;
    }
    EXPECT_EQ(p.wait(pid), kExitNormal) << p.err();
    const std::string err = p.err();
    const std::string full = std::error_code(ENOSPC, std::system_category()).message();
    EXPECT_NE(err.find("[エラー] Kestrelbox\nMDB最適化エラー[Backup]\n" + full + "\n"), std::string::npos)
        << err;
    EXPECT_TRUE(holdsTagged(data / "dst" / "big.bin", 160u << 20, "big"));
    // The run's row is there unless its failure was reported.
    const std::size_t expectedRows = err.find("履歴保存エラー") == std::string::npos ? 2 : 1;

    fs::remove(p.dir / "filler");
    {
        std::vector<CopyLogRow> rows = p.history();
        ASSERT_EQ(rows.size(), expectedRows);
        EXPECT_EQ(rows.back().FolderPath, Text("earlier"));
    }
    EXPECT_EQ(p.run({"/AUTO"}), kExitNormal) << p.err();
    EXPECT_EQ(p.err(), "");
    EXPECT_EQ(p.history().back().FolderPath, Text("earlier"));
    std::vector<std::string> left = p.files();
    std::erase(left, "Err.log");
    EXPECT_EQ(left, (Strings{"Kestrelbox", "Kestrelbox.ini", "Kestrelbox.mdb", "Readme.txt"}));
}

} // namespace
