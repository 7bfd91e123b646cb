// The built executable in a copy of its program folder, as a user or a scheduler starts it.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/cp932.h"
#include "store/store.h"
#include "support/test_support.h"

using namespace kb;
using namespace kb::test;
namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status = -1; // exit status, or -1 when it had to be killed
    std::string err;
};

class ProgramFolderCopy {
public:
    ProgramFolderCopy() : dir("kbe2e"), data("kbe2edata") {
        for (const char* name : {"Kestrelbox", "Kestrelbox.mdb", "Readme.txt"})
            fs::copy_file(fs::path(KB_PROGRAM_DIR) / name, dir / name);
    }

    // Edits the installed store as the program would have left it.
    template <typename F> void withStore(F edit) {
        auto store = Store::open(dir / "Kestrelbox.mdb");
        edit(*store);
    }

    // `display` empty: the offscreen platform; otherwise that X display, with no platform named.
    pid_t launch(const std::vector<std::string>& args, const std::string& display = "") {
        pid_t pid = fork();
        if (pid == 0) {
            int err = ::open((dir / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, 2);
            if (display.empty()) {
                setenv("QT_QPA_PLATFORM", "offscreen", 1);
            } else {
                unsetenv("QT_QPA_PLATFORM");
                unsetenv("WAYLAND_DISPLAY");
                setenv("DISPLAY", display.c_str(), 1);
            }
            std::vector<std::string> argv = {(dir / "Kestrelbox").string()};
            argv.insert(argv.end(), args.begin(), args.end());
            std::vector<char*> cargv;
            for (auto& a : argv)
                cargv.push_back(a.data());
            cargv.push_back(nullptr);
            execv(cargv[0], cargv.data());
            _exit(127);
        }
        return pid;
    }

    // Waits for the process; after `seconds` it gets SIGTERM (and SIGKILL a while later if it ignores it).
    Outcome finish(pid_t pid, double seconds, bool terminate = false) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(int(seconds * 1000));
        int wstatus = 0;
        bool signalled = false;
        for (;;) {
            pid_t r = waitpid(pid, &wstatus, WNOHANG);
            if (r == pid)
                break;
            if (std::chrono::steady_clock::now() > deadline) {
                if (signalled || !terminate) {
                    kill(pid, SIGKILL);
                    waitpid(pid, &wstatus, 0);
                    return {-1, stderrText()};
                }
                kill(pid, SIGTERM);
                signalled = true;
                deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return {WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1, stderrText()};
    }

    Outcome run(const std::vector<std::string>& args, double seconds = 60) {
        return finish(launch(args), seconds);
    }

    std::string stderrText() const {
        std::string text = readFile(dir / "stderr.txt");
        // Lines of the toolkit about the environment are not the program's own.
        std::string out;
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t end = text.find('\n', pos);
            std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos + 1);
            if (line.rfind("QStandardPaths:", 0) != 0)
                out += line;
            pos = end == std::string::npos ? text.size() : end + 1;
        }
        return out;
    }

    std::string ini() const {
        return fs::exists(dir / "Kestrelbox.ini") ? readFile(dir / "Kestrelbox.ini") : "";
    }

    std::vector<CopyLogRow> history() {
        std::vector<CopyLogRow> rows;
        withStore([&](Store& s) { s.forEachCopyLog([&](const CopyLogRow& r) { rows.push_back(r); }); });
        return rows;
    }

    // A set with one file and a destination folder.
    std::string prepareSet(int set, const std::string& fileName, const std::string& content) {
        fs::path src = data / ("src" + std::to_string(set));
        fs::create_directories(src);
        fs::create_directories(data / ("dst" + std::to_string(set)));
        writeFile(src / fileName, content);
        withStore([&](Store& s) {
            s.insertCopyData(std::to_string(set), (src / fileName).string());
            s.updateFolderPath(std::to_string(set), (data / ("dst" + std::to_string(set))).string());
        });
        return (data / ("dst" + std::to_string(set)) / fileName).string();
    }

    std::vector<std::string> programFiles() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.path()))
            if (e.path().filename() != "stderr.txt")
                names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir dir;
    TempDir data;
};

} // namespace

TEST(Program, TerminationSignalClosesLikeTheCloseBox) {
    ProgramFolderCopy p;
    pid_t pid = p.launch({});
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    Outcome o = p.finish(pid, 0, true);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(p.ini(),
              "[Main]\r\nTop=3000\r\nLeft=3500\r\nHeight=6000\r\nWidth=7500\r\nBarH=3500\r\nTabSel=1\r\n"
              "ListViewC1=2500\r\nListViewC2=6000\r\nListViewLogC1=1700\r\nListViewLogC2=1600\r\n"
              "ListViewLogC3=600\r\nListViewLogC4=1600\r\nListViewLogC5=5000\r\nListViewLog=1\r\n");
    EXPECT_EQ(p.programFiles(),
              (std::vector<std::string>{"Kestrelbox", "Kestrelbox.ini", "Kestrelbox.mdb", "Readme.txt"}));
    EXPECT_EQ(o.err, "");
}

TEST(Program, AutomaticRunsBackUpEachNamedSetOnceAndClose) {
    ProgramFolderCopy p;
    std::string t1 = p.prepareSet(1, "one.txt", "1");
    std::string t2 = p.prepareSet(2, "Bob's notes.txt", "2");
    std::string t3 = p.prepareSet(3, "README", "3");
    std::string t4 = p.prepareSet(4, "four.txt", "4");

    Outcome o = p.run({"/AUTO", "3", "1"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_TRUE(fs::exists(t1));
    EXPECT_TRUE(fs::exists(t3));
    EXPECT_FALSE(fs::exists(t2));
    EXPECT_NE(p.ini().find("TabSel=3\r\n"), std::string::npos);

    o = p.run({"/auto", "22"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(readFile(t2), "2");
    std::vector<CopyLogRow> rows = p.history();
    ASSERT_EQ(rows.size(), 3u);
    // Both starts may fall within one second, and the rows of one stamp are ordered by set.
    auto bob =
        std::find_if(rows.begin(), rows.end(), [](const CopyLogRow& r) { return r.TabNo == Text("2"); });
    ASSERT_NE(bob, rows.end());
    EXPECT_EQ(bob->FileName, Text("Bob's notes.txt"));
    EXPECT_EQ(bob->CopyAns, Text("○"));

    // Not a switch: anything before it, or a digit glued to it that names no set.
    for (auto args : {std::vector<std::string>{"/AUTO5"}, std::vector<std::string>{"/AUTO"}}) {
        o = p.run(args);
        EXPECT_EQ(o.status, 0);
        EXPECT_FALSE(fs::exists(t4));
    }
    pid_t pid = p.launch({"-x", "/AUTO", "4"});
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    o = p.finish(pid, 0, true);
    EXPECT_EQ(o.status, 0);
    EXPECT_FALSE(fs::exists(t4));
    EXPECT_EQ(p.history().size(), 3u);
}

TEST(Program, UnattendedRunsNeverWaitForAnAnswer) {
    ProgramFolderCopy p;
    std::string target = p.prepareSet(2, "kept.txt", "new content");
    writeFile(target, "old content");
    writeFile(p.dir / "Kestrelbox.ini", "[Option]\r\nSameFile=4\r\n");

    // The same-name question is answered No: the old copy stays.
    Outcome o = p.run({"/AUTO", "2"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(readFile(target), "old content");
    EXPECT_NE(o.err.find("[質問] Kestrelbox\n"), std::string::npos) << o.err;
    EXPECT_EQ(p.history().at(0).CopyAns, Text("△"));

    // An empty set 1 says nothing; set 3 without a destination stops the run, which still shuts down.
    fs::remove(p.dir / "Kestrelbox.ini");
    p.withStore([&](Store& s) { s.updateFolderPath("1", p.data.path().string()); });
    o = p.run({"/AUTO", "1", "3", "2"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "[警告] Kestrelbox\nバックアップ先を指定してください\n");
    EXPECT_NE(p.ini().find("TabSel=3\r\n"), std::string::npos) << p.ini();
    EXPECT_EQ(readFile(target), "old content");
    EXPECT_EQ(p.history().size(), 2u);
    EXPECT_FALSE(fs::exists(p.dir / "COMKestrelbox.mdb"));
}

TEST(Program, ADisplayThatCannotBeReachedFallsBackToOffscreen) {
    ProgramFolderCopy p;
    std::string target = p.prepareSet(1, "one.txt", "1");
    Outcome o = p.finish(p.launch({"/AUTO", "1"}, ":97"), 60);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(readFile(target), "1");
}

TEST(Program, ArchiveRunPacksEveryFileForEveryExtractor) {
    ProgramFolderCopy p;
    fs::path src = p.data / "src";
    fs::create_directories(src);
    fs::create_directories(p.data / "dst");
    const std::vector<std::pair<std::string, std::string>> files = {
        {"表.txt", std::string(20000, 'a')}, {"ソ①.bin", "\x01\x02"}, {"empty", ""}, {"notes.txt", "text"}};
    p.withStore([&](Store& s) {
        for (const auto& [name, content] : files) {
            writeFile(src / name, content);
            s.insertCopyData("4", (src / name).string());
        }
        s.updateFolderPath("4", (p.data / "dst").string());
        s.updateTab("4", "書庫", "5");
    });
    Outcome o = p.run({"/AUTO", "4"});
    ASSERT_EQ(o.status, 0) << o.err;
    std::vector<fs::path> archives;
    for (const auto& e : fs::directory_iterator(p.data / "dst"))
        archives.push_back(e.path());
    ASSERT_EQ(archives.size(), 1u);
    const std::string archive = shellQuote(archives[0].string());
    EXPECT_EQ(archives[0].extension(), ".lzh");

    std::string listing;
    ASSERT_EQ(runCommand("LC_ALL=C.UTF-8 bsdtar --options hdrcharset=CP932 -tf " + archive, &listing), 0);
    for (const auto& [name, content] : files)
        EXPECT_NE(listing.find(name + "\n"), std::string::npos) << listing;
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 4);
    EXPECT_EQ(runCommand("lhasa t " + archive + " >/dev/null 2>&1"), 0);
    EXPECT_EQ(runCommand("7zz t " + archive + " >/dev/null 2>&1"), 0);
    fs::path out = p.data / "out";
    fs::create_directories(out);
    ASSERT_EQ(runCommand("cd " + shellQuote(out.string()) +
                         " && LC_ALL=C.UTF-8 bsdtar --options hdrcharset=CP932 -xf " + archive),
              0);
    for (const auto& [name, content] : files)
        EXPECT_EQ(readFile(out / name), content) << name;

    std::vector<CopyLogRow> rows = p.history();
    ASSERT_EQ(rows.size(), 4u);
    for (const CopyLogRow& r : rows) {
        EXPECT_EQ(r.CopyAns, Text("○"));
        EXPECT_EQ(r.TabName, Text("書庫 【日付圧縮】"));
        EXPECT_EQ(r.FolderPath, Text(archives[0].string()));
    }
    EXPECT_TRUE(fs::is_empty(p.dir / "TMP"));
}

TEST(Program, StartFailuresEndWithStatusTwo) {
    ProgramFolderCopy p;
    pid_t first = p.launch({});
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    Outcome second = p.run({});
    EXPECT_EQ(second.status, 2);
    EXPECT_NE(second.err.find("２重起動はできません"), std::string::npos);
    EXPECT_EQ(p.finish(first, 0, true).status, 0);

    std::string damaged(4096, '\x5a');
    writeFile(p.dir / "Kestrelbox.mdb", damaged);
    Outcome o = p.run({"/AUTO", "1"});
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find("[エラー] Kestrelbox\nデータベースオープンエラー\n"), std::string::npos) << o.err;
    EXPECT_NE(cp932::toUtf8(readFile(p.dir / "Err.log")).find("[mdlCommon]-[Fun_MDBOpen] "),
              std::string::npos);
    EXPECT_EQ(readFile(p.dir / "Kestrelbox.mdb"), damaged);
}
