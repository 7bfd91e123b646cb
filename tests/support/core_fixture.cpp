#include "test_support.h"

#include "backup/backup_run.h"

// Apart from the other helpers, so that tests without a store do not need the store to link.
namespace kb::test {

CoreFixture::CoreFixture(bool withStore, FileSystem* injected)
    : dir("kbcore"), folder(dir.path()), files(injected ? *injected : realFiles),
      ini(folder.settings(), files), errorLog(folder.errorLog(), clock, ui),
      reporter(ui, errorLog), services{folder, ui, reporter, clock, files, ini, state, shell} {
    if (withStore) {
        Store::create(folder.store());
        state.MdbDatabase = Store::open(folder.store());
    }
    state.SameFile = 0;
    state.BackupLog = 1;
    state.BackupLogMax = 1000;
}

std::vector<std::string> CoreFixture::marks() {
    std::vector<std::string> out;
    for (const CopyLogRow& r : history())
        out.push_back(r.CopyAns.value_or(""));
    return out;
}

std::filesystem::path CoreFixture::addFile(const std::string& relative, const std::string& content) {
    const std::filesystem::path p = dir / "src" / relative;
    std::filesystem::create_directories(p.parent_path());
    writeFile(p, content);
    store().insertCopyData("1", p.string());
    return p;
}

bool CoreFixture::backUp() {
    return Fun_BackUp(services, false);
}

int busyStatements(sqlite3* db) {
    int busy = 0;
    for (sqlite3_stmt* s = sqlite3_next_stmt(db, nullptr); s; s = sqlite3_next_stmt(db, s))
        busy += sqlite3_stmt_busy(s) ? 1 : 0;
    return busy;
}

int exec(Store& store, const std::string& sql) {
    return sqlite3_exec(store.handle(), sql.c_str(), nullptr, nullptr, nullptr);
}

std::vector<CopyLogRow> historyRows(Store& store) {
    std::vector<CopyLogRow> rows;
    store.forEachCopyLog([&](const CopyLogRow& r) { rows.push_back(r); });
    return rows;
}

} // namespace kb::test
