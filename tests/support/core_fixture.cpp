#include "test_support.h"

#include <sqlite3.h>

// Apart from the other helpers, so that tests without a store do not need the store to link.
namespace kb::test {

CoreFixture::CoreFixture(bool withStore, FileSystem* injected)
    : dir("kbcore"), folder(dir.path()), files(injected ? *injected : realFiles),
      ini(folder.settings(), files), errorLog(folder.errorLog(), clock, ui),
      reporter(ui, errorLog), services{folder, ui, reporter, clock, files, ini, state, shell} {
    if (withStore) {
        Store::create(folder.store());
        openStore();
    }
    state.SameFile = 0;
    state.BackupLog = 1;
    state.BackupLogMax = 1000;
}

CoreFixture::~CoreFixture() {
    state.MdbDatabase.reset();
}

void CoreFixture::openStore() {
    state.MdbDatabase = Store::open(folder.store());
}

int busyStatements(sqlite3* db) {
    int busy = 0;
    for (sqlite3_stmt* s = sqlite3_next_stmt(db, nullptr); s; s = sqlite3_next_stmt(db, s))
        busy += sqlite3_stmt_busy(s) ? 1 : 0;
    return busy;
}

std::vector<CopyLogRow> historyRows(Store& store) {
    std::vector<CopyLogRow> rows;
    store.forEachCopyLog([&](const CopyLogRow& r) { rows.push_back(r); });
    return rows;
}

} // namespace kb::test
