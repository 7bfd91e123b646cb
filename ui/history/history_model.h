#pragma once

#include <deque>
#include <functional>
#include <QAbstractTableModel>
#include <string>
#include <vector>

#include "store/store.h"

namespace kb::ui {

// The rows of ListViewLog in the order of a full reload: DateTime descending, TabNo descending, SeqNo
// ascending (then rowid). The list holds the first rows of that order and fetches the next page from the
// store as the view scrolls to its end, so a history of any length costs a page at start. A row recorded
// during a run goes where a reload would put it, or, when it lies beyond the rows fetched so far, comes
// with a later page; a trim removes what it deleted. The rows held are always the first rows of the order.
class HistoryModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    // `store` gives the open store (or null); `fetchFailed` reports a page the view asked for that could not
    // be read. Fetching then stops until the next reload.
    HistoryModel(std::function<Store*()> store, std::function<void(const std::string&)> fetchFailed,
                 QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

    // No rows, and none to fetch.
    void clear();
    // The first page again; on a failure the rows read so far stay, and it throws.
    void reload();
    // The row just recorded with that rowid.
    void insertRecorded(const CopyLogRow& row, long long rowid);
    // Removes every row whose DateTime is before `time` (they are all at the end).
    void removeBefore(const std::string& time);

    const CopyLogRow& row(int i) const { return entry(static_cast<std::size_t>(i)).row; }
    // The five texts a row shows: DateTime, TabName, CopyAns, FileName, FolderPath.
    std::string text(int row, int column) const;
    void setPageSize(int rows) { m_pageSize = rows; }
    // No page is fetched while held: a tree view asks for the next page at every relayout, which a run
    // causes with each row it records, and a run's list cannot be scrolled anyway.
    void holdFetches(bool held) { m_held = held; }

    static const char* const kHeaders[5];

private:
    const HistoryEntry& entry(std::size_t i) const {
        return i < m_head.size() ? m_head[i] : m_tail[i - m_head.size()];
    }
    std::size_t size() const { return m_head.size() + m_tail.size(); }
    // Reads the `rows` rows that follow those held; the error text, empty when none.
    std::string readPage(std::vector<HistoryEntry>& page, long long rows);
    void append(std::vector<HistoryEntry>& page);
    // No rows, then the first `rows` rows, in one reset of the model; the error text, empty when none.
    std::string restart(long long rows);
    // The rows are m_head followed by m_tail, split where the last row went in: the rows of a run follow
    // each other at one place of the list, so each goes in at the end of m_head without moving the others.
    void moveSplit(std::size_t at);
    // The same number of first rows (at least a page) read again: for rows whose columns the comparisons
    // here cannot place as the store does.
    void refetch(std::size_t rows);

    std::function<Store*()> m_store;
    std::function<void(const std::string&)> m_fetchFailed;
    std::vector<HistoryEntry> m_head;
    std::deque<HistoryEntry> m_tail;
    int m_pageSize = 256;
    bool m_complete = true;  // every row of the store is held
    bool m_failed = false;   // a fetch failed: no more until the next reload
    bool m_changing = false; // no fetch while the views hear of a change
    bool m_held = false;
    std::size_t m_unplain = 0;
};

// True when a comes before b in the history order (plain entries only).
bool historyBefore(const HistoryEntry& a, const HistoryEntry& b);

} // namespace kb::ui
