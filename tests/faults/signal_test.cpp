// SIGTERM, SIGINT and SIGHUP (logout, Ctrl-C, a closed terminal) at each moment of the program without a
// display: the process ends through its normal shutdown within the time limit, writes no target after the
// signal, leaves nothing under a temporary name, and keeps the history of what it finished.
#include "fault_support.h"

using namespace kb;
using namespace kb::faults;

namespace {

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
