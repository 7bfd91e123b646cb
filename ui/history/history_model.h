#pragma once

#include <deque>
#include <QAbstractTableModel>
#include <vector>

#include "store/store.h"

namespace kb::ui {

// The rows of ListViewLog in the order of a full reload: DateTime descending, TabNo descending, SeqNo
// ascending. A row recorded during a run is inserted where a reload would put it, so the list never needs
// a reload per file.
class HistoryModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void clear();
    // Rows appended in reload order (the store's query order).
    void reload(std::deque<CopyLogRow> rows);
    void insertRecorded(const CopyLogRow& row);
    // Removes every row whose DateTime is before `time` (they are all at the end).
    void removeBefore(const std::string& time);

    const CopyLogRow& row(int i) const {
        const auto n = static_cast<std::size_t>(i);
        return n < m_head.size() ? m_head[n] : m_tail[n - m_head.size()];
    }
    // The five texts a row shows: DateTime, TabName, CopyAns, FileName, FolderPath.
    std::string text(int row, int column) const;

    static const char* const kHeaders[5];

private:
    // The rows are m_head followed by m_tail, split where the last row went in: the rows of a run follow
    // each other at one place of the list, so each goes in at the end of m_head without moving the others.
    void moveSplit(std::size_t at);
    std::size_t size() const { return m_head.size() + m_tail.size(); }

    std::vector<CopyLogRow> m_head;
    std::deque<CopyLogRow> m_tail;
};

// True when a comes before b in the history order.
bool historyBefore(const CopyLogRow& a, const CopyLogRow& b);

} // namespace kb::ui
