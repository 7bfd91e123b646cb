// Backup runs through the real main window (offscreen), started by its Backup toolbar button, beside `cp -p`
// of the same files on the same disk in the same iteration: one 1 GiB file, and 5,000 files of 4 KiB with
// history recording on and 10,000 history rows already stored. The policy overwrites (SameFile 1), the
// method is the plain one (0). Every copy and target is removed again before the next step, so each step
// writes fresh files, and the disk is synced before each so that no step pays for another's writeback.
// The 5,000 files once more over the copies of a run before: each replaced backup's data reaches the disk
// before its rename, beside `cp -p` over its own earlier copies followed by `sync`.

#include <benchmark/benchmark.h>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <QApplication>
#include <QProgressBar>
#include <sqlite3.h>
#include <string>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

#include "app/settings.h"
#include "bench_report.h"
#include "bench_ui_support.h"
#include "platform/file_system.h"

namespace {

using namespace kb::bench;
using Clock = std::chrono::steady_clock;

constexpr std::uintmax_t kLargeSize = std::uintmax_t{1} << 30;
constexpr std::uintmax_t kLargeNeeds = std::uintmax_t{3} << 30;
constexpr int kSmallCount = 5000;
constexpr std::size_t kSmallSize = 4096;
constexpr long long kSeededHistory = 10000;

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The command's time in milliseconds, or NaN when it failed.
double timeCommand(const std::string& command) {
    auto start = Clock::now();
    int rc = std::system(command.c_str());
    double ms = msSince(start);
    return rc == 0 ? ms : NAN;
}

void emptyFolder(const fs::path& dir) {
    for (const auto& e : fs::directory_iterator(dir))
        fs::remove_all(e.path());
}

std::uintmax_t freeBytes(const fs::path& dir) {
    struct statvfs st {};
    if (::statvfs(dir.c_str(), &st) != 0)
        return 0;
    return static_cast<std::uintmax_t>(st.f_bavail) * st.f_frsize;
}

// Incompressible content, so that no layer below can make the copy cheaper than the bytes.
void writeLargeFile(const fs::path& p, std::uintmax_t size) {
    std::ofstream out(p, std::ios::binary);
    std::vector<std::uint64_t> block((1u << 20) / sizeof(std::uint64_t));
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    for (std::uintmax_t written = 0; written < size; written += block.size() * sizeof(std::uint64_t)) {
        for (auto& w : block) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        out.write(reinterpret_cast<const char*>(block.data()),
                  static_cast<std::streamsize>(block.size() * sizeof(std::uint64_t)));
    }
    if (!out.flush())
        throw std::runtime_error("cannot write " + p.string());
}

// A program folder whose set 1 backs up `paths` into `destination` with the plain method, overwriting.
fs::path prepareProgram(const fs::path& dir, const std::vector<std::string>& paths,
                        const fs::path& destination, long long history) {
    const fs::path program = makeProgramFolder(dir);
    // The limit is above what the runs add, so that every seeded row stays and each file still pays for the
    // count.
    setOneBacksUp(program, paths, destination, 100000, [&](kb::Store& s) { seedHistory(s, history); });
    return program;
}

void BM_BackupLargeFile(benchmark::State& state) {
    ScratchDir dir("kb_bench_large");
    const fs::path src = dir / "src", dest = dir / "dest", cpDest = dir / "cp";
    for (const fs::path& p : {src, dest, cpDest})
        fs::create_directories(p);
    const fs::path file = src / "large.bin";
    writeLargeFile(file, kLargeSize);
    ProgramRun run(prepareProgram(dir / "program", {file.string()}, dest, 0));
    if (!run.start()) {
        state.SkipWithError(("start-up failed: " + joinedFailures(run.prompter)).c_str());
        return;
    }
    const std::string cp = "cp -p -- " + quote(file.string()) + " " + quote(cpDest.string() + "/");
    const std::string cpSync = cp + " && sync -- " + quote((cpDest / "large.bin").string());
    double cpMs = 0, cpSyncMs = 0;
    for (auto _ : state) {
        ::sync();
        cpMs += timeCommand(cp);
        emptyFolder(cpDest);
        ::sync();

        auto start = Clock::now();
        std::string error = pressBackup(run, 1);
        state.SetIterationTime(msSince(start) / 1000);
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            return;
        }
        if (fs::file_size(dest / "large.bin") != kLargeSize) {
            state.SkipWithError("the copy has the wrong size");
            return;
        }
        emptyFolder(dest);
        ::sync();

        cpSyncMs += timeCommand(cpSync);
        emptyFolder(cpDest);
    }
    using benchmark::Counter;
    state.counters["cp_ms"] = Counter(cpMs, Counter::kAvgIterations);
    state.counters["cp_sync_ms"] = Counter(cpSyncMs, Counter::kAvgIterations);
}

// Presses Backup on the small files as the timed part of the iteration; false (the iteration skipped) unless
// every file was backed up and has its history row.
bool timedSmallRun(benchmark::State& state, ProgramRun& run) {
    const auto start = Clock::now();
    std::string error = pressBackup(run, kSmallCount);
    state.SetIterationTime(msSince(start) / 1000);
    if (error.empty() && run.store().countCopyLog() != kSeededHistory + kSmallCount)
        error = "the history does not hold a row per file";
    if (!error.empty())
        state.SkipWithError(error.c_str());
    return error.empty();
}

void BM_BackupSmallFiles(benchmark::State& state, const fs::path& base) {
    ScratchDir dir("kb_bench_small", base);
    const fs::path src = dir / "src";
    const auto paths = makeFiles(src, kSmallCount, kSmallSize);
    ProgramRun run(prepareProgram(dir / "program", paths, dir / "dest", kSeededHistory));
    if (!run.start()) {
        state.SkipWithError(("start-up failed: " + joinedFailures(run.prompter)).c_str());
        return;
    }
    auto* bar = run.window().findChild<QProgressBar*>("progress");
    if (!bar) {
        state.SkipWithError("the window has no progress bar named progress");
        return;
    }
    double cpMs = 0, firstMs = 0, lastMs = 0, allMs = 0;
    int iteration = 0;
    for (auto _ : state) {
        // Fresh folders instead of emptied ones: right after thousands of deletions the file system looks
        // harder for a free inode, which would charge one side for the other's clean-up.
        const std::string n = std::to_string(iteration++);
        const fs::path dest = dir / ("dest" + n), cpDest = dir / ("cp" + n);
        fs::create_directories(dest);
        fs::create_directories(cpDest);
        run.store().updateFolderPath("1", dest.string());

        ::sync();
        cpMs += timeCommand("cp -p -- " + quote(src.string()) + "/* " + quote(cpDest.string() + "/"));
        ::sync();

        // Files done of all files, as the bar shows them: the time of every thousandth.
        std::vector<Clock::time_point> marks(kSmallCount / 1000 + 1);
        auto connection = QObject::connect(bar, &QProgressBar::valueChanged, [&marks](int done) {
            if (done % 1000 == 0 && static_cast<std::size_t>(done / 1000) < marks.size())
                marks[static_cast<std::size_t>(done / 1000)] = Clock::now();
        });
        const bool done = timedSmallRun(state, run);
        QObject::disconnect(connection);
        if (!done)
            return;
        auto ms = [](Clock::time_point a, Clock::time_point b) {
            return std::chrono::duration<double, std::milli>(b - a).count();
        };
        firstMs += ms(marks[0], marks[1]);
        lastMs += ms(marks[marks.size() - 2], marks.back());
        allMs += ms(marks[0], marks.back());

        // Back to the seeded history for the next iteration.
        sqlite3_exec(run.store().handle(), "DELETE FROM T_CopyLog WHERE DateTime >= '2007'", nullptr, nullptr,
                     nullptr);
        run.window().Fun_LogRefresh();
    }
    using benchmark::Counter;
    state.counters["cp_ms"] = Counter(cpMs, Counter::kAvgIterations);
    state.counters["first1000_ms"] = Counter(firstMs, Counter::kAvgIterations);
    state.counters["last1000_ms"] = Counter(lastMs, Counter::kAvgIterations);
    state.counters["all_ms"] = Counter(allMs, Counter::kAvgIterations);
}

void BM_BackupSmallFilesReplacing(benchmark::State& state) {
    ScratchDir dir("kb_bench_replace");
    const fs::path src = dir / "src", dest = dir / "dest", cpDest = dir / "cp";
    const auto paths = makeFiles(src, kSmallCount, kSmallSize);
    ProgramRun run(prepareProgram(dir / "program", paths, dest, kSeededHistory));
    if (!run.start()) {
        state.SkipWithError(("start-up failed: " + joinedFailures(run.prompter)).c_str());
        return;
    }
    const std::string cp = "cp -p -- " + quote(src.string()) + "/* ";
    // The earlier copies that both sides replace.
    for (const fs::path& d : {dest, cpDest}) {
        fs::create_directories(d);
        if (std::isnan(timeCommand(cp + quote(d.string() + "/")))) {
            state.SkipWithError("cannot make the earlier copies");
            return;
        }
    }
    double cpSyncMs = 0;
    for (auto _ : state) {
        ::sync();
        cpSyncMs += timeCommand(cp + quote(cpDest.string() + "/") + " && sync");
        ::sync();
        if (!timedSmallRun(state, run))
            return;
        sqlite3_exec(run.store().handle(), "DELETE FROM T_CopyLog WHERE DateTime >= '2007'", nullptr, nullptr,
                     nullptr);
        run.window().Fun_LogRefresh();
    }
    state.counters["cp_sync_ms"] = benchmark::Counter(cpSyncMs, benchmark::Counter::kAvgIterations);
}

} // namespace

int main(int argc, char** argv) {
    useOffscreenPlatform();
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);

    const std::uintmax_t free = freeBytes(fs::temp_directory_path());
    const bool large = free >= kLargeNeeds;
    if (large)
        benchmark::RegisterBenchmark("BM_BackupLargeFile", BM_BackupLargeFile)
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime()
            ->Iterations(3);
    else
        std::printf("NOTE backup_1GiB skipped: %.1f GiB free in %s, 3 GiB needed\n",
                    static_cast<double>(free) / (1u << 30), fs::temp_directory_path().c_str());
    benchmark::RegisterBenchmark("BM_BackupSmallFiles", BM_BackupSmallFiles, fs::temp_directory_path())
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(3);
    // On the disk a file's cost is mostly the file system's search for a free inode, which moves from run to
    // run for both sides; on tmpfs what is left is the program's own.
    benchmark::RegisterBenchmark("BM_BackupSmallFilesTmpfs", BM_BackupSmallFiles, fs::path("/dev/shm"))
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(3);

    benchmark::RegisterBenchmark("BM_BackupSmallFilesReplacing", BM_BackupSmallFilesReplacing)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(3);

    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    if (large) {
        const double ours = reporter.time("BM_BackupLargeFile");
        // A run ends with its copies on the disk; the peer that leaves the copy as safe is cp -p with a sync.
        benchLine("backup_1GiB", ours, "ms", "cp_-p", reporter.counter("BM_BackupLargeFile", "cp_ms"), "-");
        benchLine("backup_1GiB_vs_cp_sync", ours, "ms", "cp_-p_+_sync",
                  reporter.counter("BM_BackupLargeFile", "cp_sync_ms"), "ratio<=1.10");
    }
    benchLine("backup_5000x4KiB", reporter.time("BM_BackupSmallFiles"), "ms", "cp_-p",
              reporter.counter("BM_BackupSmallFiles", "cp_ms"), "ratio<=5");
    benchLine("backup_5000x4KiB_last1000", reporter.counter("BM_BackupSmallFiles", "last1000_ms"), "ms",
              "first_1000_files", reporter.counter("BM_BackupSmallFiles", "first1000_ms"), "ratio<=1.20");
    // The cost of one file inside the run, from the bar's first to its last step, beside cp -p's per file.
    benchLine("backup_5000x4KiB_per_file",
              reporter.counter("BM_BackupSmallFiles", "all_ms") * 1000 / kSmallCount, "us", "cp_-p_per_file",
              reporter.counter("BM_BackupSmallFiles", "cp_ms") * 1000 / kSmallCount, "ratio<=2");
    benchLine("backup_5000x4KiB_per_file_tmpfs",
              reporter.counter("BM_BackupSmallFilesTmpfs", "all_ms") * 1000 / kSmallCount, "us",
              "cp_-p_per_file", reporter.counter("BM_BackupSmallFilesTmpfs", "cp_ms") * 1000 / kSmallCount,
              "ratio<=2");
    benchLine("backup_5000x4KiB_replacing", reporter.time("BM_BackupSmallFilesReplacing"), "ms",
              "cp_-p_+_sync", reporter.counter("BM_BackupSmallFilesReplacing", "cp_sync_ms"), "-");
    benchmark::Shutdown();
    return 0;
}
