#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "store/store.h"
#include "support/test_support.h"

namespace kb::faults {

inline constexpr int kExitNormal = 0;
inline constexpr int kExitRunStopped = 1;
inline constexpr int kExitStartFailed = 2;
inline constexpr int kKilled = -1;

struct Limits {
    std::optional<std::uint64_t> fileSize; // RLIMIT_FSIZE as "ulimit -f" sets it, SIGXFSZ at its default
    std::optional<uid_t> user;             // the child drops to this user (and its group) before exec
};

// The built executable in a fresh copy of its program folder, started as a user or a scheduler starts it.
// Every process it starts is killed when it goes, so a failed assertion leaves nothing running.
class Program {
public:
    Program();
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    pid_t launch(const std::vector<std::string>& args, const Limits& limits = {});
    // The exit status, or kKilled when it was still running after `seconds` (it is then killed).
    int wait(pid_t pid, double seconds = 120);
    int run(const std::vector<std::string>& args, const Limits& limits = {}, double seconds = 120);
    void kill9(pid_t pid);
    // Asks it to close as the close box does.
    void terminate(pid_t pid);

    // What the program wrote to its standard error (its message boxes without a display), minus the
    // toolkit's notes about the environment.
    std::string err() const;

    std::unique_ptr<Store> store() const { return Store::open(dir / "Kestrelbox.mdb"); }
    std::vector<CopyLogRow> history() const;
    // Names in the program folder, sorted, the captured standard error left out.
    std::vector<std::string> files() const;

    test::TempDir dir;

private:
    std::vector<pid_t> m_running;
};

// Mounts and unmounts are private to this test process and its children, and vanish with it.
// False (with the reason) where the system does not allow it.
bool privateMounts(std::string* why = nullptr);
// A tmpfs of `bytes` at `dir`; false with the reason when it cannot be mounted.
bool mountTmpfs(const std::filesystem::path& dir, std::uint64_t bytes, std::string* why = nullptr);
// `dir` becomes read-only where it is (a read-only bind mount over itself).
bool makeReadOnly(const std::filesystem::path& dir, std::string* why = nullptr);
void unmount(const std::filesystem::path& dir);

// Large files that are fast to make: sparse, with a tag naming the version every 4 MiB, so that a copy cut
// short, a mix of two versions or stray bytes are all told apart from a whole copy of either.
void writeTagged(const std::filesystem::path& p, std::uint64_t size, const std::string& tag);
bool holdsTagged(const std::filesystem::path& p, std::uint64_t size, const std::string& tag);

// Byte comparison of two files without loading either whole.
bool sameBytes(const std::filesystem::path& a, const std::filesystem::path& b);

// True once the process has ended (a zombie not yet waited for); a kill then reaches no other process.
bool exited(pid_t pid);

// Polls `done` every few milliseconds; false when it did not hold within `seconds`.
bool waitFor(const std::function<bool()>& done, double seconds);

// Deterministic noise: `n` bytes from `seed`.
std::string randomBytes(std::size_t n, std::uint32_t seed);

// The temporary siblings the program leaves while it writes (".<name>.kbtmp-<pid>-<n>") in `dir`.
std::vector<std::filesystem::path> temporaries(const std::filesystem::path& dir);

std::optional<uid_t> nobodyUser();

} // namespace kb::faults
