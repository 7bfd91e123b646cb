#pragma once

#include <chrono>
#include <string>

namespace kb {

struct Services;

// Records one file's outcome in T_CopyLog and trims the history to BackupLogMax (whole runs only).
bool Fun_CopyLogPut(Services& s, const std::string& runStamp, int seqNo, bool result, bool copied,
                    const std::string& fileName, const std::string& target);

// Commits the history rows a run holds; a failure is reported as the recording's own, and the list, which
// showed the lost rows, is read again.
bool Fun_CopyLogCommit(Services& s);

// While it lives, the rows of a run are committed together at most kHistoryHold apart, and all of them at
// its end. The kill that cuts a run short loses no more than that moment's rows.
inline constexpr std::chrono::milliseconds kHistoryHold{50};
class HistoryHold {
public:
    explicit HistoryHold(Services& s);
    ~HistoryHold();
    HistoryHold(const HistoryHold&) = delete;
    HistoryHold& operator=(const HistoryHold&) = delete;

private:
    Services& m_s;
};

} // namespace kb
