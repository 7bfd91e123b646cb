#include "backup/copy_log.h"

#include <stdexcept>

#include "app/reporter.h"
#include "app/user_interface.h"
#include "backup/services.h"
#include "store/shared_state.h"
#include "store/store.h"

namespace kb {
namespace {

bool heldRowsLost(Services& s) {
    Store* store = s.state.MdbDatabase.get();
    return store && store->heldRowsLost();
}

// The recording's report; when held rows were lost with the failure, the list, which showed them, is read
// again.
bool recordingFailed(Services& s, const std::exception& e, bool lost) {
    s.reporter.report("履歴保存エラー", "[frmMain]-[Fun_CopyLogPut] ", e.what());
    if (lost)
        s.ui.logRefresh();
    return false;
}

} // namespace

bool Fun_CopyLogPut(Services& s, const std::string& runStamp, int seqNo, bool result, bool copied,
                    const std::string& fileName, const std::string& target) {
    if (s.state.BackupLog != 1)
        return true;

    CopyLogRow row;
    bool inserted = false;
    try {
        if (!s.state.MdbDatabase)
            throw std::runtime_error("データベースが開かれていません");
        Store& store = *s.state.MdbDatabase;
        const int tab = s.ui.currentTab();
        row.DateTime = runStamp;
        row.TabNo = std::to_string(tab);
        row.TabName = s.ui.tabCaption(tab);
        row.SeqNo = seqNo;
        row.CopyAns = result && copied ? "○" : result ? "△" : "×";
        row.FileName = fileName;
        row.FolderPath = target;
        store.insertCopyLog(row);
        inserted = true;

        // Whole runs only: every row of the cut-off's run stays, even beyond the limit.
        std::string trimmedBefore;
        const long long limit = s.state.BackupLogMax;
        if (limit > 0 && store.historyExceeds(limit)) {
            if (auto cutoff = store.cutoffDateTime(limit)) {
                store.deleteCopyLogBefore(*cutoff);
                trimmedBefore = *cutoff;
            }
        }
        s.ui.logRowRecorded(row, trimmedBefore);
        store.commitHeldIfDue();
        return true;
    } catch (const std::exception& e) {
        const bool lost = heldRowsLost(s);
        // A row that went in stays in the list even though the trim failed, as a reload would show it.
        if (inserted && !lost)
            s.ui.logRowRecorded(row, {});
        return recordingFailed(s, e, lost);
    }
}

bool Fun_CopyLogCommit(Services& s) {
    Store* store = s.state.MdbDatabase.get();
    if (!store)
        return true;
    try {
        store->commitHeld();
        return true;
    } catch (const std::exception& e) {
        return recordingFailed(s, e, heldRowsLost(s));
    }
}

HistoryHold::HistoryHold(Services& s) : m_s(s) {
    if (s.state.BackupLog == 1 && s.state.MdbDatabase)
        s.state.MdbDatabase->holdHistory(kHistoryHold);
}

HistoryHold::~HistoryHold() {
    try {
        if (Store* store = m_s.state.MdbDatabase.get()) {
            Fun_CopyLogCommit(m_s);
            store->releaseHistory();
        }
    } catch (...) {
        // Reported by the commit; a destructor lets nothing through.
    }
}

} // namespace kb
