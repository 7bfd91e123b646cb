// The history at scale, through the real main window offscreen. A run of 1,000 files of 4 KiB recorded into
// histories of 1,000, 100,000 and 1,000,000 rows (BackupLogMax above the count, so every row is kept), each
// in a process of its own, the three taking turns within each iteration. And a program holding 1,000,000 rows
// started up to an idle window, made to export the whole history as CSV and closed (the close compacts the
// store), in a child process whose peak memory is measured, the export's apart.

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <sqlite3.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "app/settings.h"
#include "bench_report.h"
#include "bench_ui_support.h"
#include "platform/file_system.h"
#include "store/compact.h"
#include "ui/history/history_model.h"

namespace {

using namespace kb::bench;
using Clock = std::chrono::steady_clock;

constexpr int kRunFiles = 1000;
constexpr long long kHistories[] = {1000, 100000, 1000000};
constexpr long long kStartRows = 1000000;

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// The processor time of the process in user mode: the figure that other jobs on the machine stretch least.
// (Its time in the kernel includes the writeback of every file system that a run's final flush reaches,
// whoever dirtied it.)
double cpuMs() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec) * 1e3 + static_cast<double>(u.ru_utime.tv_usec) / 1e3;
}

double msOf(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(t.time_since_epoch()).count();
}

// The seeded stores, made once per size and copied for each use.
const fs::path& seededStore(long long rows) {
    static ScratchDir seeds("kb_bench_seeds");
    static std::map<long long, fs::path> made;
    auto [it, added] = made.emplace(rows, seeds / ("seed" + std::to_string(rows) + ".mdb"));
    if (added) {
        kb::Store::create(it->second);
        fillStore(it->second, [rows](kb::Store& s) { seedHistory(s, rows); });
    }
    return it->second;
}

// A program folder whose set 1 backs up `paths` with the plain method, overwriting, every row recorded.
fs::path prepareProgram(const fs::path& dir, const fs::path& seed, const std::vector<std::string>& paths) {
    fs::create_directories(dir);
    fs::copy_file(seed, dir / "Kestrelbox.mdb");
    setOneBacksUp(dir, paths, {}, 2000000);
    return dir;
}

long memoryKb(const char* key) {
    long kb = 0;
    FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    while (status && std::fgets(line, sizeof line, status))
        if (std::strncmp(line, key, std::strlen(key)) == 0)
            kb = std::atol(line + std::strlen(key));
    if (status)
        std::fclose(status);
    return kb;
}

void resetPeak() {
    if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
}

// The child's part: start, idle, export, close. Prints the moments (steady clock, ms) and its peak memory at
// idle.
int startAndClose(const char* folder) {
    const double begun = msOf(Clock::now());
    useOffscreenPlatform();
    int argc = 1;
    char name[] = "bench_ui_history";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    static std::vector<std::pair<std::string, double>> steps;
    kb::detail::compactStepHook = [](const char* step) { steps.emplace_back(step, msOf(Clock::now())); };
    double idle = 0, exportStart = 0, exported = 0, closeStart = 0, closed = 0;
    long idlePeakKb = 0, exportPeakKb = 0;
    {
        ProgramRun run{fs::path(folder)};
        if (!run.start()) {
            std::printf("FAILED %s\n", joinedFailures(run.prompter).c_str());
            return 1;
        }
        while (QAbstractEventDispatcher::instance()->processEvents(QEventLoop::AllEvents)) {
        }
        idle = msOf(Clock::now());
        if (run.window().historyModel().rowCount() == 0) {
            std::printf("FAILED the history list is empty\n");
            return 1;
        }
        idlePeakKb = memoryKb("VmHWM:");
        // The File menu's export of the whole history, its own peak apart: the peak is set back to what
        // the process holds now, so what it reaches next is the export's.
        const fs::path csv = fs::path(folder) / "history.csv";
        run.prompter.savePath = csv.string();
        resetPeak();
        const long heldKb = memoryKb("VmRSS:");
        exportStart = msOf(Clock::now());
        run.window().M_File_Click(6);
        exported = msOf(Clock::now());
        exportPeakKb = memoryKb("VmHWM:") - heldKb;
        if (run.prompter.boxes.empty() || run.prompter.boxes.back() != "出力完了　　　" ||
            fs::file_size(csv) < static_cast<std::uintmax_t>(kStartRows) * 50) {
            std::printf("FAILED the export\n");
            return 1;
        }
        fs::remove(csv);
        resetPeak();
        closeStart = msOf(Clock::now());
        run.window().close();
        closed = msOf(Clock::now());
        if (!run.prompter.failures.empty()) {
            std::printf("FAILED %s\n", joinedFailures(run.prompter).c_str());
            return 1;
        }
    }
    std::printf("begun %.3f\nidle %.3f\nidle_peak_kb %ld\nexport %.3f\nexport_end %.3f\nexport_peak_kb %ld\n"
                "close %.3f\nclosed %.3f\n",
                begun, idle, idlePeakKb, exportStart, exported, exportPeakKb, closeStart, closed);
    for (const auto& [step, at] : steps)
        std::printf("%s %.3f\n", step.c_str(), at);
    return 0;
}

// The child's part of the history runs: its window on `folder` records `runs` runs of 1,000 files after
// one that is not timed (it pays the process's one count of the history, printed apart). Prints the mean
// wall and user processor time of a timed run.
int historyRuns(const char* folder, int runs) {
    useOffscreenPlatform();
    int argc = 1;
    char name[] = "bench_ui_history";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    ProgramRun run{fs::path(folder)};
    if (!run.start()) {
        std::printf("FAILED %s\n", joinedFailures(run.prompter).c_str());
        return 1;
    }
    const long long stored = run.store().countCopyLog();
    double wall = 0, cpu = 0, firstCount = 0;
    for (int i = 0; i <= runs; ++i) {
        const fs::path dest = fs::path(folder) / ("dest" + std::to_string(i));
        fs::create_directories(dest);
        run.store().updateFolderPath("1", dest.string());
        if (i == 0) {
            auto start = Clock::now();
            run.store().historyRows();
            firstCount = msSince(start);
        }
        ::sync();
        auto start = Clock::now();
        const double cpuStart = cpuMs();
        const std::string error = pressBackup(run, kRunFiles);
        if (i > 0) {
            wall += msSince(start);
            cpu += cpuMs() - cpuStart;
        }
        if (!error.empty() || run.store().countCopyLog() != stored + kRunFiles) {
            std::printf("FAILED %s\n",
                        error.empty() ? "the history does not hold a row per file" : error.c_str());
            return 1;
        }
        // Back to the seeded history, outside the time.
        sqlite3_exec(run.store().handle(), "DELETE FROM T_CopyLog WHERE DateTime >= '2007'", nullptr, nullptr,
                     nullptr);
        run.store().historyRows();
        run.window().Fun_LogRefresh();
        fs::remove_all(dest);
    }
    std::printf("run_ms %.3f\ncpu_ms %.3f\nfirst_count_ms %.3f\n", wall / runs, cpu / runs, firstCount);
    return 0;
}

struct ChildFigures {
    std::map<std::string, double> at;
    double peakMb = NAN;
    std::string error;
};

// Runs this program again with `mode` on `folder` (and `runs`) and reads what it printed: moments on the
// steady clock are made relative to the spawn; figures whose names end in _ms or _kb are taken as they are.
ChildFigures runChild(const char* mode, const fs::path& folder, int runs = 0) {
    ChildFigures out;
    int pipeFd[2];
    if (::pipe(pipeFd) != 0) {
        out.error = "pipe";
        return out;
    }
    const double spawned = msOf(Clock::now());
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFd[1], 1);
        ::close(pipeFd[0]);
        const std::string count = std::to_string(runs);
        ::execl("/proc/self/exe", "bench_ui_history", mode, folder.c_str(), count.c_str(), nullptr);
        ::_exit(127);
    }
    ::close(pipeFd[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(pipeFd[0], buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<std::size_t>(n));
    ::close(pipeFd[0]);
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        out.error = "the child failed: " + text;
        return out;
    }
    out.peakMb = static_cast<double>(usage.ru_maxrss) / 1024.0;
    char key[64];
    double value;
    for (const char* p = text.c_str(); std::sscanf(p, "%63s %lf", key, &value) == 2;) {
        const std::string k = key;
        const bool figure = k.size() > 3 && (k.compare(k.size() - 3, 3, "_kb") == 0 ||
                                             k.compare(k.size() - 3, 3, "_ms") == 0);
        out.at[key] = value - (figure ? 0 : spawned);
        p = std::strchr(p, '\n');
        if (!p)
            break;
        ++p;
    }
    return out;
}

void BM_StartAndClose(benchmark::State& state) {
    ScratchDir dir("kb_bench_start");
    const fs::path& seed = seededStore(kStartRows);
    double idle = 0, close = 0, compact = 0, exportMs = 0, verify = 0, peak = 0, idlePeak = 0, csv = 0,
           csvPeak = 0;
    int n = 0;
    for (auto _ : state) {
        const fs::path program = dir / ("program" + std::to_string(n));
        fs::create_directories(program);
        fs::copy_file(seed, program / "Kestrelbox.mdb");
        ::sync();
        ChildFigures f = runChild("--start-and-close", program);
        if (!f.error.empty()) {
            state.SkipWithError(f.error.c_str());
            return;
        }
        idle += f.at["idle"];
        close += f.at["closed"] - f.at["close"];
        // From the close of the window's connection to the compacted store in place.
        compact += f.at["done"] - f.at["close"];
        exportMs += f.at["exported"] - f.at["opened"];
        verify += f.at["verified"] - f.at["exported"];
        // The export set the peak back twice; the start and the close are what came before and after it.
        peak += std::max(f.peakMb, f.at["idle_peak_kb"] / 1024.0);
        idlePeak += f.at["idle_peak_kb"] / 1024.0;
        csv += f.at["export_end"] - f.at["export"];
        csvPeak += f.at["export_peak_kb"] / 1024.0;
        fs::remove_all(program);
        ++n;
    }
    state.counters["idle_ms"] = idle / n;
    state.counters["close_ms"] = close / n;
    state.counters["compact_ms"] = compact / n;
    state.counters["export_ms"] = exportMs / n;
    state.counters["verify_ms"] = verify / n;
    state.counters["peak_MB"] = peak / n;
    state.counters["idle_peak_MB"] = idlePeak / n;
    state.counters["csv_ms"] = csv / n;
    state.counters["csv_peak_MB"] = csvPeak / n;
}

// Each history in a process of its own, as a program holds one store; the three take turns, each first in
// its iteration in turn.
void BM_HistoryScale(benchmark::State& state) {
    ScratchDir dir("kb_bench_history");
    const auto paths = makeFiles(dir / "src", kRunFiles, 4096);
    std::vector<fs::path> programs;
    for (long long rows : kHistories)
        programs.push_back(
            prepareProgram(dir / ("program" + std::to_string(rows)), seededStore(rows), paths));
    constexpr std::size_t kSizes = std::size(kHistories);
    double wall[kSizes] = {}, cpu[kSizes] = {}, firstCount = 0;
    int iteration = 0;
    for (auto _ : state) {
        for (std::size_t k = 0; k < kSizes; ++k) {
            const std::size_t i = (k + static_cast<std::size_t>(iteration)) % kSizes;
            ChildFigures f = runChild("--history-runs", programs[i], 2);
            if (!f.error.empty()) {
                state.SkipWithError(f.error.c_str());
                return;
            }
            wall[i] += f.at["run_ms"];
            cpu[i] += f.at["cpu_ms"];
            if (i == kSizes - 1)
                firstCount += f.at["first_count_ms"];
        }
        ++iteration;
    }
    for (std::size_t i = 0; i < kSizes; ++i) {
        state.counters["run_ms_" + std::to_string(kHistories[i])] = wall[i] / iteration;
        state.counters["cpu_ms_" + std::to_string(kHistories[i])] = cpu[i] / iteration;
    }
    state.counters["first_count_ms"] = firstCount / iteration;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--start-and-close") == 0)
        return startAndClose(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "--history-runs") == 0)
        return historyRuns(argv[2], std::atoi(argv[3]));
    useOffscreenPlatform();
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RegisterBenchmark("BM_HistoryScale", BM_HistoryScale)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3);
    benchmark::RegisterBenchmark("BM_StartAndClose", BM_StartAndClose)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3);
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    auto c = [&reporter](const char* bench, const char* key) { return reporter.counter(bench, key); };
    const double base = c("BM_HistoryScale", "run_ms_1000");
    benchLine("history_run_1000_files_1000_rows", base, "ms", "-", kNoPeer, "-");
    benchLine("history_run_1000_files_100000_rows", c("BM_HistoryScale", "run_ms_100000"), "ms", "1000_rows",
              base, "ratio<=1.2");
    benchLine("history_run_1000_files_1000000_rows", c("BM_HistoryScale", "run_ms_1000000"), "ms",
              "1000_rows", base, "ratio<=1.2");
    const double baseCpu = c("BM_HistoryScale", "cpu_ms_1000");
    benchLine("history_run_cpu_1000_files_1000_rows", baseCpu, "ms", "-", kNoPeer, "-");
    benchLine("history_run_cpu_1000_files_100000_rows", c("BM_HistoryScale", "cpu_ms_100000"), "ms",
              "1000_rows", baseCpu, "ratio<=1.2");
    benchLine("history_run_cpu_1000_files_1000000_rows", c("BM_HistoryScale", "cpu_ms_1000000"), "ms",
              "1000_rows", baseCpu, "ratio<=1.2");
    benchLine("history_first_count_1000000_rows", c("BM_HistoryScale", "first_count_ms"), "ms", "-", kNoPeer,
              "-");
    benchLine("start_idle_1000000_rows", c("BM_StartAndClose", "idle_ms"), "ms", "-", kNoPeer, "<=1000");
    benchLine("start_idle_peak_1000000_rows", c("BM_StartAndClose", "idle_peak_MB"), "MB", "-", kNoPeer,
              "<=150");
    benchLine("close_1000000_rows", c("BM_StartAndClose", "close_ms"), "ms", "-", kNoPeer, "-");
    benchLine("compact_1000000_rows", c("BM_StartAndClose", "compact_ms"), "ms", "-", kNoPeer, "<=6000");
    benchLine("compact_export_1000000_rows", c("BM_StartAndClose", "export_ms"), "ms", "-", kNoPeer, "-");
    benchLine("compact_verify_1000000_rows", c("BM_StartAndClose", "verify_ms"), "ms", "-", kNoPeer, "-");
    benchLine("csv_export_1000000_rows", c("BM_StartAndClose", "csv_ms"), "ms", "-", kNoPeer, "-");
    benchLine("csv_export_memory_1000000_rows", c("BM_StartAndClose", "csv_peak_MB"), "MB", "-", kNoPeer,
              "<=16");
    benchLine("start_close_peak_1000000_rows", c("BM_StartAndClose", "peak_MB"), "MB", "-", kNoPeer, "<=150");
    benchmark::Shutdown();
    return 0;
}
