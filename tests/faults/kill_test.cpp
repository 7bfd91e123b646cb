// kill -9 of the program in the middle of its work: nothing committed is lost, nothing half-written takes a
// real name, and the next start cleans up. Then the termination signals, which end it through its shutdown.
#include "fault_support.h"

using namespace kb;
using namespace kb::faults;

namespace {

constexpr std::int64_t kOldTime = 1136000000; // the earlier backups
constexpr std::int64_t kNewTime = 1136100000; // the sources as they are now
const std::string kEarlierRun = "2005/12/31 23:59:00";
constexpr std::size_t kLongAgo = 200000; // rows of 2004

std::uint64_t sizeOf(const fs::path& p) {
    std::error_code ec;
    auto n = fs::file_size(p, ec);
    return ec ? 0 : n;
}

// One of the first temporary siblings in `dir` whose name starts with ".<name>", or an empty path.
fs::path temporaryOf(const fs::path& dir, const std::string& name) {
    for (const fs::path& t : temporaries(dir))
        if (t.filename().string().rfind("." + name + ".kbtmp-", 0) == 0)
            return t;
    return {};
}

CopyLogRow earlierRow(int seq, const std::string& name, const fs::path& target) {
    return {kEarlierRun, "1", "設定1 【標準】", seq, "○", name, target.string()};
}

// Three large files backed up before, now changed; the run replaces every copy (policy 1).
class KillDuringBackup : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        fs::create_directories(src);
        p.registerSet(1, dst);
        for (std::size_t i = 0; i < names.size(); ++i) {
            writeTagged(src / names[i], size(i), "new " + names[i], true);
            test::setMtime(src / names[i], kNewTime);
            writeTagged(dst / names[i], size(i), "old " + names[i]);
            test::setMtime(dst / names[i], kOldTime);
        }
        // A long history below the limit: every row of the run is counted into it and none is trimmed.
        writeFile(p.dir / "Kestrelbox.ini", "[Option]\r\nSameFile=1\r\nBackupLogMax=1000000\r\n");
        auto store = p.store();
        for (std::size_t i = 0; i < names.size(); ++i) {
            store->insertCopyData("1", (src / names[i]).string());
            store->insertCopyLog(earlierRow(static_cast<int>(i + 1), names[i], dst / names[i]));
        }
        const std::string seed =
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
            std::to_string(kLongAgo) +
            ") INSERT INTO T_CopyLog SELECT printf('2004/%02d/01 00:00:00', i / 20000 + 1), '2', "
            "'設定2 【標準】', i, '○', 'old.txt', '/old/' || i FROM n";
        ASSERT_EQ(exec(*store, seed), SQLITE_OK);
    }

    static std::uint64_t size(std::size_t i) { return kBig + i * 4097; }

    // The state a kill may leave: every copy whole in its old or its new version, a row for each new one
    // except perhaps the last, nothing else under a real name.
    void expectConsistent(std::size_t& renewed, std::size_t& rows) {
        std::vector<CopyLogRow> history = p.history();
        std::vector<CopyLogRow> current;
        std::size_t earlier = 0, longAgo = 0;
        for (const CopyLogRow& r : history) {
            if (r.DateTime < std::string("2005")) {
                EXPECT_EQ(r.FolderPath, "/old/" + std::to_string(r.SeqNo));
                ++longAgo;
            } else if (r.DateTime == kEarlierRun) {
                const std::size_t i = static_cast<std::size_t>(r.SeqNo - 1);
                ASSERT_LT(i, names.size());
                EXPECT_EQ(rowText(r), rowText(earlierRow(static_cast<int>(i + 1), names[i], dst / names[i])));
                ++earlier;
            } else {
                current.push_back(r);
            }
        }
        EXPECT_EQ(earlier, names.size());
        EXPECT_EQ(longAgo, kLongAgo);
        rows = current.size();
        for (std::size_t i = 0; i < current.size(); ++i) {
            EXPECT_EQ(current[i].SeqNo, static_cast<long long>(i + 1));
            EXPECT_EQ(current[i].CopyAns, Text("○"));
            EXPECT_EQ(current[i].FolderPath, Text((dst / names[i]).string()));
        }

        renewed = 0;
        for (std::size_t i = 0; i < names.size(); ++i) {
            const bool isNew = holdsTagged(dst / names[i], size(i), "new " + names[i]);
            const bool isOld = holdsTagged(dst / names[i], size(i), "old " + names[i]);
            EXPECT_TRUE(isNew || isOld) << names[i] << " is neither the earlier nor the new copy";
            EXPECT_EQ(FileSystem().lastWriteTime(dst / names[i]), isNew ? kNewTime : kOldTime) << names[i];
            if (isNew) {
                EXPECT_EQ(renewed++, i) << "copies are made in path order";
            }
            EXPECT_TRUE(holdsTagged(src / names[i], size(i), "new " + names[i])) << "a source changed";
        }
        EXPECT_GE(renewed, rows);
        EXPECT_LE(renewed, rows + 1);

        for (const std::string& name : listFolder(dst))
            EXPECT_TRUE(std::ranges::count(names, name) || isTemporarySiblingName(name)) << name;
    }

    Program p;
    TempDir data{"kbkill"};
    fs::path src = data / "src", dst = data / "dst";
    std::vector<std::string> names = {"a.bin", "b.bin", "c.bin"};
};

TEST_P(KillDuringBackup, LosesNoCommittedRowNorAnyWholeCopyAndTheNextRunCleansUp) {
    const std::string point = GetParam();
    pid_t pid = p.launch({"/AUTO", "1"});
    std::function<bool()> reached;
    if (point == std::string("first_copy_half_written"))
        reached = [&] { return sizeOf(temporaryOf(dst, "a.bin")) > kBig / 2; };
    else
        reached = [&] {
            return !temporaryOf(dst, "c.bin").empty() ||
                   FileSystem().lastWriteTime(dst / "c.bin") == kNewTime;
        };
    ASSERT_TRUE(waitFor([&] { return reached() || exited(pid); }, 120)) << p.err();
    const bool ended = exited(pid);
    if (ended)
        std::printf("note: the run ended before \"%s\"\n", point.c_str());
    p.kill9(pid);

    std::size_t renewed = 0, rows = 0;
    ASSERT_NO_THROW(p.store()) << "the store must open after the kill";
    expectConsistent(renewed, rows);
    if (!ended && point == std::string("first_copy_half_written")) {
        EXPECT_EQ(renewed, 0u);
        EXPECT_EQ(temporaries(dst).size(), 1u) << "the cut copy stays under its temporary name";
    }

    // The next start runs as ever; its run removes what the killed one left.
    EXPECT_EQ(p.run({"/AUTO", "1"}), kExitNormal) << p.err();
    EXPECT_EQ(p.err(), "");
    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_TRUE(holdsTagged(dst / names[i], size(i), "new " + names[i])) << names[i];
    EXPECT_EQ(temporaries(dst), std::vector<fs::path>{});
    EXPECT_EQ(p.history().size(), kLongAgo + names.size() + rows + names.size());
}

INSTANTIATE_TEST_SUITE_P(Points, KillDuringBackup,
                         ::testing::Values("first_copy_half_written", "last_copy_begun"),
                         [](const auto& info) { return std::string(info.param); });

// An archive run killed while the archive is written: the earlier archive of that name stays whole.
TEST(KillDuringArchive, KeepsTheEarlierArchiveAndTheNextRunCleansUp) {
    Program p;
    TempDir data("kbkilla");
    const fs::path src = data / "src", dst = data / "dst";
    fs::create_directories(src);
    writeFile(src / "noise.bin", randomBytes(8u << 20, 7));
    writeTagged(src / "sparse.bin", 32u << 20, "v1");
    writeFile(p.dir / "Kestrelbox.ini", "[Option]\r\nSameFile=1\r\n");
    p.registerSet(1, dst, {src / "noise.bin", src / "sparse.bin"}, "5");
    ASSERT_EQ(p.run({"/AUTO", "1"}), kExitNormal) << p.err();
    ASSERT_EQ(listFolder(dst).size(), 1u);
    const fs::path archive = dst / listFolder(dst)[0];
    const fs::path kept = data / "kept.lzh";
    fs::copy_file(archive, kept);

    writeTagged(src / "sparse.bin", 32u << 20, "v2");
    pid_t pid = p.launch({"/AUTO", "1"});
    ASSERT_TRUE(waitFor(
        [&] { return sizeOf(temporaryOf(dst, archive.filename().string())) > 0 || exited(pid); }, 120))
        << p.err();
    if (exited(pid))
        GTEST_SKIP() << "the archive was complete before the kill could land";
    p.kill9(pid);

    ASSERT_NO_THROW(p.store());
    EXPECT_TRUE(sameBytes(archive, kept));
    EXPECT_EQ(p.history().size(), 2u) << "the killed run wrote no rows before its archive was made";
    EXPECT_FALSE(temporaries(dst).empty()) << "the archive's, maybe a large member's spill file";

    EXPECT_EQ(p.run({"/AUTO", "1"}), kExitNormal) << p.err();
    EXPECT_FALSE(sameBytes(archive, kept));
    EXPECT_EQ(temporaries(dst), std::vector<fs::path>{});
    EXPECT_TRUE(fs::is_empty(p.dir / "TMP"));
    EXPECT_EQ(p.history().size(), 4u);
}

// SIGTERM, SIGINT and SIGHUP (logout, Ctrl-C, a closed terminal) at each moment of the program without a
// display: the process ends through its normal shutdown within the time limit, writes no target after the
// signal, leaves nothing under a temporary name, and keeps the history of what it finished.
enum class Moment { Idle, Copy, Archive };

class Signals : public ::testing::TestWithParam<std::tuple<int, Moment>> {
protected:
    void SetUp() override {
        fs::create_directories(dst);
        fs::create_directories(src);
        writeFile(p.dir / "Kestrelbox.ini", "[Option]\r\nSameFile=1\r\n");
    }

    // The checks every moment shares: nothing under a temporary name anywhere, a store that passes the
    // integrity check of every open, the layout written by the shutdown.
    void expectCleanEnd() {
        EXPECT_EQ(temporaries(dst), std::vector<fs::path>{});
        EXPECT_EQ(temporaries(p.dir.path()), std::vector<fs::path>{});
        EXPECT_TRUE(!fs::exists(p.dir / "TMP") || fs::is_empty(p.dir / "TMP"));
        EXPECT_NO_THROW(p.store());
        EXPECT_NE(p.ini().find("\r\nListViewLog=1\r\n"), std::string::npos) << p.ini();
    }

    Program p{60};
    TempDir data{"kbsignal"};
    fs::path src = data / "src", dst = data / "dst";
};

TEST_P(Signals, EndTheProcessThroughTheShutdownLosingNothing) {
    const auto [signal, moment] = GetParam();
    if (moment == Moment::Idle) {
        pid_t pid = p.launch({});
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        ::kill(pid, signal);
        EXPECT_EQ(p.wait(pid), kExitNormal);
        EXPECT_EQ(p.err(), "");
        EXPECT_EQ(p.files(), (Strings{"Kestrelbox", "Kestrelbox.ini", "Kestrelbox.mdb", "Readme.txt"}));
        expectCleanEnd();
        return;
    }

    // Copy: earlier copies of three large files, which the run replaces in path order. Archive: an earlier
    // archive of today, which the run replaces.
    const bool copy = moment == Moment::Copy;
    const std::vector<std::string> names =
        copy ? Strings{"a.bin", "b.bin", "c.bin"} : Strings{"noise.bin", "sparse.bin"};
    std::vector<fs::path> sources;
    for (const std::string& name : names) {
        writeTagged(src / name, copy ? kBig : kBig / 4, "new " + name, copy);
        if (copy)
            writeTagged(dst / name, kBig, "old " + name);
        sources.push_back(src / name);
    }
    p.registerSet(1, dst, sources, copy ? "0" : "5");
    if (!copy) {
        writeFile(src / "noise.bin", randomBytes(8u << 20, 7));
        ASSERT_EQ(p.run({"/AUTO", "1"}), kExitNormal) << p.err();
        writeTagged(src / "sparse.bin", kBig / 4, "v2");
    }
    const std::vector<std::string> before = test::listFolder(dst);
    const fs::path kept = data / "kept";
    if (!copy)
        fs::copy_file(dst / before.at(0), kept);

    pid_t pid = p.launch({"/AUTO", "1"});
    // The first copy, or the archive, is under way: its temporary file has data.
    ASSERT_TRUE(waitFor(
        [&] {
            std::vector<fs::path> t = temporaries(dst);
            std::error_code ec;
            return (!t.empty() && fs::file_size(t[0], ec) > 0 && !ec) || exited(pid);
        },
        120))
        << p.err();
    if (exited(pid))
        GTEST_SKIP() << "the run ended before the signal could land";
    ::kill(pid, signal);
    EXPECT_EQ(p.wait(pid), kExitRunStopped) << p.err();
    EXPECT_EQ(p.err(), "");
    expectCleanEnd();
    EXPECT_EQ(test::listFolder(dst), before);

    std::vector<CopyLogRow> rows = p.history();
    if (!copy) {
        EXPECT_TRUE(sameBytes(dst / before.at(0), kept)) << "the earlier archive stays";
        EXPECT_EQ(rows.size(), 2u) << "only the earlier run's rows";
        return;
    }
    // The copy in progress completed or left nothing; the files after it were not touched.
    const bool firstDone = holdsTagged(dst / "a.bin", kBig, "new a.bin");
    EXPECT_TRUE(firstDone || holdsTagged(dst / "a.bin", kBig, "old a.bin"));
    for (const char* name : {"b.bin", "c.bin"})
        EXPECT_TRUE(holdsTagged(dst / name, kBig, std::string("old ") + name)) << name;
    ASSERT_EQ(rows.size(), firstDone ? 1u : 0u);
    if (firstDone) {
        EXPECT_EQ(rows[0].FileName, Text("a.bin"));
        EXPECT_EQ(rows[0].CopyAns, Text("○"));
    }
}

std::string caseName(const ::testing::TestParamInfo<std::tuple<int, Moment>>& info) {
    static const char* const moments[] = {"idle", "mid_copy", "mid_archive"};
    return std::string(::sigabbrev_np(std::get<0>(info.param))) + "_" +
           moments[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(EachSignalAtEachMoment, Signals,
                         ::testing::Combine(::testing::Values(SIGTERM, SIGINT, SIGHUP),
                                            ::testing::Values(Moment::Idle, Moment::Copy, Moment::Archive)),
                         caseName);

} // namespace
