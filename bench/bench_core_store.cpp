// The store's open (key derivation, schema and page check, exclusive lock) and the shutdown compaction of
// a store holding 100,000 history rows.

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
    void repaintWindow() override {}
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
    benchmark::Shutdown();
    return 0;
}
