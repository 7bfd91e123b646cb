#pragma once

#include <optional>
#include <string>

namespace kb {

// The rows of the store's tables as plain values: what the store reads and writes, what the windows show.
using Text = std::optional<std::string>;

struct TabRow {
    std::string TabNo;
    std::string TabName;
    std::string NameType;
    Text FolderPath;
};

struct CopyLogRow {
    Text DateTime;
    Text TabNo;
    Text TabName;
    long long SeqNo = 0;
    Text CopyAns;
    Text FileName;
    Text FolderPath;
};

} // namespace kb
