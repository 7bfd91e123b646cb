#pragma once

namespace kb {

class FileSystem;
class ProgramFolder;
class Reporter;
struct SharedState;

// Rewrites the closed store into a compact copy and swaps it in, with a safety copy restored on any failure.
// Every replacement is an atomic rename, so no moment exists without a store file that opens with all
// its content.
bool Fun_MDBCompact(const ProgramFolder& folder, SharedState& state, Reporter& reporter, FileSystem& files);

namespace detail {
// Called with the name of each step of a compaction as it is reached. Tests end the process there to show
// that an interruption at any step leaves a whole store behind.
extern void (*compactStepHook)(const char* step);
} // namespace detail

} // namespace kb
