// The main window's longest waits for the user, through the real window offscreen on a temporary program
// folder: loading a set of 5,000 registered files, refilling a history of 10,000 rows (and fetching all of
// them, as scrolling to the end does), and exporting a history of 100,000 rows as CSV. Each figure includes
// the event processing that paints the result.

#include <benchmark/benchmark.h>
#include <chrono>
#include <fstream>
#include <QApplication>
#include <string>

#include "bench_report.h"
#include "bench_ui_support.h"
#include "ui/history/history_model.h"

namespace {

using namespace kb::bench;

constexpr int kRegistered = 5000;
constexpr long long kRefreshRows = 10000;
constexpr long long kExportRows = 100000;

void BM_TabChange(benchmark::State& state) {
    ScratchDir dir("kb_bench_tab");
    const auto paths = makeFiles(dir / "files", kRegistered, 1024);
    const fs::path program = makeProgramFolder(dir / "program");
    fillStore(program / "Kestrelbox.mdb", [&](kb::Store& s) {
        for (const std::string& p : paths)
            s.insertCopyData("1", p);
    });
    ProgramRun run(program);
    if (!run.start()) {
        state.SkipWithError(("start-up failed: " + joinedFailures(run.prompter)).c_str());
        return;
    }
    for (auto _ : state) {
        if (!run.window().Fun_TabChange()) {
            state.SkipWithError(("Fun_TabChange failed: " + joinedFailures(run.prompter)).c_str());
            return;
        }
        QApplication::processEvents();
    }
    if (run.window().statusText().rfind(std::to_string(kRegistered) + "個のファイル", 0) != 0)
        state.SkipWithError(("unexpected status text: " + run.window().statusText()).c_str());
}
BENCHMARK(BM_TabChange)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_LogRefresh(benchmark::State& state) {
    ScratchDir dir("kb_bench_log");
    const fs::path program = makeProgramFolder(dir / "program");
    fillStore(program / "Kestrelbox.mdb", [](kb::Store& s) { seedHistory(s, kRefreshRows); });
    ProgramRun run(program);
    if (!run.start()) {
        state.SkipWithError(("start-up failed: " + joinedFailures(run.prompter)).c_str());
        return;
    }
    double fetchAll = 0;
    for (auto _ : state) {
        if (!run.window().Fun_LogRefresh()) {
            state.SkipWithError(("Fun_LogRefresh failed: " + joinedFailures(run.prompter)).c_str());
            return;
        }
        QApplication::processEvents();
        // The rest, as the list fetches it when scrolled to its end, for the figure beside.
        state.PauseTiming();
        auto start = std::chrono::steady_clock::now();
        kb::ui::HistoryModel& model = run.window().historyModel();
        while (model.canFetchMore({}))
            model.fetchMore({});
        fetchAll +=
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (model.rowCount() != kRefreshRows) {
            state.SkipWithError("the history list does not fetch every row");
            return;
        }
        state.ResumeTiming();
    }
    state.counters["fetch_all_ms"] = fetchAll / static_cast<double>(state.iterations());
}
BENCHMARK(BM_LogRefresh)->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_CsvExport(benchmark::State& state) {
    ScratchDir dir("kb_bench_csv");
    const fs::path program = makeProgramFolder(dir / "program");
    fillStore(program / "Kestrelbox.mdb", [](kb::Store& s) { seedHistory(s, kExportRows); });
    ProgramRun run(program);
    if (!run.start()) {
        state.SkipWithError(("start-up failed: " + joinedFailures(run.prompter)).c_str());
        return;
    }
    const fs::path csv = dir / "履歴.csv";
    run.prompter.savePath = csv.string();
    for (auto _ : state) {
        run.prompter.boxes.clear();
        // The export command of the File menu: the save dialog, the file, the completion box.
        run.window().M_File_Click(6);
        QApplication::processEvents();
        if (run.prompter.boxes != std::vector<std::string>{"出力完了　　　"}) {
            state.SkipWithError(("export failed: " + joinedFailures(run.prompter)).c_str());
            return;
        }
    }
    std::ifstream in(csv, std::ios::binary);
    long long records = 0;
    for (std::string line; std::getline(in, line);)
        ++records;
    if (records != kExportRows + 1)
        state.SkipWithError(("the file holds " + std::to_string(records) + " records").c_str());
    state.counters["file_MB"] = static_cast<double>(fs::file_size(csv)) / 1e6;
}
BENCHMARK(BM_CsvExport)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

int main(int argc, char** argv) {
    useOffscreenPlatform();
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchLine("tab_change_5000_files", reporter.time("BM_TabChange"), "ms", "-", kNoPeer, "<=100");
    benchLine("log_refresh_10000_rows", reporter.time("BM_LogRefresh"), "ms", "-", kNoPeer, "<=30");
    benchLine("log_fetch_all_10000_rows", reporter.counter("BM_LogRefresh", "fetch_all_ms"), "ms", "-",
              kNoPeer, "-");
    benchLine("csv_export_100000_rows", reporter.time("BM_CsvExport"), "ms", "-", kNoPeer, "<=1000");
    benchmark::Shutdown();
    return 0;
}
