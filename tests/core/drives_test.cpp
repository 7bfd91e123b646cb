// Backups onto the file systems users' sticks and disks have, each mounted as a desktop mounts it: FAT that
// keeps no permission bits and times in 2-second steps, exFAT, NTFS with Windows' name rules, a small tmpfs.
#include "support/test_support.h"
#include "support/volume.h"

using namespace kb;
using namespace kb::test;

namespace {

struct Drive {
    const char* label;
    Volume::Kind kind;
    std::uint64_t bytes;
    int timeStep;       // seconds between the last-write times it keeps
    bool keepsReadOnly; // holds the read-only flag (the fuse drivers of FAT and exFAT and ntfs-3g do not)
    std::vector<std::pair<std::string, int>> refused; // source names whose targets it cannot hold, errno
};

const std::vector<std::pair<std::string, int>> kWindowsNames = {
    {"what?.txt", EINVAL}, {"a:b.txt", EINVAL}, {"dot.", EINVAL}, {"blank. ", EINVAL}};

const Drive kDrives[] = {
    {"fat32", Volume::Kind::Fat, 64u << 20, 2, false, kWindowsNames},
    {"exfat", Volume::Kind::Exfat, 16u << 20, 1, false, kWindowsNames},
    {"ntfs", Volume::Kind::Ntfs, 16u << 20, 1, false, kWindowsNames},
    {"tmpfs", Volume::Kind::Tmpfs, 4u << 20, 1, true, {{std::string(250, 'n') + ".txt", ENAMETOOLONG}}},
};

constexpr std::int64_t kOddSecond = 1136118601; // 2006-01-01 12:30:01 UTC

class OnDrive : public ::testing::TestWithParam<Drive> {
protected:
    // The marks of one automatic run under the policy, in the order of the files.
    std::vector<std::string> run(int policy) {
        fx.store().deleteAllCopyLog();
        fx.state.SameFile = static_cast<std::int16_t>(policy);
        EXPECT_TRUE(fx.backUp());
        return fx.marks();
    }

    CoreFixture fx;
    TempDir work{"kbdrive"};
};

TEST_P(OnDrive, CopyReplaceNewerOnlyReadOnlyRefusedNamesAndArchive) {
    const Drive& d = GetParam();
    Volume volume(d.kind, work.path(), d.bytes);
    if (!volume.unavailable().empty())
        GTEST_SKIP() << d.label << ": " << volume.unavailable();
    ASSERT_TRUE(volume.mounted());
    const fs::path dest = volume.path() / "Backup";
    fs::create_directories(dest);
    // What a FUSE driver does may stall at any file: a run shows every file's name there.
    EXPECT_EQ(fx.files.kindAt(dest) == FileSystemKind::Local, d.kind == Volume::Kind::Tmpfs);
    fx.store().updateFolderPath("1", dest.string());
    fx.store().updateTab("1", "設定1", "1");

    // The store's order is the paths' order: a.txt first, then the others by name.
    const fs::path a = fx.addFile("a.txt", "first");
    setMtime(a, kOddSecond, 500000000);
    const fs::path ro = fx.addFile("ro.txt", "read only");
    ::chmod(ro.c_str(), 0444);
    std::map<std::string, std::string> refusedFirst{{"ro.txt", ""}};
    std::vector<std::string> expectedTexts;
    for (const auto& [name, err] : d.refused) {
        const fs::path p = fx.addFile(name, "refused");
        refusedFirst[name] = "×";
        expectedTexts.push_back(copyError(p, err));
    }
    std::sort(expectedTexts.begin(), expectedTexts.end());
    // The marks of a run: a.txt's, the read-only file's, × for each refused name.
    auto marks = [&](const std::string& first, const std::string& readOnly) {
        std::vector<std::string> out{first};
        for (const auto& [name, mark] : refusedFirst)
            out.push_back(mark.empty() ? readOnly : mark);
        return out;
    };
    const std::vector<std::string> firstRun = marks("○", "○"), keptRun = marks("△", "△");

    EXPECT_EQ(run(0), firstRun);
    std::vector<std::string> texts = fx.ui.texts();
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(texts, expectedTexts);
    EXPECT_EQ(listFolder(dest), (Strings{"a_060101.txt", "ro_060101.txt"}))
        << "nothing of the refused names, no temporary file";
    EXPECT_EQ(readFile(dest / "a_060101.txt"), "first");
    struct stat st {};
    ASSERT_EQ(::stat((dest / "a_060101.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, kOddSecond - kOddSecond % d.timeStep)
        << "the source's time at the drive's step";
    EXPECT_EQ(fx.files.attributes(dest / "ro_060101.txt") & attr::ReadOnly,
              d.keepsReadOnly ? attr::ReadOnly : 0);

    // Unchanged sources are never newer than their own copies, whatever the step.
    EXPECT_EQ(run(3), keptRun);
    writeFile(a, "second");
    setMtime(a, kOddSecond + 10);
    EXPECT_EQ(run(3), marks("○", "△"));
    EXPECT_EQ(readFile(dest / "a_060101.txt"), "second");
    EXPECT_EQ(run(1), firstRun) << "the read-only copy is replaced too";
    EXPECT_EQ(readFile(dest / "ro_060101.txt"), "read only");

    // An archive of every file, names any drive refuses included, then kept under policy 3 while it is no
    // older than now at the drive's step.
    fx.store().updateTab("1", "設定1", "5");
    const std::vector<std::string> written(firstRun.size(), "○"), kept(firstRun.size(), "△");
    EXPECT_EQ(run(1), written);
    const fs::path archive = dest / "060101.lzh";
    std::string listing = "a.txt\n";
    for (const auto& [name, mark] : refusedFirst)
        listing += name + "\n";
    EXPECT_EQ(archiveListing(archive), listing);
    setMtime(archive, fromLocalTime(fx.clock.now()));
    EXPECT_EQ(run(3), kept);
    EXPECT_EQ(listFolder(dest), (Strings{"060101.lzh", "a_060101.txt", "ro_060101.txt"}));
}

INSTANTIATE_TEST_SUITE_P(Drives, OnDrive, ::testing::ValuesIn(kDrives),
                         [](const ::testing::TestParamInfo<Drive>& info) { return info.param.label; });

} // namespace
