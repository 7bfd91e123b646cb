// The real executable's whole "/AUTO 1" run (start, tab load, copies, history, shutdown with compaction) of
// 10,000 files of 4 KiB, recording on, overwriting policy, beside `cp -p` of the same files in the same
// iteration: on tmpfs (/dev/shm) and on the disk of the temporary folder. Each step writes into a fresh
// folder, and the disk is synced before each step.
//
// `bench_ui_auto prepare <folder>` only makes the program folder, the sources and an empty destination
// under <folder> (for profiling the program by hand: <folder>/program/Kestrelbox /AUTO 1).

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

#include "bench_report.h"
#include "bench_ui_support.h"

namespace {

using namespace kb::bench;
using Clock = std::chrono::steady_clock;

constexpr int kCount = 10000;
constexpr std::size_t kSize = 4096;
constexpr int kIterations = 3;

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// The program folder as installed, with set 1 backing up `paths` into `destination`.
fs::path prepareProgram(const fs::path& dir, const std::vector<std::string>& paths,
                        const fs::path& destination) {
    const fs::path program = dir / "program";
    fs::create_directories(program);
    fs::copy_file(fs::path(KB_PROGRAM_DIR) / "Kestrelbox", program / "Kestrelbox");
    fs::copy_file(fs::path(KB_PROGRAM_DIR) / "Kestrelbox.mdb", program / "Kestrelbox.mdb");
    setOneBacksUp(program, paths, destination, 1000);
    return program;
}

// The exit status of the program's "/AUTO 1", offscreen, or -1.
int runAuto(const fs::path& program) {
    const std::string exe = (program / "Kestrelbox").string();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::execl(exe.c_str(), exe.c_str(), "/AUTO", "1", nullptr);
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

struct Figures {
    double ours = 0, cp = 0;
    bool ok = true;
};

Figures measure(const fs::path& base, const char* tag) {
    Figures f;
    ScratchDir dir = [&] {
        setenv("TMPDIR", base.c_str(), 1);
        return ScratchDir(tag);
    }();
    const auto paths = makeFiles(dir / "src", kCount, kSize);
    fs::create_directories(dir / "dest");
    const fs::path program = prepareProgram(dir.path(), paths, dir / "dest");
    const fs::path store = program / "Kestrelbox.mdb", pristine = dir / "pristine.mdb";
    fs::copy_file(store, pristine);
    for (int i = 0; i < kIterations; ++i) {
        const std::string n = std::to_string(i);
        const fs::path dest = dir / ("dest" + n), cpDest = dir / ("cp" + n);
        fs::create_directories(dest);
        fs::create_directories(cpDest);
        fs::copy_file(pristine, store, fs::copy_options::overwrite_existing);
        {
            auto s = kb::Store::open(store);
            s->updateFolderPath("1", dest.string());
        }

        ::sync();
        auto start = Clock::now();
        int rc =
            std::system(("cp -p -- '" + (dir / "src").string() + "'/* '" + cpDest.string() + "/'").c_str());
        f.cp += msSince(start);
        ::sync();

        start = Clock::now();
        int status = runAuto(program);
        f.ours += msSince(start);
        std::size_t copied = 0;
        for ([[maybe_unused]] const auto& e : fs::directory_iterator(dest))
            ++copied;
        if (rc != 0 || status != 0 || copied != kCount) {
            std::fprintf(stderr, "%s: cp %d, program %d, %zu copies\n", tag, rc, status, copied);
            f.ok = false;
        }
        fs::remove_all(dest);
        fs::remove_all(cpDest);
    }
    f.ours /= kIterations;
    f.cp /= kIterations;
    return f;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "prepare") {
        const fs::path dir = argv[2];
        const auto paths = makeFiles(dir / "src", kCount, kSize);
        fs::create_directories(dir / "dest");
        prepareProgram(dir, paths, dir / "dest");
        return 0;
    }
    const std::string disk = fs::temp_directory_path().string();
    const std::pair<const char*, fs::path> places[] = {{"tmpfs", "/dev/shm"}, {"disk", disk}};
    for (const auto& [name, base] : places) {
        if (!fs::is_directory(base)) {
            std::printf("NOTE auto_10000x4KiB_%s skipped: no %s\n", name, base.c_str());
            continue;
        }
        Figures f = measure(base, (std::string("kb_bench_auto_") + name).c_str());
        if (!f.ok) {
            std::printf("NOTE auto_10000x4KiB_%s failed\n", name);
            continue;
        }
        benchLine(std::string("auto_10000x4KiB_") + name, f.ours, "ms", "cp_-p", f.cp, "ratio<=2.5");
    }
    return 0;
}
