// The program's own files damaged, cut short or unreadable: the reports the program promises, never a crash,
// and nothing the user had is lost.
#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

#include "fault_support.h"
#include "platform/cp932.h"

using namespace kb;
using namespace kb::faults;
using kb::test::readFile;
using kb::test::TempDir;
using kb::test::writeFile;
namespace fs = std::filesystem;

namespace {

// Every line of `before` that is not a key the shutdown writes is still in `after`, in its order.
bool keepsLines(const std::string& before, const std::string& after) {
    auto lines = [](const std::string& text) {
        std::vector<std::string> out;
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t end = std::min(text.find('\n', pos), text.size());
            std::string line = text.substr(pos, end - pos);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            out.push_back(line);
            pos = end + 1;
        }
        return out;
    };
    const std::vector<std::string> written = {
        "Top=", "Left=", "Height=", "Width=", "BarH=", "TabSel=", "ListView"};
    std::vector<std::string> have = lines(after);
    std::size_t at = 0;
    for (const std::string& line : lines(before)) {
        if (std::any_of(written.begin(), written.end(),
                        [&](const std::string& k) { return line.rfind(k, 0) == 0; }))
            continue;
        while (at < have.size() && have[at] != line)
            ++at;
        if (at++ >= have.size())
            return false;
    }
    return true;
}

class ProgramFiles : public ::testing::Test {
protected:
    ProgramFiles() {
        fs::create_directories(src);
        fs::create_directories(dst);
        writeFile(src / "a.txt", "a");
        auto store = p.store();
        store->updateFolderPath("1", dst.string());
        store->insertCopyData("1", (src / "a.txt").string());
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

    Program p;
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
    EXPECT_NE(cp932::toUtf8(readFile(p.dir / "Err.log")).find("[mdlCommon]-[Fun_MDBOpen] "),
              std::string::npos);

    fs::remove(mdb);
    fs::create_directory(mdb);
    EXPECT_EQ(p.run({"/AUTO", "1"}), kExitStartFailed);
    EXPECT_EQ(p.err().rfind("[エラー] Kestrelbox\nデータベースオープンエラー\n", 0), 0u) << p.err();
    EXPECT_TRUE(fs::is_directory(mdb));
}

TEST_F(ProgramFiles, StoreUnreadableForTheUserEndsTheStartWithItsReport) {
    std::optional<uid_t> user = nobodyUser();
    if (!user || ::geteuid() != 0)
        GTEST_SKIP() << "needs root and an unprivileged user to make a file unreadable";
    const fs::path mdb = p.dir / "Kestrelbox.mdb";
    const std::string whole = readFile(mdb);
    handOver(*user, mdb);
    EXPECT_EQ(p.run({"/AUTO", "1"}, {std::nullopt, user, ""}), kExitStartFailed);
    EXPECT_EQ(p.err().rfind("[エラー] Kestrelbox\nデータベースオープンエラー\n", 0), 0u) << p.err();
    EXPECT_EQ(readFile(mdb), whole);
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
    std::vector<CopyLogRow> rows = p.history();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(
        std::count_if(rows.begin(), rows.end(), [](const CopyLogRow& r) { return r.CopyAns == Text("△"); }),
        1);
}

// Settings file and error log that are no regular files: a folder, a FIFO (which would block a reader), a
// device (which never ends). Each start runs under a time limit; the settings give their defaults, both stay
// what they were, the log's failure is reported and the run goes on.
TEST_F(ProgramFiles, SettingsAndErrorLogThatAreNoFilesNeitherBlockNorGetReplaced) {
    Program limited(30);
    {
        auto store = limited.store();
        store->updateFolderPath("1", dst.string());
        store->insertCopyData("1", (src / "a.txt").string());
    }
    // A folder in the target's place makes the copy fail, which is logged.
    fs::create_directory(dst / "a.txt");
    const fs::path ini = limited.dir / "Kestrelbox.ini", log = limited.dir / "Err.log";
    const std::string notAFile = "通常のファイルではありません: " + log.string();
    const std::pair<std::string, std::string> kinds[] = {
        {"folder", std::error_code(EISDIR, std::system_category()).message()},
        {"fifo", notAFile},
        {"/dev/zero", notAFile},
        {"/dev/full", notAFile}};
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
        EXPECT_EQ(limited.run({"/AUTO", "1"}), kExitFilesFailed) << kind;
        EXPECT_EQ(limited.err(), "[エラー] Kestrelbox\n下記のファイルをコピーできませんでした (" +
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
    EXPECT_EQ(limited.history().size(), 4u);
    EXPECT_EQ(limited.history().back().CopyAns, Text("×"));
}

// The error log of any bytes: the next entry goes to the slot its header names (slot 1 when the header is no
// number), every other byte stays.
TEST_F(ProgramFiles, DamagedErrorLogTakesTheNextEntryAndKeepsTheRest) {
    const fs::path log = p.dir / "Err.log";
    // A folder in the target's place makes the copy fail, which is logged.
    fs::create_directory(dst / "a.txt");
    const std::string noise = randomBytes(2000, 31);
    std::string numbered = std::string(21, ' ') + "00002" + std::string(297, ' ');
    numbered += std::string(323 * 2, 'x') + "cut in the midd";
    for (const std::string& damaged : {noise, numbered, std::string("2006/01/01")}) {
        writeFile(log, damaged);
        EXPECT_EQ(p.run({"/AUTO", "1"}), kExitFilesFailed) << p.err();
        EXPECT_EQ(p.err().rfind("[エラー] Kestrelbox\n下記のファイルをコピーできませんでした (", 0), 0u)
            << p.err();
        const std::string after = readFile(log);
        const std::size_t slot = damaged == numbered ? 3 : 1;
        ASSERT_GE(after.size(), 323 * (slot + 1));
        EXPECT_EQ(after.substr(21, 5), slot == 3 ? "00003" : "00001");
        EXPECT_EQ(cp932::toUtf8(after.substr(323 * slot + 21, 25)), "[mdlMain]-[Fun_FileCopy] ");
        EXPECT_EQ(after.substr(323 * slot + 321, 2), "\r\n");
        // Bytes outside the two records written are the user's.
        for (std::size_t i = 323; i < damaged.size(); ++i) {
            if (i < 323 * slot || i >= 323 * (slot + 1)) {
                ASSERT_EQ(after[i], damaged[i]) << i;
            }
        }
    }
}

TEST_F(ProgramFiles, UnwritableErrorLogIsReportedAndTheRunGoesOn) {
    const fs::path log = p.dir / "Err.log";
    fs::create_directory(dst / "a.txt");
    std::optional<uid_t> user = nobodyUser();
    if (!user || ::geteuid() != 0)
        GTEST_SKIP() << "needs root and an unprivileged user to make a file unreadable";
    const std::string earlier = randomBytes(1000, 41);
    writeFile(log, earlier);
    handOver(*user, log);
    EXPECT_EQ(p.run({"/AUTO", "1"}, {std::nullopt, user, ""}), kExitFilesFailed) << p.err();
    EXPECT_NE(p.err().find("[エラー] Kestrelbox\nLog出力エラー\n" +
                           std::error_code(EACCES, std::system_category()).message() + "\n"),
              std::string::npos)
        << p.err();
    EXPECT_EQ(readFile(log), earlier);
}

} // namespace
