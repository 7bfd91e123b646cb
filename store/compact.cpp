#include "store/compact.h"

#include <cerrno>
#include <fcntl.h>
#include <sqlite3.h>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

#include "app/program_folder.h"
#include "app/reporter.h"
#include "platform/file_system.h"
#include "store/mdb_open.h"
#include "store/shared_state.h"

namespace kb {

namespace detail {
void (*compactStepHook)(const char* step) = nullptr;
} // namespace detail

namespace {

using std::filesystem::path;

constexpr const char* kCompactContext = "[mdlCommon]-[Fun_MDBCompact]-[ErrCompact] ";

void step(const char* name) {
    if (detail::compactStepHook)
        detail::compactStepHook(name);
}

[[noreturn]] void failErrno(int err) {
    throw std::runtime_error(std::error_code(err, std::generic_category()).message());
}

path journalOf(const path& db) {
    path j = db;
    j += "-journal";
    return j;
}

void check(std::error_code ec) {
    if (ec)
        throw std::system_error(ec);
}

void removeIfPresent(const path& p) {
    if (::unlink(p.c_str()) != 0 && errno != ENOENT)
        failErrno(errno);
}

void removeQuietly(const path& p) {
    ::unlink(p.c_str());
}

void renameOver(FileSystem& files, const path& from, const path& to) {
    check(files.rename(from, to));
    check(files.syncFolder(to.parent_path()));
}

struct RowCounts {
    long long tabs = 0, files = 0, history = 0;
    bool operator==(const RowCounts&) const = default;
};

long long countRows(Store& store, const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    long long n = -1;
    if (sqlite3_prepare_v2(store.handle(), sql, -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
        n = sqlite3_column_int64(stmt, 0);
    std::string error = sqlite3_errmsg(store.handle());
    sqlite3_finalize(stmt);
    if (n < 0)
        throw StoreError(error);
    return n;
}

RowCounts rowCounts(Store& store) {
    return {countRows(store, "SELECT count(*) FROM T_Tab"),
            countRows(store, "SELECT count(*) FROM T_CopyData"),
            countRows(store, "SELECT count(*) FROM T_CopyLog")};
}

// Puts the safety copy back over the store. The store was only ever replaced by a whole file, so even when
// this fails the store that remains is intact.
void restore(FileSystem& files, const path& store, const path& safety, const path& compact) {
    step("restore");
    removeQuietly(compact);
    removeQuietly(journalOf(compact));
    // Our connection is closed; a journal left beside the store would be replayed onto the copy.
    removeQuietly(journalOf(store));
    // The safety copy reaches the disk before it takes the store's place; if it cannot, the store stays.
    if (files.syncPath(safety) || files.rename(safety, store))
        removeQuietly(safety);
    files.syncFolder(store.parent_path());
    step("restored");
}

} // namespace

bool Fun_MDBCompact(const ProgramFolder& folder, SharedState& state, Reporter& reporter, FileSystem& files) {
    const path store = folder.store();
    const path safety = folder.safetyCopy();
    const path compact = folder.compactCopy();
    // Called with the store closed; a connection still held here would lock out the reopen below.
    state.MdbDatabase.reset();

    try {
        // Only the engine writes the store until the verified copy takes its name, so the safety copy needs
        // the disk only if it is ever put back (restore syncs it first). Removed unsynced, it costs no
        // writes.
        check(files.copyFileReplacing(store, safety, Durability::Cached));
    } catch (const std::exception& e) {
        reporter.report("MDB最適化エラー[Backup]", "[mdlCommon]-[Fun_MDBCompact]-[ErrBackup] ", e.what());
        return false;
    }
    step("safety-copied");

    if (!Fun_MDBOpen(state, reporter, store)) {
        // Nothing of ours has changed the store, and whoever holds it may still write to it, so the safety
        // copy is not put over it.
        removeQuietly(compact);
        removeQuietly(journalOf(compact));
        removeQuietly(safety);
        reporter.critical("MDB最適化失敗。");
        reporter.log(std::string(kCompactContext) + "MDB最適化失敗。");
        return false;
    }
    step("opened");

    try {
        // A compacted copy left by an interrupted run never became the store; the store itself is whole.
        removeIfPresent(compact);
        removeIfPresent(journalOf(compact));
        RowCounts before = rowCounts(*state.MdbDatabase);
        state.MdbDatabase->exportCompactCopy(compact);
        check(files.syncPath(compact));
        step("exported");
        state.MdbDatabase.reset();
        removeIfPresent(journalOf(store));
        {
            // The copy must open with the key and hold every row before it may take the store's name.
            auto copy = Store::open(compact);
            if (rowCounts(*copy) != before)
                throw StoreError("the compacted copy does not hold every row of the store");
        }
        removeIfPresent(journalOf(compact));
        step("verified");
        renameOver(files, compact, store);
        step("swapped");
        removeIfPresent(safety);
        check(files.syncFolder(store.parent_path()));
        step("done");
        return true;
    } catch (const std::exception& e) {
        std::string error = e.what();
        state.MdbDatabase.reset();
        restore(files, store, safety, compact);
        reporter.report("MDB最適化エラー[Compact]", kCompactContext, error);
        return false;
    }
}

} // namespace kb
