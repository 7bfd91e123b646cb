// The ground moving under a run: the destination vanishing, turning read-only or taking no more bytes, a
// registered file turning into a folder, paths at the system's limits, names code page 932 cannot hold.
#include "backup/backup_run.h"
#include "backup/history_csv.h"
#include "fault_support.h"

using namespace kb;
using namespace kb::faults;

namespace {

class MovingGround : public ::testing::Test {
protected:
    MovingGround() : fx(true, &files) {
        fs::create_directories(dest);
        fx.store().updateFolderPath("1", dest.string());
    }
    FaultyFiles files;
    CoreFixture fx;
    fs::path dest = fx.dir / "dest";
};

TEST_F(MovingGround, DestinationRemovedMidRunFailsTheRestAndRecreatesNothing) {
    const fs::path a = fx.addFile("a.txt"), b = fx.addFile("b.txt"), c = fx.addFile("c.txt");
    files.before = 2;
    files.action = [&] { fs::remove_all(dest); };
    EXPECT_TRUE(fx.backUp());
    EXPECT_EQ(fx.ui.texts(), (Strings{copyError(b, ENOENT), copyError(c, ENOENT)}));
    EXPECT_EQ(fx.marks(), (Strings{"○", "×", "×"}));
    // Nothing was written outside the destination; the engine's own files beside the store come and go.
    std::vector<std::string> tree = listFolder(fx.dir.path(), true);
    std::erase_if(tree, [](const std::string& name) { return name.starts_with("Kestrelbox.mdb-"); });
    EXPECT_EQ(tree, (Strings{"Err.log", "Kestrelbox.mdb", "src", "src/a.txt", "src/b.txt", "src/c.txt"}));
}

// The destination swapped for a link to the program folder between two files: the next file named like the
// settings is judged where it now lands, and refused.
TEST_F(MovingGround, DestinationSwappedForTheProgramFolderMidRunIsJudgedAfresh) {
    fx.addFile("a.txt");
    const fs::path b = fx.addFile("b.txt");
    const fs::path own = fx.addFile("Kestrelbox.ini", "the user's");
    writeFile(fx.folder.settings(), "[Option]\r\n");
    files.before = 2;
    files.action = [&] {
        fs::rename(dest, fx.dir / "moved");
        fs::create_directory_symlink(fx.dir.path(), dest);
    };
    EXPECT_TRUE(fx.backUp());
    // b's temporary went with the folder it was made in.
    EXPECT_EQ(fx.ui.texts(),
              (Strings{copyError(b, ENOENT), copyError(own, "コピー先が Kestrelbox 自身のファイルです")}));
    EXPECT_EQ(fx.marks(), (Strings{"○", "×", "×"}));
    EXPECT_EQ(readFile(fx.folder.settings()), "[Option]\r\n");
}

TEST_F(MovingGround, DestinationMadeReadOnlyMidRunFailsTheRestAndTheNextRunCleansUp) {
    const fs::path a = fx.addFile("a.txt"), b = fx.addFile("b.txt"), c = fx.addFile("c.txt");
    std::string why;
    bool readOnly = false;
    files.before = 2;
    files.action = [&] { readOnly = makeReadOnly(dest, &why); };
    EXPECT_TRUE(fx.backUp());
    if (!readOnly)
        GTEST_SKIP() << why;
    unmount(dest);
    EXPECT_EQ(fx.ui.texts(), (Strings{copyError(b, EROFS), copyError(c, EROFS)}));
    EXPECT_EQ(fx.marks(), (Strings{"○", "×", "×"}));
    // The unfinished copy of b could not be removed from a read-only folder; the next run removes it.
    EXPECT_EQ(temporaries(dest).size(), 1u);
    files.before = 0;
    fx.state.SameFile = 1;
    EXPECT_TRUE(fx.backUp());
    EXPECT_EQ(temporaries(dest), std::vector<fs::path>{});
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        EXPECT_EQ(readFile(dest / name), "data");
}

TEST_F(MovingGround, FoldersWhereFilesWere) {
    const fs::path a = fx.addFile("a.txt"), b = fx.addFile("b.txt", "new"), c = fx.addFile("c.txt");
    // b's earlier copy is a folder now; c turns into a folder after the run has checked it.
    fs::create_directories(dest / "b.txt" / "inside");
    files.before = 1;
    files.action = [&] {
        fs::remove(c);
        fs::create_directory(c);
    };
    fx.state.SameFile = 1;
    EXPECT_TRUE(fx.backUp());
    EXPECT_EQ(fx.ui.texts(), (Strings{copyError(b, EISDIR), copyError(c, "ファイルが見つかりませんでした")}));
    EXPECT_EQ(fx.marks(), (Strings{"○", "×", "×"}));
    EXPECT_TRUE(fs::is_directory(dest / "b.txt" / "inside"));
    EXPECT_TRUE(fs::is_directory(c));
    EXPECT_EQ(temporaries(dest), std::vector<fs::path>{});

    // A registered path that is a folder when the run starts stops it before anything is written.
    fx.ui.messages.clear();
    EXPECT_FALSE(fx.backUp());
    EXPECT_EQ(fx.ui.texts(), Strings{"下記のファイルが見つかりませんでした\r\n\r\n" + c.string()});
    EXPECT_EQ(fx.history().size(), 3u);
}

// Paths near PATH_MAX and names at NAME_MAX: what fits is copied and recorded whole, what does not is the
// file's own failure.
TEST_F(MovingGround, PathsAtTheSystemsLimits) {
    auto deep = [](fs::path p, std::size_t length) {
        while (p.string().size() + 201 < length)
            p /= std::string(200, 'd');
        return p / std::string(length - p.string().size() - 1, 'e');
    };
    const fs::path source = deep(fx.dir / "src", 4000);
    ASSERT_EQ(source.string().size(), 4000u);
    fs::create_directories(source.parent_path());
    writeFile(source, "deep");
    fx.store().insertCopyData("1", source.string());
    const fs::path longName = fx.addFile(std::string(251, 'n') + ".txt", "long name");

    // A destination of about 4,000 bytes takes the short name but no name of 255 bytes.
    const fs::path deepDest = deep(fx.dir / "far", 3880);
    fs::create_directories(deepDest);
    fx.store().updateFolderPath("1", deepDest.string());
    EXPECT_TRUE(fx.backUp());
    EXPECT_EQ(fx.ui.texts(), Strings{copyError(longName, ENAMETOOLONG)});
    EXPECT_EQ(readFile(deepDest / source.filename()), "deep");

    // In a short destination both fit (a date suffix that makes the name too long is the drives test's).
    fx.ui.messages.clear();
    fx.store().updateFolderPath("1", dest.string());
    EXPECT_TRUE(fx.backUp());
    EXPECT_TRUE(fx.ui.messages.empty()) << fx.ui.texts()[0];
    EXPECT_EQ(readFile(dest / longName.filename()), "long name");

    std::vector<CopyLogRow> all = fx.history();
    ASSERT_EQ(all.size(), 4u);
    const Text deepCopy((deepDest / source.filename()).string());
    auto deepRow = [&](const CopyLogRow& r) { return r.FolderPath == deepCopy && r.CopyAns == Text("○"); };
    EXPECT_EQ(std::ranges::count_if(all, deepRow), 1);
    // Its log line is cut to the record, not lost.
    EXPECT_TRUE(fx.logged("[mdlMain]-[Fun_FileCopy] コピーエラー。"));
}

// Names code page 932 has no characters for: the copy keeps the real name, the archive and the export write
// "?" in their place. Two names that become one there are one name to the archive: the later file is in it,
// the earlier is recorded as not backed up.
TEST_F(MovingGround, NamesCodePage932CannotHold) {
    // In path order; the last two are both "? smile.txt" in code page 932.
    const std::vector<std::string> names = {"café.txt", "ソ表①.txt", "한국어.txt", "🎉 smile.txt",
                                            "😀 smile.txt"};
    const std::vector<std::string> asCp932 = {"caf?.txt", "ソ表①.txt", "???.txt", "? smile.txt",
                                              "? smile.txt"};
    for (std::size_t i = 0; i < names.size(); ++i)
        fx.addFile(names[i], "content " + std::to_string(i));
    EXPECT_TRUE(fx.backUp());
    EXPECT_TRUE(fx.ui.messages.empty());
    std::vector<CopyLogRow> copies = fx.history();
    ASSERT_EQ(copies.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(readFile(dest / names[i]), "content " + std::to_string(i)) << names[i];
        EXPECT_EQ(copies[i].FileName, Text(names[i])) << "the row holds the real name";
        const std::string line = cp932::toUtf8(csvRow(copies[i]));
        EXPECT_NE(line.find(",\"" + asCp932[i] + "\",\"" + (dest / asCp932[i]).string() + "\"\r\n"),
                  std::string::npos)
            << line;
    }

    fx.store().deleteAllCopyLog();
    fx.store().updateTab("1", "設定1", "5");
    EXPECT_TRUE(fx.backUp());
    EXPECT_TRUE(fx.ui.messages.empty()) << fx.ui.texts()[0];
    EXPECT_EQ(fx.marks(), (Strings{"○", "○", "○", "△", "○"}));
    expectExtractorsAgree(dest / "060101.lzh",
                          {{"? smile.txt", "content 4"},
                           {"???.txt", "content 2"},
                           {"caf?.txt", "content 0"},
                           {"ソ表①.txt", "content 1"}},
                          fx.dir / "out");
}

// A destination that takes no more bytes (a full disk, a file size limit) while a copy or an archive is
// written: the file's report, a "×" row, the earlier backup as it was, and the run goes on.
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
        EXPECT_TRUE(p.logged("[mdlMain]-[Fun_FileCopy] コピーエラー。" + noRoom() + " From=" + big.string()));
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
    ASSERT_EQ(p.history().size(), expectedRows);
    EXPECT_EQ(p.run({"/AUTO"}), kExitNormal) << p.err();
    EXPECT_EQ(p.err(), "");
    EXPECT_EQ(p.history().back().FolderPath, Text("earlier"));
    std::vector<std::string> left = p.files();
    std::erase(left, "Err.log");
    EXPECT_EQ(left, (Strings{"Kestrelbox", "Kestrelbox.ini", "Kestrelbox.mdb", "Readme.txt"}));
}

} // namespace
