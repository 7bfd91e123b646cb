#include "store/mdb_open.h"

#include "app/reporter.h"
#include "store/shared_state.h"

namespace kb {

bool Fun_MDBOpen(SharedState& state, Reporter& reporter, const std::filesystem::path& file) {
    std::string error;
    try {
        state.MdbDatabase = Store::open(file);
        return true;
    } catch (const std::exception& e) {
        error = e.what();
    }
    // The box comes first and the handle is released before the log line is written.
    reporter.critical("データベースオープンエラー\r\n" + error);
    state.MdbDatabase.reset();
    reporter.log("[mdlCommon]-[Fun_MDBOpen] " + error);
    return false;
}

} // namespace kb
