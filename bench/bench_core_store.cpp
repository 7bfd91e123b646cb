// The store's open (key derivation, schema and page check, exclusive lock), the shutdown compaction of a
// store holding 100,000 history rows, and trims that delete the same number of rows from histories of
// 100,000 and 1,000,000 rows.

#include <benchmark/benchmark.h>
#include <filesystem>
#include <sqlite3.h>
#include <stdexcept>
#include <unistd.h>

#include "app/clock.h"
#include "app/error_log.h"
#include "app/program_folder.h"
#include "app/reporter.h"
#include "app/user_interface.h"
#include "bench_report.h"
#include "platform/file_system.h"
#include "store/compact.h"
#include "store/shared_state.h"
#include "store/store.h"

namespace fs = std::filesystem;

namespace {

// A compaction that shows a box has failed; the benchmark stops on it.
class FailOnBoxUi : public kb::UserInterface {
public:
    kb::MsgAnswer messageBox(const std::string& text, kb::MsgIcon, kb::MsgButtons, kb::MsgAnswer,
                             const std::string&) override {
        throw std::runtime_error(text);
    }
    std::optional<std::string> chooseOpenFile(const kb::FileDialogSpec&) override { return std::nullopt; }
    std::optional<std::string> chooseSaveFile(const kb::FileDialogSpec&) override { return std::nullopt; }
    std::optional<std::string> chooseFolder(const std::string&) override { return std::nullopt; }
    std::string statusText() const override { return {}; }
    void setStatusText(const std::string&) override {}
    void repaintWindow(bool) override {}
    void setWaitCursor(bool) override {}
    void setProgress(int, int) override {}
    bool changeUse(bool) override { return true; }
    bool listSetFocus(const std::string&) override { return true; }
    void focusDestinationButton() override {}
    int currentTab() const override { return 1; }
    std::string tabCaption(int) const override { return {}; }
    bool logRefresh() override { return true; }
    void logRowRecorded(const kb::CopyLogRow&, const std::string&) override {}
};

class Folder {
public:
    explicit Folder(long long historyRows)
        : m_dir(fs::temp_directory_path() /
                ("kbbench-" + std::to_string(::getpid()) + "-" + std::to_string(historyRows))) {
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        kb::Store::create(folder().store());
        auto s = kb::Store::open(folder().store());
        sqlite3_exec(s->handle(), "BEGIN", nullptr, nullptr, nullptr);
        for (int i = 0; i < 5000; ++i)
            s->insertCopyData(std::to_string(i % 4 + 1),
                              "/home/user/documents/project/file" + std::to_string(i) + ".txt");
        for (long long i = 0; i < historyRows; ++i) {
            std::string n = std::to_string(i);
            s->insertCopyLog({"2006/01/01 12:" + std::to_string(10 + i / 5000 % 50) + ":05",
                              std::to_string(i % 4 + 1), "設定1 【日付】", i % 5000 + 1, "○",
                              "file" + n + ".txt", "/mnt/backup/project/2006-01-01/file" + n + ".txt"});
        }
        sqlite3_exec(s->handle(), "COMMIT", nullptr, nullptr, nullptr);
    }
    ~Folder() { fs::remove_all(m_dir); }
    kb::ProgramFolder folder() const { return kb::ProgramFolder(m_dir); }

private:
    fs::path m_dir;
};

void BM_StoreOpen(benchmark::State& state) {
    Folder f(state.range(0));
    for (auto _ : state) {
        auto s = kb::Store::open(f.folder().store());
        benchmark::DoNotOptimize(s.get());
    }
}
BENCHMARK(BM_StoreOpen)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_Compact(benchmark::State& state) {
    Folder f(state.range(0));
    kb::ProgramFolder folder = f.folder();
    FailOnBoxUi ui;
    kb::SystemClock clock;
    kb::ErrorLog log(folder.errorLog(), clock, ui);
    kb::Reporter reporter(ui, log);
    kb::SharedState shared;
    kb::FileSystem files;
    for (auto _ : state) {
        if (!kb::Fun_MDBCompact(folder, shared, reporter, files))
            state.SkipWithError("compaction failed");
    }
    state.counters["store_MB"] = static_cast<double>(fs::file_size(folder.store())) / 1e6;
}
BENCHMARK(BM_Compact)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(5);

// Runs of 50 rows, one minute apart, from 2006 on; written by the engine itself, as a million rows through
// the store's own insert take a minute.
void seedRuns(sqlite3* db, long long rows) {
    const std::string sql = "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < " +
                            std::to_string(rows) +
                            ") INSERT INTO T_CopyLog SELECT strftime('%Y/%m/%d %H:%M:%S', 1136073600 + i / "
                            "50 * 60, 'unixepoch'), "
                            "i / 50 % 4 + 1, '設定1 【日付】', i % 50 + 1, '○', 'file' || i || '.txt', "
                            "'/mnt/backup/project/2006-01-01/file' || i || '.txt' FROM n";
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db));
}

// One recorded row whose trim deletes the oldest `deleted` rows of a history of `rows`, as the store does
// it for every row when BackupLogMax is lowered: the insert, the cut-off and the delete.
void BM_Trim(benchmark::State& state) {
    const long long rows = state.range(0), deleted = state.range(1);
    const fs::path dir = fs::temp_directory_path() / ("kbbench-trim-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    kb::Store::create(dir / "Kestrelbox.mdb");
    {
        auto store = kb::Store::open(dir / "Kestrelbox.mdb");
        seedRuns(store->handle(), rows);
        store->historyRows(); // the one count of a process, not timed
        int n = 0;
        for (auto _ : state) {
            store->insertCopyLog(
                {"2026/12/07 12:00:00", "1", "設定1 【標準】", ++n, "○", "new.txt", "/mnt/backup/new.txt"});
            if (auto cutoff = store->cutoffDateTime(store->historyRows() - deleted))
                store->deleteCopyLogBefore(*cutoff);
        }
        if (store->countCopyLog() != rows + n - deleted * n)
            state.SkipWithError("the trim did not delete the oldest runs exactly");
    }
    fs::remove_all(dir);
}
BENCHMARK(BM_Trim)
    ->Args({100000, 1000})
    ->Args({1000000, 1000})
    ->Args({1000000, 10000})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    kb::bench::CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    using kb::bench::benchLine;
    benchLine("store_open_1000_rows", reporter.time("BM_StoreOpen/1000"), "ms", "-", kb::bench::kNoPeer, "-");
    benchLine("store_open_100000_rows", reporter.time("BM_StoreOpen/100000"), "ms", "-", kb::bench::kNoPeer,
              "-");
    benchLine("compact_100000_rows", reporter.time("BM_Compact/100000"), "ms", "-", kb::bench::kNoPeer,
              "<=2000");
    const double trim = reporter.time("BM_Trim/100000/1000");
    benchLine("trim_1000_of_100000_rows", trim, "ms", "-", kb::bench::kNoPeer, "-");
    benchLine("trim_1000_of_1000000_rows", reporter.time("BM_Trim/1000000/1000"), "ms", "of_100000_rows",
              trim, "ratio<=1.5");
    benchLine("trim_10000_of_1000000_rows", reporter.time("BM_Trim/1000000/10000"), "ms", "1000_of_1000000",
              reporter.time("BM_Trim/1000000/1000"), "-");
    benchmark::Shutdown();
    return 0;
}
