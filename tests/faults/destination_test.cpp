// The ground moving under a run: the destination vanishing or turning read-only, a registered file turning
// into a folder, paths at the system's limits, names code page 932 cannot hold.
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
    EXPECT_EQ(std::ranges::count_if(all,
                                    [&](const CopyLogRow& r) {
                                        return r.FolderPath ==
                                                   Text((deepDest / source.filename()).string()) &&
                                               r.CopyAns == Text("○");
                                    }),
              1);
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

} // namespace
