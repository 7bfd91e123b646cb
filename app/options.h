#pragma once

namespace kb {

class IniFile;
struct SharedState;

// Reads SameFile, BackupLog and BackupLogMax from section "Option" into the shared state. A value that is
// not integer text in range falls back to the key's default instead of stopping the start.
void readOptions(const IniFile& ini, SharedState& state);

} // namespace kb
