#include "backup/history_csv.h"

#include <system_error>

#include "platform/cp932.h"
#include "platform/file_system.h"
#include "store/store.h"

namespace kb {

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

void exportHistoryCsv(Store& store, FileSystem& files, const std::filesystem::path& file) {
    auto fail = [&file](std::error_code ec) { throw std::system_error(ec, file.string()); };
    ReplacingFile out(files, file);
    if (out.error())
        fail(out.error());
    std::string buffer = csvHeader();
    constexpr std::size_t kChunk = 1 << 18;
    store.forEachCopyLog([&](const CopyLogRow& row) {
        buffer += csvRow(row);
        if (buffer.size() >= kChunk) {
            if (std::error_code ec = out.write(buffer))
                fail(ec);
            buffer.clear();
        }
    });
    if (std::error_code ec = out.write(buffer))
        fail(ec);
    if (std::error_code ec = out.keepTargetPermissions())
        fail(ec);
    if (std::error_code ec = out.commit(Durability::OnDisk))
        fail(ec);
}

} // namespace kb
