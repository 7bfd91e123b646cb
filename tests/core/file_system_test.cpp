#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/instance_lock.h"
#include "support/test_support.h"

using namespace kb;
using kb::test::FailingFileSystem;
using kb::test::readFile;
using kb::test::TempDir;
using kb::test::writeFile;
namespace fs = std::filesystem;

namespace {

class FileSystemTest : public ::testing::Test {
protected:
    TempDir dir{"kbfs"};
    FileSystem files;

    std::vector<std::string> names(const fs::path& folder) const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(folder))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
    static struct stat statOf(const fs::path& p) {
        struct stat st {};
        ::stat(p.c_str(), &st);
        return st;
    }
    static std::string randomBytes(std::size_t n) {
        std::mt19937 gen(42);
        std::string s(n, '\0');
        for (char& c : s)
            c = static_cast<char>(gen());
        return s;
    }
};

TEST_F(FileSystemTest, AttributesFollowThePosixMapping) {
    writeFile(dir / "plain.txt", "x");
    writeFile(dir / ".hidden", "x");
    writeFile(dir / "locked.txt", "x");
    fs::permissions(dir / "locked.txt", fs::perms(0444));
    fs::create_directory(dir / "sub");
    fs::create_directory(dir / ".cache");

    EXPECT_EQ(files.attributes(dir / "missing"), 0);
    EXPECT_EQ(files.attributes(dir / "plain.txt"), attr::Archive);
    EXPECT_EQ(files.attributes(dir / ".hidden"), attr::Archive | attr::Hidden);
    EXPECT_EQ(files.attributes(dir / "locked.txt"), attr::Archive | attr::ReadOnly);
    EXPECT_EQ(files.attributes(dir / "sub"), attr::Folder);
    EXPECT_EQ(files.attributes(dir / ".cache"), attr::Folder | attr::Hidden);

    // Archive only clears read-only; read-only clears every write bit; hidden stays the name's business.
    EXPECT_FALSE(files.setAttributes(dir / "locked.txt", attr::Archive));
    EXPECT_EQ(files.attributes(dir / "locked.txt"), attr::Archive);
    fs::permissions(dir / "plain.txt", fs::perms(0666));
    EXPECT_FALSE(files.setAttributes(dir / "plain.txt", attr::ReadOnly | attr::Archive));
    EXPECT_EQ(statOf(dir / "plain.txt").st_mode & 0777, 0444u);
    EXPECT_FALSE(files.setAttributes(dir / ".hidden", attr::Archive));
    EXPECT_EQ(files.attributes(dir / ".hidden"), attr::Archive | attr::Hidden);
    EXPECT_TRUE(files.setAttributes(dir / "missing", attr::Archive));

    EXPECT_TRUE(files.isFile(dir / "plain.txt"));
    EXPECT_FALSE(files.isFile(dir / "sub"));
    EXPECT_TRUE(files.isFolder(dir / "sub"));
    EXPECT_FALSE(files.isFolder(dir / "missing"));
}

TEST_F(FileSystemTest, SameFileByTextOrByIdentity) {
    writeFile(dir / "a.txt", "x");
    writeFile(dir / "b.txt", "x");
    fs::create_hard_link(dir / "a.txt", dir / "hard.txt");
    fs::create_symlink(dir / "a.txt", dir / "link.txt");
    EXPECT_TRUE(files.sameFile(dir / "a.txt", dir / "a.txt"));
    EXPECT_TRUE(files.sameFile(dir / "a.txt", dir / "." / "a.txt"));
    EXPECT_TRUE(files.sameFile(dir / "a.txt", dir / "hard.txt"));
    EXPECT_TRUE(files.sameFile(dir / "link.txt", dir / "a.txt"));
    EXPECT_FALSE(files.sameFile(dir / "a.txt", dir / "b.txt"));
    EXPECT_FALSE(files.sameFile(dir / "a.txt", dir / "A.txt")) << "letter case tells files apart on Linux";
    EXPECT_TRUE(files.sameFile(dir / "none", dir / "none"));
    EXPECT_FALSE(files.sameFile(dir / "none", dir / "other"));
}

TEST_F(FileSystemTest, SizesAndTimes) {
    EXPECT_FALSE(files.fileSize(dir / "missing"));
    EXPECT_FALSE(files.lastWriteTime(dir / "missing"));
    writeFile(dir / "empty", "");
    EXPECT_EQ(files.fileSize(dir / "empty"), 0u);
    fs::create_directory(dir / "sub");
    EXPECT_FALSE(files.fileSize(dir / "sub"));

    int fd = ::open((dir / "big").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 5368709120LL), 0);
    ::close(fd);
    EXPECT_EQ(files.fileSize(dir / "big"), 5368709120ULL);

    kb::test::setMtime(dir / "empty", 1136086205);
    EXPECT_EQ(files.lastWriteTime(dir / "empty"), 1136086205);
    kb::test::setMtime(dir / "empty", -86400);
    EXPECT_EQ(files.lastWriteTime(dir / "empty"), -86400);
}

TEST_F(FileSystemTest, CopyCarriesContentTimeAndPermissions) {
    const std::string content = randomBytes(3 * 1024 * 1024 + 17);
    writeFile(dir / "src.bin", content);
    struct timespec times[2] = {{0, UTIME_OMIT}, {1136086205, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "src.bin").c_str(), times, 0), 0);
    fs::permissions(dir / "src.bin", fs::perms(0640));
    fs::create_directory(dir / "out");

    ASSERT_FALSE(files.copyFileReplacing(dir / "src.bin", dir / "out" / "copy.bin"));
    EXPECT_EQ(readFile(dir / "out" / "copy.bin"), content);
    struct stat st = statOf(dir / "out" / "copy.bin");
    EXPECT_EQ(st.st_mtim.tv_sec, 1136086205);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    // Replacing an existing, read-only target; a read-only source gives a read-only copy.
    writeFile(dir / "small", "new");
    fs::permissions(dir / "small", fs::perms(0444));
    fs::permissions(dir / "out" / "copy.bin", fs::perms(0444));
    ASSERT_FALSE(files.copyFileReplacing(dir / "small", dir / "out" / "copy.bin"));
    EXPECT_EQ(readFile(dir / "out" / "copy.bin"), "new");
    EXPECT_EQ(files.attributes(dir / "out" / "copy.bin"), attr::Archive | attr::ReadOnly);
    EXPECT_EQ(names(dir / "out"), std::vector<std::string>{"copy.bin"});

    writeFile(dir / "zero", "");
    ASSERT_FALSE(files.copyFileReplacing(dir / "zero", dir / "out" / "zero"));
    EXPECT_EQ(files.fileSize(dir / "out" / "zero"), 0u);
}

TEST_F(FileSystemTest, FailedCopyLeavesTargetAndNoTemporaryFile) {
    fs::create_directory(dir / "out");
    writeFile(dir / "src", randomBytes(200000));
    writeFile(dir / "out" / "target", "previous backup");
    kb::test::setMtime(dir / "out" / "target", 1000);

    FailingFileSystem failing(100000);
    std::error_code ec = failing.copyFileReplacing(dir / "src", dir / "out" / "target");
    EXPECT_EQ(ec, std::errc::no_space_on_device);
    EXPECT_EQ(failing.copies, 1);
    EXPECT_EQ(readFile(dir / "out" / "target"), "previous backup");
    EXPECT_EQ(files.lastWriteTime(dir / "out" / "target"), 1000);
    EXPECT_EQ(names(dir / "out"), std::vector<std::string>{"target"});

    // Other ways to fail: a missing source, a missing folder, a folder in the target's place.
    EXPECT_TRUE(files.copyFileReplacing(dir / "missing", dir / "out" / "target"));
    EXPECT_TRUE(files.copyFileReplacing(dir / "src", dir / "nowhere" / "target"));
    EXPECT_TRUE(files.copyFileReplacing(dir / "out", dir / "copy-of-folder"));
    fs::create_directory(dir / "out" / "taken");
    writeFile(dir / "out" / "taken" / "inside", "kept");
    EXPECT_TRUE(files.copyFileReplacing(dir / "src", dir / "out" / "taken"));
    EXPECT_EQ(readFile(dir / "out" / "taken" / "inside"), "kept");
    EXPECT_EQ(readFile(dir / "out" / "target"), "previous backup");
    EXPECT_EQ(names(dir / "out"), (std::vector<std::string>{"taken", "target"}));
    EXPECT_FALSE(fs::exists(dir / "copy-of-folder"));
}

TEST_F(FileSystemTest, CopyAcrossFileSystems) {
    // copy_file_range refuses some pairs of file systems; the plain loop must take over.
    const fs::path shm = "/dev/shm";
    if (!fs::is_directory(shm) || statOf(shm).st_dev == statOf(dir.path()).st_dev)
        GTEST_SKIP() << "no second file system at hand";
    const fs::path target = shm / ("kbfs-cross-" + std::to_string(::getpid()));
    const std::string content = randomBytes(2 * 1024 * 1024 + 5);
    writeFile(dir / "src", content);
    ASSERT_FALSE(files.copyFileReplacing(dir / "src", target));
    EXPECT_EQ(readFile(target), content);
    fs::remove(target);
}

TEST_F(FileSystemTest, WriteFileReplacingKeepsModeAndLeavesNoTemporary) {
    writeFile(dir / "settings", "old");
    fs::permissions(dir / "settings", fs::perms(0600));
    ASSERT_FALSE(writeFileReplacing(dir / "settings", "new content"));
    EXPECT_EQ(readFile(dir / "settings"), "new content");
    EXPECT_EQ(statOf(dir / "settings").st_mode & 0777, 0600u);
    EXPECT_TRUE(writeFileReplacing(dir / "nowhere" / "settings", "x"));
    EXPECT_EQ(names(dir.path()), std::vector<std::string>{"settings"});
}

TEST_F(FileSystemTest, TemporarySiblingNames) {
    fs::path a = temporarySibling(dir / "report.doc");
    fs::path b = temporarySibling(dir / "report.doc");
    EXPECT_NE(a, b);
    EXPECT_EQ(a.parent_path(), dir.path());
    EXPECT_EQ(a.filename().string().rfind(".report.doc.kbtmp-", 0), 0u);
    EXPECT_TRUE(isTemporarySiblingName(a.filename().string()));

    for (const char* name : {"report.doc", ".profile", ".kbtmp-1-2", ".a.kbtmp-1", ".a.kbtmp-x-2",
                             ".a.kbtmp-1-", "a.kbtmp-1-2", ".a.kbtmp-1-2.txt"})
        EXPECT_FALSE(isTemporarySiblingName(name)) << name;

    // A name near the limit still gives a name the file system takes.
    std::string longName;
    while (longName.size() < 250)
        longName += "あ";
    fs::path t = temporarySibling(dir / longName);
    EXPECT_LE(t.filename().string().size(), 255u);
    EXPECT_TRUE(isTemporarySiblingName(t.filename().string()));
    writeFile(t, "x");
    EXPECT_TRUE(fs::exists(t));
}

TEST_F(FileSystemTest, CreateAndRemove) {
    EXPECT_FALSE(files.createFolder(dir / "new"));
    EXPECT_TRUE(files.isFolder(dir / "new"));
    EXPECT_TRUE(files.createFolder(dir / "new"));
    EXPECT_TRUE(files.createFolder(dir / "a" / "b"));
    writeFile(dir / "f", "x");
    EXPECT_FALSE(files.removeFile(dir / "f"));
    EXPECT_TRUE(files.removeFile(dir / "f"));
    EXPECT_TRUE(files.removeFile(dir / "new")) << "folders are not removed as files";
}

TEST_F(FileSystemTest, ShellPrecheck) {
    writeFile(dir / "f.txt", "x");
    EXPECT_EQ(shellPrecheck((dir / "f.txt").string()), 0);
    EXPECT_EQ(shellPrecheck(dir.path().string()), 0);
    EXPECT_EQ(shellPrecheck((dir / "missing.txt").string()), 2);
    EXPECT_EQ(shellPrecheck((dir / "nofolder" / "f.txt").string()), 3);
    EXPECT_EQ(shellPrecheck(""), 2);
}

// The child's verdict as its exit status: 0 acquired, 1 refused.
int acquireInChild(const fs::path& folder) {
    pid_t pid = ::fork();
    if (pid == 0) {
        InstanceLock lock(folder);
        ::_exit(lock.acquire() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(FileSystemTest, InstanceLockAllowsOneInstancePerProgramFolder) {
    fs::create_directory(dir / "prog");
    fs::create_directory(dir / "other");
    {
        InstanceLock first(dir / "prog");
        ASSERT_TRUE(first.acquire());
        EXPECT_TRUE(first.acquire()) << "asking again keeps the lock";
        EXPECT_EQ(acquireInChild(dir / "prog"), 1);
        EXPECT_EQ(acquireInChild(dir / "prog" / ".." / "prog"), 1) << "the same folder spelt otherwise";
        EXPECT_EQ(acquireInChild(dir / "other"), 0);
        InstanceLock second(dir / "prog");
        EXPECT_FALSE(second.acquire());
    }
    EXPECT_EQ(acquireInChild(dir / "prog"), 0) << "released when the holder ends";

    // A holder killed outright leaves no lock behind.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t holder = ::fork();
    if (holder == 0) {
        InstanceLock lock(dir / "prog");
        char ok = lock.acquire() ? '1' : '0';
        (void)!::write(ready[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, '1');
    EXPECT_EQ(acquireInChild(dir / "prog"), 1);
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    InstanceLock after(dir / "prog");
    EXPECT_TRUE(after.acquire());
}

} // namespace
