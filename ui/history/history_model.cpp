#include "ui/history/history_model.h"

#include <algorithm>
#include <stdexcept>

namespace kb::ui {

const char* const HistoryModel::kHeaders[5] = {"日時", "タブ名", "結果", "ファイル名", "バックアップパス"};

namespace {
const std::string& orEmpty(const Text& t) {
    static const std::string empty;
    return t ? *t : empty;
}
} // namespace

bool historyBefore(const HistoryEntry& a, const HistoryEntry& b) {
    if (a.row.DateTime != b.row.DateTime)
        return a.row.DateTime > b.row.DateTime;
    if (a.row.TabNo != b.row.TabNo)
        return a.row.TabNo > b.row.TabNo;
    if (a.row.SeqNo != b.row.SeqNo)
        return a.row.SeqNo < b.row.SeqNo;
    return a.rowid < b.rowid;
}

HistoryModel::HistoryModel(std::function<Store*()> store, std::function<void(const std::string&)> fetchFailed,
                           QObject* parent)
    : QAbstractTableModel(parent), m_store(std::move(store)), m_fetchFailed(std::move(fetchFailed)) {}

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

bool HistoryModel::canFetchMore(const QModelIndex& parent) const {
    return !parent.isValid() && !m_complete && !m_failed && !m_changing && !m_held;
}

void HistoryModel::fetchMore(const QModelIndex& parent) {
    if (!canFetchMore(parent))
        return;
    m_changing = true;
    std::vector<HistoryEntry> page;
    const std::string error = readPage(page, m_pageSize);
    if (!page.empty()) {
        const int first = static_cast<int>(size());
        beginInsertRows({}, first, first + static_cast<int>(page.size()) - 1);
        append(page);
        endInsertRows();
    }
    m_changing = false;
    if (!error.empty() && m_fetchFailed)
        m_fetchFailed(error);
}

std::string HistoryModel::readPage(std::vector<HistoryEntry>& page, long long rows) {
    std::string error;
    try {
        Store* store = m_store ? m_store() : nullptr;
        if (!store)
            throw std::runtime_error("データベースが開かれていません");
        const std::size_t n = size();
        store->historyPage(n ? &entry(n - 1) : nullptr, static_cast<long long>(n), rows, page);
    } catch (const std::exception& e) {
        error = e.what();
    }
    // Decided before the rows are announced, so that whoever the announcement reaches sees the end.
    if (!error.empty())
        m_failed = true;
    else if (static_cast<long long>(page.size()) < rows)
        m_complete = true;
    return error;
}

void HistoryModel::append(std::vector<HistoryEntry>& page) {
    for (HistoryEntry& e : page) {
        m_unplain += e.plain ? 0 : 1;
        m_tail.push_back(std::move(e));
    }
}

std::string HistoryModel::restart(long long rows) {
    m_changing = true;
    beginResetModel();
    m_head.clear();
    m_tail.clear();
    m_complete = rows == 0;
    m_failed = false;
    m_unplain = 0;
    std::vector<HistoryEntry> page;
    const std::string error = rows > 0 ? readPage(page, rows) : std::string();
    append(page);
    endResetModel();
    m_changing = false;
    return error;
}

void HistoryModel::clear() {
    restart(0);
}

void HistoryModel::reload() {
    if (std::string error = restart(m_pageSize); !error.empty())
        throw std::runtime_error(error);
}

void HistoryModel::refetch(std::size_t rows) {
    const std::string error =
        restart(std::max(static_cast<long long>(rows), static_cast<long long>(m_pageSize)));
    if (!error.empty() && m_fetchFailed)
        m_fetchFailed(error);
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

void HistoryModel::insertRecorded(const CopyLogRow& row, long long rowid) {
    if (m_unplain) {
        refetch(size() + 1);
        return;
    }
    const HistoryEntry recorded{row, rowid, true};
    // Beyond the rows held, it comes with a later page.
    if (!m_complete && (size() == 0 || historyBefore(entry(size() - 1), recorded)))
        return;
    // The first row that comes after the new one.
    std::size_t lo = 0, hi = size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (historyBefore(recorded, entry(mid)))
            hi = mid;
        else
            lo = mid + 1;
    }
    const int at = static_cast<int>(lo);
    m_changing = true;
    beginInsertRows({}, at, at);
    moveSplit(lo);
    m_head.push_back(recorded);
    endInsertRows();
    m_changing = false;
}

void HistoryModel::removeBefore(const std::string& time) {
    if (m_unplain) {
        refetch(size());
        return;
    }
    const std::size_t end = size();
    std::size_t begin = end;
    while (begin > 0 && *entry(begin - 1).row.DateTime < time)
        --begin;
    if (begin == end)
        return;
    m_changing = true;
    beginRemoveRows({}, static_cast<int>(begin), static_cast<int>(end) - 1);
    // The oldest rows go; the split stays where the run writes unless they reach into the rows before it.
    if (begin < m_head.size())
        moveSplit(begin);
    const auto first = m_tail.begin() + static_cast<std::ptrdiff_t>(begin - m_head.size());
    m_tail.erase(first, first + static_cast<std::ptrdiff_t>(end - begin));
    endRemoveRows();
    m_changing = false;
}

} // namespace kb::ui
