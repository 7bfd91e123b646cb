#pragma once

#include <ostream>
#include <string>

#include "store/store.h"

namespace kb::ui {

// One record of the history export in code page 932: five quoted values (a quote inside doubled), #NULL#
// for a value that is null, commas between, CR LF after.
std::string csvRecord(const Text (&values)[5]);
std::string csvHeader();
std::string csvRow(const CopyLogRow& row);

} // namespace kb::ui
