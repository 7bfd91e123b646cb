#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "backup/file_copy.h"
#include "support/test_support.h"

using namespace kb;
using namespace kb::test;
namespace fs = std::filesystem;

namespace {

// Writes `limit` bytes of the content, then fails as a full disk would.
class FailingCopy : public FileSystem {
public:
    std::uint64_t limit = 0;

protected:
    std::error_code copyContent(int fromFd, int toFd, std::uint64_t) override {
        std::vector<char> buf(limit);
        ssize_t got = limit ? ::read(fromFd, buf.data(), buf.size()) : 0;
        if (got > 0 && ::write(toFd, buf.data(), static_cast<size_t>(got)) != got)
            return {errno, std::generic_category()};
        return {ENOSPC, std::generic_category()};
    }
};

std::vector<std::string> names(const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir))
        out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

class FileCopyTest : public ::testing::Test {
protected:
    FileCopyTest() {
        fs::create_directories(src);
        fs::create_directories(dst);
        writeFile(source, "new content");
        setMtime(source, kSourceTime);
    }

    bool copy(const fs::path& from, const fs::path& to, bool& copied, bool staging = false) {
        return Fun_FileCopy(fx.services, from.string(), to.string(), copied, staging);
    }
    std::string logText() { return readFile(fx.folder.errorLog()); }

    static constexpr std::int64_t kSourceTime = 1136118600; // 2006-01-01 12:30:00 UTC
    CoreFixture fx;
    fs::path src = fx.dir / "src";
    fs::path dst = fx.dir / "dst";
    fs::path source = src / "test.txt";
    fs::path target = dst / "test.txt";
};

TEST_F(FileCopyTest, AbsentTargetIsWrittenUnderEveryPolicyWithTimeAndFlags) {
    for (int policy : {0, 1, 2, 3, 4, 9, -1}) {
        fs::remove(target);
        fx.state.SameFile = static_cast<std::int16_t>(policy);
        bool copied = false;
        EXPECT_TRUE(copy(source, target, copied)) << policy;
        EXPECT_TRUE(copied) << policy;
        EXPECT_EQ(readFile(target), "new content");
        EXPECT_EQ(fx.files.lastWriteTime(target), kSourceTime);
    }
    EXPECT_TRUE(fx.ui.messages.empty());
    EXPECT_EQ(names(dst), std::vector<std::string>{"test.txt"});
}

TEST_F(FileCopyTest, ExistingTargetFollowsThePolicy) {
    enum class Target { Plain, ReadOnly, Hidden, Older, Equal, Newer, EqualToTheSecond };
    struct Case {
        int policy;
        Target kind;
        bool replaced;
    };
    const Case cases[] = {
        {0, Target::Plain, false},    {0, Target::Older, false}, {1, Target::Plain, true},
        {1, Target::ReadOnly, true},  {1, Target::Newer, true},  {2, Target::Plain, true},
        {2, Target::ReadOnly, false}, {2, Target::Hidden, true}, {3, Target::Older, true},
        {3, Target::Equal, false},    {3, Target::Newer, false}, {3, Target::EqualToTheSecond, false},
        {7, Target::ReadOnly, true},  {-2, Target::Plain, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("policy " + std::to_string(c.policy) + " kind " +
                     std::to_string(static_cast<int>(c.kind)));
        const fs::path t = c.kind == Target::Hidden ? dst / ".test.txt" : target;
        ::chmod(t.c_str(), 0644);
        fs::remove(t);
        writeFile(t, "old");
        std::int64_t time = kSourceTime;
        if (c.kind == Target::Older)
            time -= 60;
        if (c.kind == Target::Newer)
            time += 60;
        setMtime(t, time);
        if (c.kind == Target::EqualToTheSecond) {
            struct timespec ts[2] = {{kSourceTime, 900000000}, {kSourceTime, 900000000}};
            ::utimensat(AT_FDCWD, t.c_str(), ts, 0);
        }
        if (c.kind == Target::ReadOnly)
            ::chmod(t.c_str(), 0444);
        fx.state.SameFile = static_cast<std::int16_t>(c.policy);

        bool copied = !c.replaced;
        EXPECT_TRUE(copy(source, t, copied));
        EXPECT_EQ(copied, c.replaced);
        EXPECT_EQ(readFile(t), c.replaced ? "new content" : "old");
        // A replaced target carries the source's flags, so a read-only old copy does not stay read-only.
        if (c.replaced) {
            EXPECT_EQ(fx.files.attributes(t) & attr::ReadOnly, 0);
        }
    }
    EXPECT_TRUE(fx.ui.messages.empty());
}

TEST_F(FileCopyTest, PolicyFourAsksForEachClashWithTheExactText) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    writeFile(target, std::string(1536, 'o'));
    setMtime(target, kSourceTime - 86400 - 65);
    fx.state.SameFile = 4;
    fx.ui.answers = {MsgAnswer::No, MsgAnswer::Yes};

    bool copied = true;
    EXPECT_TRUE(copy(source, target, copied));
    EXPECT_FALSE(copied);
    EXPECT_EQ(readFile(target).size(), 1536u);
    ASSERT_EQ(fx.ui.messages.size(), 1u);
    EXPECT_EQ(fx.ui.messages[0].text,
              "バックアップ先のフォルダには既に 'test.txt' ファイルが存在します。\r\n\r\n\r\n"
              "現在のファイル\r\n"
              "  サイズ: 1.5KB   更新日時: 2005年12月31日 12:28:55\r\n\r\n"
              "に次の新しいファイルを上書きしますか\r\n"
              "  サイズ: 11ﾊﾞｲﾄ   更新日時: 2006年01月01日 12:30:00");
    EXPECT_EQ(fx.ui.messages[0].icon, MsgIcon::Question);
    EXPECT_EQ(fx.ui.messages[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(fx.ui.messages[0].title, "Kestrelbox");

    EXPECT_TRUE(copy(source, target, copied));
    EXPECT_TRUE(copied);
    EXPECT_EQ(readFile(target), "new content");
    EXPECT_TRUE(copy(source, target, copied));
    EXPECT_EQ(fx.ui.messages.size(), 3u);
}

TEST_F(FileCopyTest, RefusesToCopyAFileOntoItself) {
    fs::create_symlink(source, dst / "link.txt");
    const std::string spellings[] = {source.string(), (src / "." / "test.txt").string(),
                                     (src / ".." / "src" / "test.txt").string(), (dst / "link.txt").string()};
    fx.state.SameFile = 1;
    for (const std::string& to : spellings) {
        fx.ui.messages.clear();
        bool copied = true;
        EXPECT_FALSE(copy(source, to, copied)) << to;
        EXPECT_FALSE(copied);
        ASSERT_EQ(fx.ui.messages.size(), 1u);
        EXPECT_EQ(fx.ui.messages[0].text,
                  "下記のファイルをコピーできませんでした (コピー元とコピー先が同じです)\r\n\r\n" +
                      source.string());
        EXPECT_EQ(fx.ui.messages[0].icon, MsgIcon::Critical);
        EXPECT_EQ(readFile(source), "new content");
        EXPECT_EQ(fx.files.lastWriteTime(source), kSourceTime);
    }
    EXPECT_TRUE(fs::is_symlink(dst / "link.txt"));
    EXPECT_NE(logText().find("[mdlMain]-[Fun_FileCopy] "), std::string::npos);
}

TEST_F(FileCopyTest, VanishedSourceAndUnwritableTargetsAreReported) {
    bool copied = true;
    EXPECT_FALSE(copy(src / "gone.txt", target, copied));
    EXPECT_FALSE(copied);
    ASSERT_EQ(fx.ui.messages.size(), 1u);
    EXPECT_EQ(fx.ui.messages[0].text,
              "下記のファイルをコピーできませんでした (ファイルが見つかりませんでした)\r\n\r\n" +
                  (src / "gone.txt").string());

    EXPECT_FALSE(copy(source, dst / "no-such-folder" / "test.txt", copied));
    fs::create_directory(dst / "test.txt");
    EXPECT_FALSE(copy(source, target, copied));
    EXPECT_TRUE(fs::is_directory(target));
    ASSERT_EQ(fx.ui.messages.size(), 3u);
    for (const auto& m : fx.ui.messages) {
        EXPECT_EQ(m.text.rfind("下記のファイルをコピーできませんでした (", 0), 0u);
        EXPECT_EQ(m.text.find("()"), std::string::npos) << "a run-time failure carries its description";
    }
    EXPECT_EQ(names(dst), std::vector<std::string>{"test.txt"});
}

TEST_F(FileCopyTest, FailureMidCopyKeepsTheOldBackupAndLeavesNoTemporaryFile) {
    FailingCopy failing;
    failing.limit = 4;
    CoreFixture faulty(true, &failing);
    faulty.state.SameFile = 1;
    writeFile(target, "previous backup");
    setMtime(target, kSourceTime - 600);
    ::chmod(target.c_str(), 0444);

    bool copied = true;
    EXPECT_FALSE(Fun_FileCopy(faulty.services, source.string(), target.string(), copied, false));
    EXPECT_FALSE(copied);
    EXPECT_EQ(readFile(target), "previous backup");
    EXPECT_EQ(faulty.files.lastWriteTime(target), kSourceTime - 600);
    EXPECT_EQ(names(dst), std::vector<std::string>{"test.txt"});
    ASSERT_EQ(faulty.ui.messages.size(), 1u);
    EXPECT_NE(faulty.ui.messages[0].text.find(std::error_code(ENOSPC, std::generic_category()).message()),
              std::string::npos);

    fs::remove(target);
    EXPECT_FALSE(Fun_FileCopy(faulty.services, source.string(), target.string(), copied, false));
    EXPECT_TRUE(names(dst).empty());
    EXPECT_EQ(readFile(source), "new content");
}

TEST_F(FileCopyTest, ReadOnlySourceGivesReadOnlyCopiesThatPolicyOneStillReplaces) {
    ::chmod(source.c_str(), 0444);
    fx.state.SameFile = 1;
    bool copied = false;
    EXPECT_TRUE(copy(source, target, copied));
    EXPECT_NE(fx.files.attributes(target) & attr::ReadOnly, 0);

    ::chmod(source.c_str(), 0644);
    writeFile(source, "second run");
    ::chmod(source.c_str(), 0444);
    EXPECT_TRUE(copy(source, target, copied));
    EXPECT_TRUE(copied);
    EXPECT_EQ(readFile(target), "second run");
    EXPECT_NE(fx.files.attributes(target) & attr::ReadOnly, 0);
    EXPECT_TRUE(fx.ui.messages.empty());
}

TEST_F(FileCopyTest, StagingAlwaysOverwrites) {
    fx.state.SameFile = 0;
    writeFile(target, "old");
    ::chmod(target.c_str(), 0444);
    bool copied = false;
    EXPECT_TRUE(copy(source, target, copied, true));
    EXPECT_TRUE(copied);
    EXPECT_EQ(readFile(target), "new content");

    fx.state.SameFile = 4;
    EXPECT_TRUE(copy(source, target, copied, true));
    EXPECT_TRUE(fx.ui.messages.empty());
}

} // namespace
