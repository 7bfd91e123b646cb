#pragma once

#include "test_support.h"

namespace kb::test {

inline constexpr int kExitNormal = 0;
inline constexpr int kExitRunStopped = 1;
inline constexpr int kExitStartFailed = 2;
inline constexpr int kExitFilesFailed = 3;
inline constexpr int kKilled = -1;

struct LaunchOptions {
    std::optional<std::uint64_t> fileSize; // RLIMIT_FSIZE as "ulimit -f" sets it, SIGXFSZ at its default
    std::optional<uid_t> user;             // the child drops to this user (and its group) before exec
    std::string display;                   // empty: the offscreen platform; else that X display, none named
    bool bare = false;                     // cron's environment: PATH=/usr/bin:/bin and nothing else
};

// The built executable in a fresh copy of its program folder, started as a user or a scheduler starts it.
// Every process it starts is killed when it goes, so a failed assertion leaves nothing running.
class Program {
public:
    // `seconds`: how long wait() and run() let a process go before they kill it as hung.
    explicit Program(double seconds = 120);
    ~Program();

    pid_t launch(const std::vector<std::string>& args, const LaunchOptions& options = {});
    // The exit status, or kKilled when it was still running after the time given (it is then killed).
    int wait(pid_t pid);
    int run(const std::vector<std::string>& args, const LaunchOptions& options = {}) {
        return wait(launch(args, options));
    }
    void kill9(pid_t pid);
    // Asks it to close as the close box does.
    void terminate(pid_t pid) { ::kill(pid, SIGTERM); }

    // What the program wrote to its standard error: its message boxes without a display.
    std::string err() const { return readFile(m_output / "stderr.txt"); }

    std::unique_ptr<Store> store() const { return Store::open(dir / "Kestrelbox.mdb"); }
    // Set `set` backs up `files` into `destination` (made if missing) by `method`.
    void registerSet(int set, const std::filesystem::path& destination,
                     const std::vector<std::filesystem::path>& files = {}, const std::string& method = "0");
    std::vector<CopyLogRow> history() const { return historyRows(*store()); }
    // Names in the program folder, sorted.
    std::vector<std::string> files() const { return listFolder(dir.path()); }
    std::string ini() const { return readFile(dir / "Kestrelbox.ini"); }
    bool logged(const std::string& text) const { return logHolds(dir / "Err.log", text); }

    TempDir dir;

private:
    // Beside the program folder, not in it: a test that fills the program folder's disk still reads what
    // the program reported.
    TempDir m_output;
    double m_seconds;
    std::vector<pid_t> m_running;
};

} // namespace kb::test
