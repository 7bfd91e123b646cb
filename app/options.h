#pragma once

#include <cstdint>

namespace kb {

class IniFile;

// The three options of section "Option", as start-up reads them and the options dialog saves them.
struct Options {
    std::int16_t SameFile = 0;
    std::int16_t BackupLog = 0;
    std::int32_t BackupLogMax = 0;
};

// Reads SameFile, BackupLog and BackupLogMax from section "Option". A value that is not integer text in
// range falls back to the key's default instead of stopping the start.
void readOptions(const IniFile& ini, Options& options);

} // namespace kb
