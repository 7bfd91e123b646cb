#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "app/records.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kb {

// A failing statement or open; what() is the engine's own description (sqlite3_errmsg), code() its result
// code (0 when the failure is not the engine's).
class StoreError : public std::runtime_error {
public:
    explicit StoreError(const std::string& what, int code = 0) : std::runtime_error(what), m_code(code) {}
    int code() const { return m_code; }

private:
    int m_code;
};

inline constexpr const char* kStorePassword = "pinwheel";
// The page size of every store this version writes; stores of earlier versions have the engine's default,
// 1 KiB, and still open. Larger pages cost each history row no more and read a long history three times
// faster (the per-page decryption is most of the cost).
inline constexpr int kStorePageSize = 4096;
inline constexpr int kLegacyPageSize = 1024;

// One history row as a list holds it: the row, its rowid (the last key of the history order) and whether
// its ordering columns hold what the program writes (DateTime and TabNo text, SeqNo an integer).
struct HistoryEntry {
    CopyLogRow row;
    long long rowid = 0;
    bool plain = true;
};

// The SQLCipher store "Kestrelbox.mdb": one exclusive connection, every statement with bound values.
class Store {
public:
    // Opens an existing store exclusively with the built-in key; throws StoreError when the file is
    // missing, damaged, wrongly keyed or held by another process. Never creates a store.
    static std::unique_ptr<Store> open(const std::filesystem::path& file);
    // Creates a new store with the three tables and the four rows of a reset (the build's tool only).
    static void create(const std::filesystem::path& file);

    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    std::vector<TabRow> selectTabs();                                                         // 1
    std::optional<TabRow> selectTab(const std::string& n);                                    // 2
    std::vector<std::string> selectCopyData(const std::string& n);                            // 3
    bool copyDataExists(const std::string& n, const std::string& path);                       // 4
    void insertCopyData(const std::string& n, const std::string& path);                       // 5
    void deleteCopyData(const std::string& n, const std::string& path);                       // 6
    void updateFolderPath(const std::string& n, const std::string& folder);                   // 7
    void updateTab(const std::string& row, const std::string& name, const std::string& code); // 8
    // 9; returns the new row's rowid.
    long long insertCopyLog(const CopyLogRow& row);
    long long lastHistoryRowid() const { return m_lastHistoryRowid; }
    long long countCopyLog(); // 10, counted
    // The number of history rows, exactly as 10 counts them: counted once, then kept by every statement of
    // this class; counted again after a rollback or after a statement issued past this class changed rows.
    long long historyRows();
    // Whether there are more than `limit` history rows. Not counted while the rowids alone bound the number
    // at or below the limit, as they do for a history that grew without trims below a high limit.
    bool historyExceeds(long long limit);
    // 11: the DateTime of the last of the first `limit` rows, newest first; nullopt when there are none.
    // Walks from the oldest row, so it costs what lies beyond the limit, not the whole history; and while
    // the answer cannot have changed since the last walk (fewer than `limit` rows newer than it), not even
    // that: a run longer than the limit asks after every row and gets its own stamp.
    std::optional<std::string> cutoffDateTime(long long limit);
    void deleteCopyLogBefore(const std::string& time); // 12
    // 13: every history row, newest run first, higher set first, then in recording order (then rowid).
    void forEachCopyLog(const std::function<void(const CopyLogRow&)>& visit);
    // Up to `limit` rows of the order of 13 that follow `after` (from the first row when null), appended to
    // `out`, which keeps what was read when a failure is thrown. `position` is the number of rows up to and
    // including `after`; it places the page when after's columns are not plain.
    void historyPage(const HistoryEntry* after, long long position, long long limit,
                     std::vector<HistoryEntry>& out);
    void deleteAllCopyLog(); // 14
    // 15, 14, 16 and 17 for each set: every registered file and history row deleted and the four sets in
    // their first state, in one transaction, so a failure half-way leaves the store as it was.
    void resetToDefaults();

    // Each commit encrypts every page it writes, so a run of small files written one row per commit spends
    // more on its history than on its copies. While held, history rows (and their trims) go into one
    // transaction that is committed once it is `upTo` old: a kill loses at most the rows of that moment,
    // never one of an earlier commit. Any other change, and the close, commit what is held first.
    void holdHistory(std::chrono::milliseconds upTo);
    // Commits the held rows when the transaction is `upTo` old (or now); throws StoreError when the commit
    // fails, after which the held rows are gone and heldRowsLost() says so once.
    void commitHeldIfDue();
    void commitHeld();
    // Commits what is held and writes each row with its own commit again.
    void releaseHistory();
    bool heldRowsLost() { return std::exchange(m_heldLost, false); }

    // Writes a compact, keyed copy of the whole store to `target` (which must not exist).
    void exportCompactCopy(const std::filesystem::path& target);

    sqlite3* handle() { return m_db; }

private:
    explicit Store(sqlite3* db);
    static std::unique_ptr<Store> openWithPageSize(const std::filesystem::path& file, int pageSize,
                                                   bool fullCheck);
    // Around every statement of this class that changes rows: whether the kept count was right before it,
    // and then what its changes did to the history (+1 inserted rows, -1 deleted rows, 0 other tables).
    bool countInStep() const;
    void changed(bool inStep, int historySign);
    void historyCountIs(long long rows);

    sqlite3* m_db;
    // The statements a run issues for every file, prepared once.
    sqlite3_stmt* m_insertLog = nullptr;
    sqlite3_stmt* m_cutoff = nullptr;
    sqlite3_stmt* m_deleteBefore = nullptr;
    void forgetCutoff() { m_cutoffKnown.reset(); }

    // The last cut-off walked for `limit`, while the store's own statements keep `newer` (the rows whose
    // DateTime is after it) exact; `limit` rows or more were at or after it.
    struct KnownCutoff {
        long long limit;
        std::string dateTime;
        long long newer;
    };
    std::optional<KnownCutoff> m_cutoffKnown;
    sqlite3_stmt* m_countUpTo = nullptr;
    sqlite3_stmt* m_rowidBounds = nullptr;
    std::optional<long long> m_historyRows;
    int m_changesSeen = 0; // sqlite3_total_changes when m_historyRows was last known right
    long long m_lastHistoryRowid = 0;

    void joinHeld();
    // After a failed statement: whether the engine rolled the held transaction back with it.
    void heldGoneAfterFailure();
    // The held rows are gone: the count and cut-off are no longer known, and heldRowsLost() says so.
    void heldLost();
    std::optional<std::chrono::milliseconds> m_holdUpTo;
    std::optional<std::chrono::steady_clock::time_point> m_heldSince; // while a held transaction is open
    bool m_heldLost = false;
};

} // namespace kb
