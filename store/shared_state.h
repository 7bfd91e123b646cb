#pragma once

#include <cstddef>
#include <memory>

#include "app/options.h"
#include "store/store.h"

namespace kb {

// Process-wide state, created zeroed at start and living until the process ends: the options read at
// start, the window's two flags and the one open store connection.
struct SharedState : Options {
    bool LogVisible = false;
    bool TabChangeOK = false;
    // Files recorded × (failed) since the start, backup runs of every set together.
    std::size_t FailedFiles = 0;
    // The one open connection to "Kestrelbox.mdb" (it stands for the workspace and database handles).
    std::unique_ptr<Store> MdbDatabase;
};

} // namespace kb
