#include "backup/history_csv.h"
#include "platform/instance_lock.h"
#include "support/test_support.h"

using namespace kb;
using namespace kb::test;

namespace {

struct FileSystemTest : ::testing::Test {
    TempDir dir{"kbfs"};
    FileSystem files;
};

TEST_F(FileSystemTest, AttributesSizesAndIdentity) {
    writeFile(dir / ".hidden", "x");
    writeFile(dir / "locked", "x");
    fs::permissions(dir / "locked", fs::perms(0444));
    fs::create_directory(dir / "sub");
    EXPECT_EQ(files.attributes(dir / "missing"), 0);
    EXPECT_EQ(files.attributes(dir / ".hidden"), attr::Archive | attr::Hidden);
    EXPECT_EQ(files.attributes(dir / "locked"), attr::Archive | attr::ReadOnly);
    EXPECT_EQ(files.attributes(dir / "sub"), attr::Folder);
    EXPECT_FALSE(files.setAttributes(dir / "locked", attr::Archive));
    EXPECT_EQ(files.attributes(dir / "locked"), attr::Archive);
    EXPECT_FALSE(files.setAttributes(dir / ".hidden", attr::ReadOnly));
    EXPECT_EQ(files.attributes(dir / ".hidden"), attr::Archive | attr::Hidden | attr::ReadOnly);
    std::error_code ec;
    EXPECT_FALSE(files.fileSize(dir / "sub", ec));
    EXPECT_FALSE(ec);

    fs::create_symlink(dir / "locked", dir / "link");
    EXPECT_TRUE(files.sameFile(dir / "link", dir / "sub" / ".." / "locked"));
    EXPECT_FALSE(files.sameFile(dir / "locked", dir / "LOCKED"));
    EXPECT_FALSE(files.sameFile(dir / "locked", dir / ".hidden"));

    EXPECT_EQ(shellPrecheck((dir / "sub").string()), 0);
    EXPECT_EQ(shellPrecheck((dir / "none.txt").string()), 2);
    EXPECT_EQ(shellPrecheck((dir / "nofolder" / "a.txt").string()), 3);
}

TEST_F(FileSystemTest, CopyReplacesWithContentTimeAndPermissions) {
    const std::string content = randomBytes(3 * 1024 * 1024 + 17, 1);
    writeFile(dir / "src", content);
    setMtime(dir / "src", 1136086205, 123456789);
    fs::create_directory(dir / "out");
    writeFile(dir / "out" / "copy", "old");
    fs::permissions(dir / "out" / "copy", fs::perms(0444));

    // Read-only bits come once the copy is written; the bits of a writable file, whatever the umask takes.
    const mode_t umask = ::umask(022);
    for (const mode_t mode : {0440u, 0666u}) {
        fs::permissions(dir / "src", fs::perms(mode));
        ASSERT_FALSE(files.copyFileReplacing(dir / "src", dir / "out" / "copy"));
        EXPECT_EQ(readFile(dir / "out" / "copy"), content);
        struct stat st {};
        ::stat((dir / "out" / "copy").c_str(), &st);
        EXPECT_EQ(st.st_mtim.tv_sec, 1136086205);
        EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
        EXPECT_EQ(st.st_mode & 0777, mode);
        EXPECT_EQ(listFolder(dir / "out"), std::vector<std::string>{"copy"});
    }
    ::umask(umask);
}

// A 5 GiB file holding 1 MiB of data copies as that 1 MiB and stays sparse.
TEST_F(FileSystemTest, SparseFilesStaySparse) {
    const fs::path src = dir / "sparse.bin", copy = dir / "copy.bin";
    const std::uint64_t size = std::uint64_t{5} << 30, at = std::uint64_t{2} << 30;
    makeSparse(src, size);
    const std::string data = randomBytes(1 << 20, 2);
    {
        UniqueFd fd(::open(src.c_str(), O_WRONLY));
        ASSERT_FALSE(writeAll(fd.get(), data, static_cast<off_t>(at)));
    }
    ASSERT_FALSE(files.copyFileReplacing(src, copy));
    struct stat st {};
    ASSERT_EQ(::stat(copy.c_str(), &st), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), size);
    EXPECT_LT(st.st_blocks * 512, 4 << 20) << "allocated bytes";
    UniqueFd fd(::open(copy.c_str(), O_RDONLY));
    std::string back(data.size() + 1, 'x');
    ASSERT_EQ(::pread(fd.get(), back.data(), back.size(), static_cast<off_t>(at - 1)),
              static_cast<ssize_t>(back.size()));
    EXPECT_EQ(back, '\0' + data);
}

// Every writer replaces its file through the one atomic replace: whichever step fails, the file it was to
// replace stays as it was and no temporary file remains.
TEST_F(FileSystemTest, FailingLayerLeavesEveryReplacedFileAsItWas) {
    CoreFixture fx;
    fx.store().insertCopyLog({"2006/01/01 12:30:00", "1", "設定1 【標準】", 1, "○", "a.txt", "/b/a.txt"});
    writeFile(dir / "src", "new content");
    FaultyFiles failing;
    IniFile ini(dir / "Kestrelbox.ini", failing);
    const std::vector<std::pair<const char*, std::function<bool()>>> writers = {
        {"settings",
         [&] {
             ini.Fun_WriteIni("Main", "Top", "1");
             return false;
         }},
        {"export",
         [&] {
             exportHistoryCsv(fx.store(), failing, dir / "history.csv");
             return true;
         }},
        {"copy", [&] { return !failing.copyFileReplacing(dir / "src", dir / "copy", Durability::OnDisk); }},
    };
    for (auto step : {FaultyFiles::Step::Write, FaultyFiles::Step::Sync, FaultyFiles::Step::Rename}) {
        failing.failAt = step;
        for (const auto& [name, write] : writers) {
            for (const char* file : {"Kestrelbox.ini", "history.csv", "copy"})
                writeFile(dir / file, "old");
            bool done = false;
            try {
                done = write();
            } catch (const std::system_error&) {
            }
            EXPECT_FALSE(done) << name;
            for (const char* file : {"Kestrelbox.ini", "history.csv", "copy"})
                EXPECT_EQ(readFile(dir / file), "old") << name << " " << file;
            EXPECT_EQ(listFolder(dir.path()),
                      (std::vector<std::string>{"Kestrelbox.ini", "copy", "history.csv", "src"}))
                << name;
        }
    }
}

TEST_F(FileSystemTest, TemporarySiblings) {
    fs::path a = temporarySibling(dir / "report.doc");
    EXPECT_NE(a, temporarySibling(dir / "report.doc"));
    EXPECT_EQ(a.parent_path(), dir.path());
    EXPECT_TRUE(isTemporarySiblingName(a.filename().string()));
    for (const char* name :
         {"report.doc", ".profile", ".kbtmp-1-2", ".a.kbtmp-1", ".a.kbtmp-x-2", ".a.kbtmp-1-2.txt"})
        EXPECT_FALSE(isTemporarySiblingName(name)) << name;
    fs::path t = temporarySibling(dir / repeated("あ", 84)); // 252 bytes
    EXPECT_TRUE(isTemporarySiblingName(t.filename().string()));
    writeFile(t, "x");
    EXPECT_TRUE(fs::exists(t)) << "still a name the file system takes";
}

// What a killed process left goes at the next start by the record of what it made; a user's file under the
// same name (and a lookalike that was never recorded) stays.
TEST_F(FileSystemTest, LeftoverTemporariesGoByTheirRecordOnly) {
    const fs::path record = dir / "Kestrelbox.tmp";
    std::error_code ec;
    fs::path left, replaced;
    {
        FileSystem killed;
        EXPECT_EQ(killed.keepTemporaryRecord(record), 0u);
        UniqueFd a = killed.createTemporary(dir / "a.txt", 0600, left, ec, nullptr);
        UniqueFd b = killed.createTemporary(dir / "b.txt", 0600, replaced, ec, nullptr);
        ASSERT_TRUE(a && b);
        // As if killed now: the record lists both, and keeps them when the process object goes.
        killed.temporaryDone(left, false);
    }
    ASSERT_TRUE(fs::exists(record));
    writeFile(dir / "user", "the user's");
    fs::rename(dir / "user", replaced);
    const fs::path lookalike = dir / (".c.txt.kbtmp-" + std::to_string(::getpid()) + "-0");
    writeFile(lookalike, "the user's too");
    FileSystem next;
    EXPECT_EQ(next.keepTemporaryRecord(record), 1u);
    EXPECT_FALSE(fs::exists(left));
    EXPECT_EQ(readFile(replaced), "the user's");
    EXPECT_EQ(readFile(lookalike), "the user's too");
    EXPECT_FALSE(fs::exists(record));
    // Once every temporary file has its name, the record is needed no more; it goes with the process.
    {
        FileSystem last;
        last.keepTemporaryRecord(record);
        EXPECT_FALSE(writeFileReplacing(last, dir / "x.txt", "x"));
    }
    EXPECT_FALSE(fs::exists(record));
}

// The child's verdict as its exit status: 0 acquired, 1 refused; `die` kills it while it holds the lock.
int acquireInChild(const fs::path& folder, bool die = false) {
    const int status = statusOfChild([&] {
        InstanceLock lock(folder);
        const bool ok = lock.acquire();
        if (die)
            ::kill(::getpid(), SIGKILL);
        return ok ? 0 : 1;
    });
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(FileSystemTest, InstanceLockAcrossProcesses) {
    fs::create_directory(dir / "prog");
    fs::create_directory(dir / "other");
    {
        InstanceLock first(dir / "prog");
        ASSERT_TRUE(first.acquire());
        EXPECT_EQ(acquireInChild(dir / "prog" / ".." / "prog"), 1);
        EXPECT_EQ(acquireInChild(dir / "other"), 0);
    }
    EXPECT_EQ(acquireInChild(dir / "prog", true), -1);
    EXPECT_TRUE(InstanceLock(dir / "prog").acquire()) << "a killed holder leaves no lock";
}

} // namespace
