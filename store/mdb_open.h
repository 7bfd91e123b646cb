#pragma once

#include <filesystem>

namespace kb {

class Reporter;
struct SharedState;

// Opens the store into state.MdbDatabase; on failure reports "データベースオープンエラー" (box first, then
// the handle is released, then the log line) and returns false.
bool Fun_MDBOpen(SharedState& state, Reporter& reporter, const std::filesystem::path& file);

} // namespace kb
