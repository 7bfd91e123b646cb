// The built executable in a copy of its program folder, as a user or a scheduler starts it.
#include "support/program.h"

using namespace kb;
using namespace kb::test;

namespace {

// One minute before a start counts as hung; the data the sets back up lies beside the program folder.
class ProgramFolderCopy : public Program {
public:
    ProgramFolderCopy() : Program(60), data("kbe2edata") {}

    // A set with one file and a destination folder; returns where its copy goes.
    std::string prepareSet(int set, const std::string& fileName, const std::string& content) {
        const fs::path src = data / ("src" + std::to_string(set)), dst = data / ("dst" + std::to_string(set));
        fs::create_directories(src);
        writeFile(src / fileName, content);
        registerSet(set, dst, {src / fileName});
        return (dst / fileName).string();
    }

    TempDir data;
};

} // namespace

TEST(Program, AutomaticRunsBackUpEachNamedSetOnceAndClose) {
    ProgramFolderCopy p;
    std::string t1 = p.prepareSet(1, "one.txt", "1");
    std::string t2 = p.prepareSet(2, "Bob's notes.txt", "2");
    std::string t3 = p.prepareSet(3, "README", "3");
    std::string t4 = p.prepareSet(4, "four.txt", "4");

    EXPECT_EQ(p.run({"/AUTO", "3", "1"}), 0);
    EXPECT_EQ(p.err(), "");
    EXPECT_TRUE(fs::exists(t1));
    EXPECT_TRUE(fs::exists(t3));
    EXPECT_FALSE(fs::exists(t2));
    EXPECT_NE(p.ini().find("TabSel=3\r\n"), std::string::npos);

    EXPECT_EQ(p.run({"/auto", "22"}), 0);
    EXPECT_EQ(readFile(t2), "2");
    std::vector<CopyLogRow> rows = p.history();
    ASSERT_EQ(rows.size(), 3u);
    // Both starts may fall within one second, and the rows of one stamp are ordered by set.
    auto bob =
        std::find_if(rows.begin(), rows.end(), [](const CopyLogRow& r) { return r.TabNo == Text("2"); });
    ASSERT_NE(bob, rows.end());
    EXPECT_EQ(bob->FileName, Text("Bob's notes.txt"));
    EXPECT_EQ(bob->CopyAns, Text("○"));
    EXPECT_EQ(bob->TabName, Text("設定2 【標準】"));

    // Not a switch: anything before it, or a digit glued to it that names no set.
    EXPECT_EQ(p.run({"/AUTO5"}), 0);
    EXPECT_EQ(p.run({"/AUTO"}), 0);
    // The window comes up idle and waits until it is asked to close as the close box does.
    const pid_t idle = p.launch({"-x", "/AUTO", "4"});
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    p.terminate(idle);
    EXPECT_EQ(p.wait(idle), 0);
    EXPECT_FALSE(fs::exists(t4));
    EXPECT_EQ(p.history().size(), 3u);
}

TEST(Program, UnattendedRunsNeverWaitForAnAnswer) {
    ProgramFolderCopy p;
    std::string target = p.prepareSet(2, "kept.txt", "new content");
    writeFile(target, "old content");
    writeFile(p.dir / "Kestrelbox.ini", "[Option]\r\nSameFile=4\r\n");

    // The same-name question is answered No: the old copy stays.
    EXPECT_EQ(p.run({"/AUTO", "2"}), 0);
    EXPECT_EQ(readFile(target), "old content");
    EXPECT_NE(p.err().find("[質問] Kestrelbox\n"), std::string::npos) << p.err();
    EXPECT_EQ(p.history().at(0).CopyAns, Text("△"));

    // An empty set 1 says nothing; set 3 without a destination stops the run, which still shuts down.
    fs::remove(p.dir / "Kestrelbox.ini");
    p.store()->updateFolderPath("1", p.data.path().string());
    EXPECT_EQ(p.run({"/AUTO", "1", "3", "2"}), 1);
    EXPECT_EQ(p.err(), "[警告] Kestrelbox\nバックアップ先を指定してください\n");
    EXPECT_NE(p.ini().find("TabSel=3\r\n"), std::string::npos) << p.ini();
    EXPECT_EQ(readFile(target), "old content");
    EXPECT_EQ(p.history().size(), 2u);
    EXPECT_FALSE(fs::exists(p.dir / "COMKestrelbox.mdb"));
}

// Started by cron (nothing but PATH) or with a display it cannot reach, a clean run falls back to the
// offscreen platform and writes nothing at all to standard error.
TEST(Program, UnattendedStartsWithoutADisplayAreQuiet) {
    for (const LaunchOptions& options : {LaunchOptions{{}, {}, ":97"}, LaunchOptions{{}, {}, "", true}}) {
        ProgramFolderCopy p;
        std::string target = p.prepareSet(1, "one.txt", "1");
        EXPECT_EQ(p.run({"/AUTO", "1"}, options), 0) << options.display;
        EXPECT_EQ(readFile(target), "1");
        EXPECT_EQ(p.err(), "") << options.display;
    }
}
