#pragma once

#include <filesystem>
#include <string>

#include "app/records.h"

namespace kb {

class FileSystem;
class Store;

// One record of the history export in code page 932: five quoted values (a quote inside doubled), #NULL#
// for a value that is null, commas between, CR LF after.
std::string csvRecord(const Text (&values)[5]);
std::string csvHeader();
std::string csvRow(const CopyLogRow& row);

// Writes the header and every history row, newest first, to `file`. The file is replaced only once the
// whole export is written, so a failure leaves an existing file as it was. Throws on failure, with the
// description of the failing operation.
void exportHistoryCsv(Store& store, FileSystem& files, const std::filesystem::path& file);

} // namespace kb
