#pragma once

#include <cstdint>
#include <string>

namespace kb {

class IniFile;
struct SharedState;

// Parses an option value as integer text within [min, max]; anything else yields `def`.
std::int64_t parseOption(const std::string& text, std::int64_t min, std::int64_t max, std::int64_t def);

// Reads SameFile, BackupLog and BackupLogMax from section "Option" into the shared state. A value that is
// not integer text in range falls back to the key's default instead of stopping the start.
void readOptions(const IniFile& ini, SharedState& state);

} // namespace kb
