#pragma once

#include <cstdint>
#include <memory>

#include "store/store.h"

namespace kb {

// Process-wide state, created zeroed at start and living until the process ends.
struct SharedState {
    std::int16_t SameFile = 0;
    std::int16_t BackupLog = 0;
    std::int32_t BackupLogMax = 0;
    bool LogVisible = false;
    bool TabChangeOK = false;
    // The one open connection to "Kestrelbox.mdb" (it stands for the workspace and database handles).
    std::unique_ptr<Store> MdbDatabase;
};

} // namespace kb
