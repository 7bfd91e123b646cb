// The ground moving under a run: the destination vanishing or turning read-only, a registered file turning
// into a folder, paths at the system's limits, names code page 932 cannot hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sys/wait.h>
#include <unistd.h>

#include "backup/backup_run.h"
#include "backup/history_csv.h"
#include "fault_support.h"
#include "platform/cp932.h"

using namespace kb;
using namespace kb::faults;
using namespace kb::test;
namespace fs = std::filesystem;

namespace {

// The real file layer with something done to the world just before the n-th content copy (1-based).
class ShiftingFiles : public FileSystem {
public:
    int before = 0;
    std::function<void()> action;
    int copies = 0;

protected:
    std::error_code copyContent(int fromFd, int toFd, std::uint64_t size) override {
        if (++copies == before && action)
            action();
        return FileSystem::copyContent(fromFd, toFd, size);
    }
};

std::string errorText(int err) {
    return std::error_code(err, std::system_category()).message();
}

class MovingGround : public ::testing::Test {
protected:
    MovingGround() : fx(true, &files) {
        fs::create_directories(dest);
        fx.store().updateFolderPath("1", dest.string());
    }
    fs::path add(const std::string& name, const std::string& content = "data") {
        const fs::path p = fx.dir / "src" / name;
        fs::create_directories(p.parent_path());
        writeFile(p, content);
        fx.store().insertCopyData("1", p.string());
        return p;
    }
    std::vector<std::string> marks() {
        std::vector<std::string> out;
        for (const CopyLogRow& r : fx.history())
            out.push_back(r.CopyAns.value_or(""));
        return out;
    }
    // Everything under the fixture's folder, to see that nothing was written outside the destination.
    std::vector<std::string> tree() {
        std::vector<std::string> out = listFolder(fx.dir.path(), true);
        // The engine's own files beside the store come and go.
        std::erase_if(out, [](const std::string& name) { return name.starts_with("Kestrelbox.mdb-"); });
        return out;
    }
    std::string copyError(const fs::path& source, const std::string& reason) {
        return "下記のファイルをコピーできませんでした (" + reason + ")\r\n\r\n" + source.string();
    }

    ShiftingFiles files;
    CoreFixture fx;
    fs::path dest = fx.dir / "dest";
};

TEST_F(MovingGround, DestinationRemovedMidRunFailsTheRestAndRecreatesNothing) {
    const fs::path a = add("a.txt"), b = add("b.txt"), c = add("c.txt");
    files.before = 2;
    files.action = [&] { fs::remove_all(dest); };
    EXPECT_TRUE(Fun_BackUp(fx.services, false));
    const std::vector<std::string> texts = fx.ui.texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[0], copyError(b, errorText(ENOENT)));
    EXPECT_EQ(texts[1], copyError(c, errorText(ENOENT)));
    EXPECT_EQ(marks(), (std::vector<std::string>{"○", "×", "×"}));
    EXPECT_EQ(tree(), (std::vector<std::string>{"Err.log", "Kestrelbox.mdb", "src", "src/a.txt", "src/b.txt",
                                                "src/c.txt"}));
}

TEST_F(MovingGround, DestinationMadeReadOnlyMidRunFailsTheRestAndTheNextRunCleansUp) {
    const fs::path a = add("a.txt"), b = add("b.txt"), c = add("c.txt");
    std::string why;
    bool readOnly = false;
    files.before = 2;
    files.action = [&] { readOnly = makeReadOnly(dest, &why); };
    EXPECT_TRUE(Fun_BackUp(fx.services, false));
    if (!readOnly)
        GTEST_SKIP() << why;
    unmount(dest);
    EXPECT_EQ(fx.ui.texts(),
              (std::vector<std::string>{copyError(b, errorText(EROFS)), copyError(c, errorText(EROFS))}));
    EXPECT_EQ(marks(), (std::vector<std::string>{"○", "×", "×"}));
    // The unfinished copy of b could not be removed from a read-only folder; the next run removes it.
    EXPECT_EQ(temporaries(dest).size(), 1u);
    files.before = 0;
    fx.state.SameFile = 1;
    EXPECT_TRUE(Fun_BackUp(fx.services, false));
    EXPECT_EQ(temporaries(dest), std::vector<fs::path>{});
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        EXPECT_EQ(readFile(dest / name), "data");
}

TEST_F(MovingGround, FoldersWhereFilesWere) {
    const fs::path a = add("a.txt"), b = add("b.txt", "new"), c = add("c.txt");
    // b's earlier copy is a folder now; c turns into a folder after the run has checked it.
    fs::create_directories(dest / "b.txt" / "inside");
    files.before = 1;
    files.action = [&] {
        fs::remove(c);
        fs::create_directory(c);
    };
    fx.state.SameFile = 1;
    EXPECT_TRUE(Fun_BackUp(fx.services, false));
    EXPECT_EQ(fx.ui.texts(), (std::vector<std::string>{copyError(b, errorText(EISDIR)),
                                                       copyError(c, "ファイルが見つかりませんでした")}));
    EXPECT_EQ(marks(), (std::vector<std::string>{"○", "×", "×"}));
    EXPECT_TRUE(fs::is_directory(dest / "b.txt" / "inside"));
    EXPECT_TRUE(fs::is_directory(c));
    EXPECT_EQ(temporaries(dest), std::vector<fs::path>{});

    // A registered path that is a folder when the run starts stops it before anything is written.
    fx.ui.messages.clear();
    EXPECT_FALSE(Fun_BackUp(fx.services, false));
    EXPECT_EQ(fx.ui.texts(),
              std::vector<std::string>{"下記のファイルが見つかりませんでした\r\n\r\n" + c.string()});
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
    const fs::path longName = add(std::string(251, 'n') + ".txt", "long name");

    // A destination of about 4,000 bytes takes the short name but no name of 255 bytes.
    const fs::path deepDest = deep(fx.dir / "far", 3880);
    fs::create_directories(deepDest);
    fx.store().updateFolderPath("1", deepDest.string());
    EXPECT_TRUE(Fun_BackUp(fx.services, false));
    EXPECT_EQ(fx.ui.texts(), std::vector<std::string>{copyError(longName, errorText(ENAMETOOLONG))});
    EXPECT_EQ(readFile(deepDest / source.filename()), "deep");

    // In a short destination both fit (a date suffix that makes the name too long is the drives test's).
    fx.ui.messages.clear();
    fx.store().updateFolderPath("1", dest.string());
    EXPECT_TRUE(Fun_BackUp(fx.services, false));
    EXPECT_TRUE(fx.ui.messages.empty()) << fx.ui.texts()[0];
    EXPECT_EQ(readFile(dest / longName.filename()), "long name");

    std::vector<CopyLogRow> all = fx.history();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(std::count_if(all.begin(), all.end(),
                            [&](const CopyLogRow& r) {
                                return r.FolderPath == Text((deepDest / source.filename()).string()) &&
                                       r.CopyAns == Text("○");
                            }),
              1);
    // Its log line is cut to the record, not lost.
    EXPECT_NE(cp932::toUtf8(readFile(fx.folder.errorLog())).find("[mdlMain]-[Fun_FileCopy] コピーエラー。"),
              std::string::npos);
}

TEST_F(MovingGround, StaleTemporariesGoOnlyWhenTheirWriterIsGone) {
    add("a.txt");
    pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    const std::string stale = ".a.txt.kbtmp-" + std::to_string(gone) + "-0";
    const std::string live = ".b.txt.kbtmp-1-0"; // init runs as long as the system does
    const std::string users = ".notes.kbtmp-x-1";
    for (const std::string& name : {stale, live, users})
        writeFile(dest / name, "part");
    fs::create_directory(dest / (".c.txt.kbtmp-" + std::to_string(gone) + "-1"));
    EXPECT_TRUE(Fun_BackUp(fx.services, false));
    EXPECT_FALSE(fs::exists(dest / stale));
    EXPECT_TRUE(fs::exists(dest / live));
    EXPECT_TRUE(fs::exists(dest / users));
    EXPECT_TRUE(fs::is_directory(dest / (".c.txt.kbtmp-" + std::to_string(gone) + "-1")));
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
        add(names[i], "content " + std::to_string(i));
    EXPECT_TRUE(Fun_BackUp(fx.services, false));
    EXPECT_TRUE(fx.ui.messages.empty());
    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(readFile(dest / names[i]), "content " + std::to_string(i)) << names[i];

    std::vector<CopyLogRow> copies = fx.history();
    ASSERT_EQ(copies.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(copies[i].FileName, Text(names[i])) << "the row holds the real name";
        const std::string line = cp932::toUtf8(csvRow(copies[i]));
        EXPECT_NE(line.find(",\"" + asCp932[i] + "\",\"" + (dest / asCp932[i]).string() + "\"\r\n"),
                  std::string::npos)
            << line;
    }

    fx.store().deleteAllCopyLog();
    fx.store().updateTab("1", "設定1", "5");
    EXPECT_TRUE(Fun_BackUp(fx.services, false));
    EXPECT_TRUE(fx.ui.messages.empty()) << fx.ui.texts()[0];
    EXPECT_EQ(marks(), (std::vector<std::string>{"○", "○", "○", "△", "○"}));
    const fs::path archive = dest / "060101.lzh";
    std::string listing;
    ASSERT_EQ(
        runCommand("LC_ALL=C.UTF-8 bsdtar --options hdrcharset=CP932 -tf " + shellQuote(archive.string()),
                   &listing),
        0);
    std::vector<std::string> members;
    for (std::size_t pos = 0, end; (end = listing.find('\n', pos)) != std::string::npos; pos = end + 1)
        members.push_back(listing.substr(pos, end - pos));
    std::sort(members.begin(), members.end());
    EXPECT_EQ(members, (std::vector<std::string>{"? smile.txt", "???.txt", "caf?.txt", "ソ表①.txt"}));

    // The bytes of each member are its file's.
    const fs::path out = fx.dir / "out";
    fs::create_directories(out);
    ASSERT_EQ(runCommand("cd " + shellQuote(out.string()) +
                         " && LC_ALL=C.UTF-8 bsdtar --options hdrcharset=CP932 -xf " +
                         shellQuote(archive.string())),
              0);
    for (std::size_t i : {0, 1, 2, 4})
        EXPECT_EQ(readFile(out / asCp932[i]), "content " + std::to_string(i)) << asCp932[i];
}

} // namespace
