#include "ui/history/csv_export.h"

#include "platform/cp932.h"

namespace kb::ui {

std::string csvRecord(const Text (&values)[5]) {
    std::string line;
    for (int i = 0; i < 5; ++i) {
        if (i > 0)
            line += ',';
        const Text& v = values[i];
        if (!v) {
            line += "#NULL#";
            continue;
        }
        line += '"';
        for (char c : *v) {
            if (c == '"')
                line += '"';
            line += c;
        }
        line += '"';
    }
    line += "\r\n";
    return cp932::fromUtf8(line);
}

std::string csvHeader() {
    static const Text header[5] = {"日時", "タブ名", "結果", "ファイル名", "バックアップパス"};
    return csvRecord(header);
}

std::string csvRow(const CopyLogRow& row) {
    const Text values[5] = {row.DateTime, row.TabName, row.CopyAns, row.FileName, row.FolderPath};
    return csvRecord(values);
}

} // namespace kb::ui
