// The program's own files damaged, cut short or unreadable: the reports the program promises, never a crash,
// and nothing the user had is lost.
#include <sstream>

#include "fault_support.h"

using namespace kb;
using namespace kb::faults;

namespace {

// Every line of `before` that is not a key the shutdown writes is still in `after`, in its order.
bool keepsLines(const std::string& before, const std::string& after) {
    std::istringstream was(before), now(after);
    std::string line, have;
    while (std::getline(was, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        for (const char* key : {"Top=", "Left=", "Height=", "Width=", "BarH=", "TabSel=", "ListView"})
            if (line.starts_with(key))
                line.clear();
        while (!line.empty() && std::getline(now, have) && have != line && have != line + "\r")
            ;
        if (!line.empty() && !now)
            return false;
    }
    return true;
}

long marked(const std::vector<CopyLogRow>& rows, const char* mark) {
    return std::count_if(rows.begin(), rows.end(),
                         [&](const CopyLogRow& r) { return r.CopyAns == Text(mark); });
}

class ProgramFiles : public ::testing::Test {
protected:
    ProgramFiles() {
        fs::create_directories(src);
        writeFile(src / "a.txt", "a");
        p.registerSet(1, dst, {src / "a.txt"});
    }

    // Hands the program folder and the data to `user`, all but `keep`, which stays root's and unreadable.
    void handOver(uid_t user, const fs::path& keep) {
        for (const fs::path& top : {p.dir.path(), data.path()}) {
            [[maybe_unused]] int r = ::chown(top.c_str(), user, user);
            for (const auto& e : fs::recursive_directory_iterator(top))
                if (e.path() != keep)
                    r = ::lchown(e.path().c_str(), user, user);
        }
        fs::permissions(keep, fs::perms::owner_read | fs::perms::owner_write);
    }

    Program p{60}; // a start that blocks on a file is ended as hung
    TempDir data{"kbfiles"};
    fs::path src = data / "src", dst = data / "dst";
};

TEST_F(ProgramFiles, DamagedStoreEndsTheStartWithItsReportAndIsLeftAsItWas) {
    const std::string whole = readFile(p.dir / "Kestrelbox.mdb");
    ASSERT_GT(whole.size(), 4096u);
    const fs::path mdb = p.dir / "Kestrelbox.mdb";
    for (const std::string& damaged : {randomBytes(whole.size(), 11), whole.substr(0, whole.size() / 2),
                                       whole.substr(0, 100), std::string()}) {
        writeFile(mdb, damaged);
        EXPECT_EQ(p.run({"/AUTO", "1"}), kExitStartFailed) << damaged.size();
        EXPECT_EQ(p.err().rfind("[エラー] Kestrelbox\nデータベースオープンエラー\n", 0), 0u) << p.err();
        EXPECT_EQ(readFile(mdb), damaged) << "the damaged store is the user's to rescue";
        EXPECT_FALSE(fs::exists(p.dir / "Kestrelbox.ini")) << "nothing is written after a failed start";
        EXPECT_FALSE(fs::exists(dst / "a.txt"));
    }
    EXPECT_TRUE(p.logged("[mdlCommon]-[Fun_MDBOpen] "));
}

// Settings of any bytes: the program starts, the options fall back to their defaults, and the shutdown adds
// its keys without dropping what was there.
TEST_F(ProgramFiles, DamagedSettingsStartWithDefaultsAndKeepTheirBytes) {
    const fs::path ini = p.dir / "Kestrelbox.ini";
    std::string noise = randomBytes(3000, 21);
    // A random "[" could open a section that swallows the keys; what matters here is the bytes around them.
    for (char& c : noise)
        if (c == '[' || c == '=')
            c = '#';
    const std::string cut = "[Option]\r\nSameFile=1\r\n[Main]\r\nTabSel=1\r\nListViewLog=0\r\nTo";
    for (const std::string& damaged : {noise, cut, std::string("\xEF\xBB\xBF[Main]\r\nTabSel=1\x82")}) {
        writeFile(ini, damaged);
        fs::remove(dst / "a.txt");
        EXPECT_EQ(p.run({"/AUTO", "1"}), kExitNormal) << p.err();
        EXPECT_EQ(p.err(), "");
        EXPECT_EQ(readFile(dst / "a.txt"), "a");
        const std::string after = readFile(ini);
        EXPECT_TRUE(keepsLines(damaged, after)) << after;
        EXPECT_NE(after.find("Height=6000\r\n"), std::string::npos) << after;
    }
    EXPECT_EQ(temporaries(p.dir.path()), std::vector<fs::path>{});
}

TEST_F(ProgramFiles, UnreadableSettingsStartWithDefaultsAndAreNotReplaced) {
    const fs::path ini = p.dir / "Kestrelbox.ini";
    std::optional<uid_t> user = nobodyUser();
    if (!user || ::geteuid() != 0)
        GTEST_SKIP() << "needs root and an unprivileged user to make a file unreadable";
    ASSERT_EQ(p.run({"/AUTO", "1"}), kExitNormal) << p.err();
    const std::string settings = "[Option]\r\nSameFile=1\r\n[Main]\r\nTabSel=1\r\n";
    writeFile(ini, settings);
    writeFile(src / "a.txt", "changed");
    handOver(*user, ini);
    // Policy 1 is not seen: the default 0 keeps the earlier copy.
    EXPECT_EQ(p.run({"/AUTO", "1"}, {std::nullopt, user, ""}), kExitNormal) << p.err();
    EXPECT_EQ(p.err(), "");
    EXPECT_EQ(readFile(dst / "a.txt"), "a");
    EXPECT_EQ(readFile(ini), settings);
    EXPECT_EQ(p.history().size(), 2u);
    EXPECT_EQ(marked(p.history(), "△"), 1);
}

// Settings file and error log that are no regular files: a folder, a FIFO (which would block a reader), a
// device (which never ends). Each start runs under a time limit; the settings give their defaults, both stay
// what they were, the log's failure is reported and the run goes on.
TEST_F(ProgramFiles, SettingsAndErrorLogThatAreNoFilesNeitherBlockNorGetReplaced) {
    // A folder in the target's place makes the copy fail, which is logged.
    fs::create_directory(dst / "a.txt");
    const fs::path ini = p.dir / "Kestrelbox.ini", log = p.dir / "Err.log";
    const std::string notAFile = "通常のファイルではありません: " + log.string();
    const std::pair<std::string, std::string> kinds[] = {
        {"folder", std::error_code(EISDIR, std::system_category()).message()},
        {"fifo", notAFile},
        {"/dev/zero", notAFile}};
    for (const auto& [kind, logError] : kinds) {
        for (const fs::path& f : {ini, log}) {
            fs::remove_all(f);
            if (kind == "folder")
                fs::create_directory(f);
            else if (kind == "fifo")
                ASSERT_EQ(::mkfifo(f.c_str(), 0600), 0);
            else
                fs::create_symlink(kind, f);
        }
        EXPECT_EQ(p.run({"/AUTO", "1"}), kExitFilesFailed) << kind;
        EXPECT_EQ(p.err(), "[エラー] Kestrelbox\n下記のファイルをコピーできませんでした (" +
                               std::error_code(EISDIR, std::system_category()).message() + ")\n\n" +
                               (src / "a.txt").string() + "\n[エラー] Kestrelbox\nLog出力エラー\n" +
                               logError + "\n");
        for (const fs::path& f : {ini, log}) {
            EXPECT_EQ(fs::symlink_status(f).type(), kind == "folder" ? fs::file_type::directory
                                                    : kind == "fifo" ? fs::file_type::fifo
                                                                     : fs::file_type::symlink)
                << f;
            EXPECT_TRUE(kind != "folder" || fs::is_empty(f)) << f;
        }
    }
    EXPECT_EQ(p.history().size(), 3u);
    EXPECT_EQ(p.history().back().CopyAns, Text("×"));
}

// The program folder as the destination, reached through a link, with doubled separators or "..": a
// registered file named like one of the program's files is refused with its row ×, the program's file stays
// as it was, and the run goes on with the other files.
TEST_F(ProgramFiles, ProgramFolderAsDestinationNeverReplacesTheProgramsFiles) {
    const std::vector<std::string> own = {"Kestrelbox",         "Kestrelbox.mdb",   "Kestrelbox.mdb-wal",
                                          "Kestrelbox.mdb-shm", "BKKestrelbox.mdb", "COMKestrelbox.mdb",
                                          "Kestrelbox.ini",     "Err.log",          "TMP",
                                          "Kestrelbox.tmp",     "kestrelbox.MDB"};
    writeFile(p.dir / "Kestrelbox.ini", "[Option]\r\nSameFile=1\r\n");
    fs::create_directory(p.dir / "sub");
    fs::create_directory_symlink(p.dir.path(), data / "link");
    for (const std::string& name : own) {
        writeFile(src / name, "the user's " + name);
        p.store()->insertCopyData("1", (src / name).string());
    }
    const std::string program = readFile(p.dir / "Kestrelbox");
    const std::string refused =
        "下記のファイルをコピーできませんでした (コピー先が Kestrelbox 自身のファイルです)\n\n";
    for (const fs::path& d : {data / "link", fs::path(p.dir.path().string() + "//"), p.dir / "sub" / ".."}) {
        p.store()->updateFolderPath("1", d.string());
        fs::remove(p.dir / "a.txt");
        EXPECT_EQ(p.run({"/AUTO", "1"}), kExitFilesFailed) << d;
        for (const std::string& name : own)
            EXPECT_NE(p.err().find(refused + (src / name).string() + "\n"), std::string::npos)
                << d << " " << name;
        EXPECT_EQ(readFile(p.dir / "a.txt"), "a");
    }
    EXPECT_EQ(readFile(p.dir / "Kestrelbox"), program);
    for (const std::string& name : own)
        EXPECT_TRUE(!fs::is_regular_file(p.dir / name) || readFile(p.dir / name) != "the user's " + name)
            << name;
    EXPECT_FALSE(fs::exists(p.dir / "TMP"));
    const std::vector<CopyLogRow> rows = p.history();
    EXPECT_EQ(marked(rows, "×"), 3 * static_cast<long>(own.size()));
    EXPECT_EQ(rows.size(), 3 * (own.size() + 1));
}

} // namespace
