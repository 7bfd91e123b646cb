#include "test_support.h"

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

std::vector<CopyLogRow> historyRows(Store& store) {
    std::vector<CopyLogRow> rows;
    store.forEachCopyLog([&](const CopyLogRow& r) { rows.push_back(r); });
    return rows;
}

} // namespace kb::test
