#pragma once

namespace kb {

struct Services;

// Backs up the set of the selected tab. interactive false skips the no-files warning, the confirmation and
// the summary. True when the run went to its end (also for a set without files).
bool Fun_BackUp(Services& s, bool interactive);

} // namespace kb
