#pragma once

#include "support/program.h"
#include "support/volume.h"

namespace kb::faults {

// The harness and helpers of every test.
using namespace test;

// A source large enough that a kill or a signal sent once its copy has begun lands in the middle of it.
inline constexpr std::uint64_t kBig = 200u << 20;

// Large files that are fast to make: sparse, with a tag naming the version every 4 MiB, so that a copy cut
// short, a mix of two versions or stray bytes are all told apart from a whole copy of either. A source that
// must take its time to copy is `dense` (its zeros written), as copies keep holes.
void writeTagged(const std::filesystem::path& p, std::uint64_t size, const std::string& tag,
                 bool dense = false);
bool holdsTagged(const std::filesystem::path& p, std::uint64_t size, const std::string& tag);

// Byte comparison of two regular files of a few megabytes (archives).
bool sameBytes(const std::filesystem::path& a, const std::filesystem::path& b);

// True once the process has ended (a zombie not yet waited for); a kill then reaches no other process.
bool exited(pid_t pid);

// The temporary siblings the program leaves while it writes (".<name>.kbtmp-<pid>-<n>") in `dir`.
std::vector<std::filesystem::path> temporaries(const std::filesystem::path& dir);

std::optional<uid_t> nobodyUser();

} // namespace kb::faults
