#pragma once

#include <string>

namespace kb {

struct Services;

// Records one file's outcome in T_CopyLog and trims the history to BackupLogMax (whole runs only).
bool Fun_CopyLogPut(Services& s, const std::string& runStamp, int seqNo, bool result, bool copied,
                    const std::string& fileName, const std::string& target);

} // namespace kb
