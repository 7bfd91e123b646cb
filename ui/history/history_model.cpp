#include "ui/history/history_model.h"

#include <algorithm>

namespace kb::ui {

const char* const HistoryModel::kHeaders[5] = {"日時", "タブ名", "結果", "ファイル名", "バックアップパス"};

namespace {
const std::string& orEmpty(const Text& t) {
    static const std::string empty;
    return t ? *t : empty;
}
} // namespace

bool historyBefore(const CopyLogRow& a, const CopyLogRow& b) {
    // A null sorts lowest, as in the store; descending order puts it last.
    if (a.DateTime != b.DateTime)
        return a.DateTime > b.DateTime;
    if (a.TabNo != b.TabNo)
        return a.TabNo > b.TabNo;
    return a.SeqNo < b.SeqNo;
}

int HistoryModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int HistoryModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 5;
}

std::string HistoryModel::text(int row, int column) const {
    const CopyLogRow& r = m_rows[static_cast<std::size_t>(row)];
    switch (column) {
    case 0:
        return orEmpty(r.DateTime);
    case 1:
        return orEmpty(r.TabName);
    case 2:
        return orEmpty(r.CopyAns);
    case 3:
        return orEmpty(r.FileName);
    case 4:
        return orEmpty(r.FolderPath);
    }
    return {};
}

QVariant HistoryModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid())
        return {};
    return QString::fromStdString(text(index.row(), index.column()));
}

QVariant HistoryModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 || section >= 5)
        return {};
    return QString::fromUtf8(kHeaders[section]);
}

void HistoryModel::clear() {
    beginResetModel();
    m_rows.clear();
    endResetModel();
}

void HistoryModel::reload(std::deque<CopyLogRow> rows) {
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

void HistoryModel::insertRecorded(const CopyLogRow& row) {
    auto pos = std::upper_bound(m_rows.begin(), m_rows.end(), row, historyBefore);
    int at = static_cast<int>(pos - m_rows.begin());
    beginInsertRows({}, at, at);
    m_rows.insert(pos, row);
    endInsertRows();
}

void HistoryModel::removeBefore(const std::string& time) {
    // Rows without a DateTime sort last and are never trimmed (the store's comparison skips them too).
    std::size_t end = m_rows.size();
    while (end > 0 && !m_rows[end - 1].DateTime)
        --end;
    std::size_t begin = end;
    while (begin > 0 && *m_rows[begin - 1].DateTime < time)
        --begin;
    if (begin == end)
        return;
    beginRemoveRows({}, static_cast<int>(begin), static_cast<int>(end) - 1);
    m_rows.erase(m_rows.begin() + static_cast<std::ptrdiff_t>(begin),
                 m_rows.begin() + static_cast<std::ptrdiff_t>(end));
    endRemoveRows();
}

} // namespace kb::ui
