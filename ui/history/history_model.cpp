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
    return parent.isValid() ? 0 : static_cast<int>(size());
}

int HistoryModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 5;
}

std::string HistoryModel::text(int row, int column) const {
    const CopyLogRow& r = this->row(row);
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
    m_head.clear();
    m_tail.clear();
    endResetModel();
}

void HistoryModel::reload(std::deque<CopyLogRow> rows) {
    beginResetModel();
    m_head.clear();
    m_tail = std::move(rows);
    endResetModel();
}

void HistoryModel::moveSplit(std::size_t at) {
    while (m_head.size() < at) {
        m_head.push_back(std::move(m_tail.front()));
        m_tail.pop_front();
    }
    while (m_head.size() > at) {
        m_tail.push_front(std::move(m_head.back()));
        m_head.pop_back();
    }
}

void HistoryModel::insertRecorded(const CopyLogRow& row) {
    // The first row that comes after the new one.
    std::size_t lo = 0, hi = size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (historyBefore(row, this->row(static_cast<int>(mid))))
            hi = mid;
        else
            lo = mid + 1;
    }
    const int at = static_cast<int>(lo);
    beginInsertRows({}, at, at);
    moveSplit(lo);
    m_head.push_back(row);
    endInsertRows();
}

void HistoryModel::removeBefore(const std::string& time) {
    // Rows without a DateTime sort last and are never trimmed (the store's comparison skips them too).
    std::size_t end = size();
    while (end > 0 && !row(static_cast<int>(end - 1)).DateTime)
        --end;
    std::size_t begin = end;
    while (begin > 0 && *row(static_cast<int>(begin - 1)).DateTime < time)
        --begin;
    if (begin == end)
        return;
    beginRemoveRows({}, static_cast<int>(begin), static_cast<int>(end) - 1);
    // The oldest rows go; the split stays where the run writes unless they reach into the rows before it.
    if (begin < m_head.size())
        moveSplit(begin);
    const auto first = m_tail.begin() + static_cast<std::ptrdiff_t>(begin - m_head.size());
    m_tail.erase(first, first + static_cast<std::ptrdiff_t>(end - begin));
    endRemoveRows();
}

} // namespace kb::ui
