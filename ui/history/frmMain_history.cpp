// The history panel of the main window: showing and hiding it, filling it, one entry's details, the export.
#include <QAction>
#include <QItemSelectionModel>
#include <QTreeView>
#include <stdexcept>

#include "backup/history_csv.h"
#include "store/shared_state.h"
#include "ui/history/history_model.h"
#include "ui/main/frmMain.h"
#include "ui/main/splitter_bar.h"

namespace kb::ui {

int frmMain::selectedLogRow() const {
    const QModelIndexList rows = ListViewLog->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

bool frmMain::Fun_ChangeListViewLog(const std::string& mode) {
    try {
        bool& visible = s.state.LogVisible;
        if (mode == "0")
            visible = false;
        else if (mode == "1")
            visible = true;
        else if (mode == "2")
            visible = !visible;
        M_Visible[1]->setChecked(visible);
        toolbarButton("BackupLog")->setChecked(visible);
        ListViewLog->setVisible(visible);
        picBarH->setVisible(visible);
        if (visible && mode == "2")
            Fun_FormResize(singleText(m_layout.tabMain.height * 2 / 3 + m_layout.toolbar.height));
        if (!visible)
            Fun_FormResize(singleText(m_layout.statusBar.top - m_layout.picBarH.height));
        return true;
    } catch (const std::exception& e) {
        report("バックアップ履歴表示切替エラー", "[frmMain]-[Fun_ChangeListViewLog] ", e.what());
        return false;
    }
}

bool frmMain::Fun_LogRefresh() {
    // The first page; the list fetches the next ones as it is scrolled.
    try {
        m_history->reload();
        return true;
    } catch (const std::exception& e) {
        logRefreshFailed(e.what());
        return false;
    }
}

void frmMain::logRefreshFailed(const std::string& error) {
    report("履歴更新エラー", "[frmMain]-[Fun_LogRefresh] ", error);
}

void frmMain::logRowRecorded(const CopyLogRow& row, const std::string& trimmedBefore) {
    // During a run the list gains a row per file; it is painted with the window's coalesced repaints, not
    // with every status text.
    if (m_busy)
        ListViewLog->setUpdatesEnabled(false);
    m_history->insertRecorded(row, s.state.MdbDatabase->lastHistoryRowid());
    if (!trimmedBefore.empty())
        m_history->removeBefore(trimmedBefore);
}

bool frmMain::Fun_LogInfo() {
    try {
        if (m_history->rowCount() == 0) {
            ask("ファイルを選択してください", MsgIcon::Exclamation, MsgButtons::Ok);
            return false;
        }
        // Nothing selected (a click on the list's empty part): nothing to show, and no failure either.
        int row = selectedLogRow();
        if (row < 0)
            return false;
        std::string mark = m_history->text(row, 2);
        std::string explanation;
        if (mark == "○")
            explanation = " (バックアップ成功)";
        else if (mark == "△")
            explanation = " (同名ファイルが存在した為、バックアップしていません)";
        else if (mark == "×")
            explanation = " (バックアップ失敗)";
        std::string text = "日時: \t\t" + m_history->text(row, 0) + "\r\n\r\n" + "タブ名: \t\t" +
                           m_history->text(row, 1) + "\r\n\r\n" + "結果: \t\t" + mark + explanation +
                           "\r\n\r\n" + "ファイル名: \t\t" + m_history->text(row, 3) + "\r\n\r\n" +
                           "バックアップパス:\t" + m_history->text(row, 4);
        ask(text, MsgIcon::Information, MsgButtons::Ok);
        return true;
    } catch (const std::exception& e) {
        report("履歴情報表示エラー", "[frmMain]-[Fun_LogInfo] ", e.what());
        return false;
    }
}

void frmMain::Sub_OutPutLog() {
    if (m_history->rowCount() == 0) {
        ask("出力データがありません", MsgIcon::Exclamation, MsgButtons::Ok);
        return;
    }
    std::optional<std::string> path;
    try {
        FileDialogSpec spec{
            "保存先の選択", {{"CSVファイル(*.csv)", "*.csv"}, {"すべてのファイル(*.*)", "*.*"}}, "csv", true};
        path = s.ui.chooseSaveFile(spec);
    } catch (const std::exception&) {
        return;
    }
    if (!path || path->empty())
        return;
    // Written over the store (or any other file of the program) the export would destroy what it reads.
    if (s.folder.ownsFile(*path)) {
        ask("下記のファイルは Kestrelbox 自身のファイルのため、出力できません\r\n\r\n" + *path,
            MsgIcon::Exclamation, MsgButtons::Ok);
        return;
    }

    setWaitCursor(true);
    std::string saved = statusText();
    setStatusText("出力中...");
    flushStatus();
    try {
        exportHistoryCsv(*s.state.MdbDatabase, s.files, *path);
        setWaitCursor(false);
        setStatusText(saved);
        flushStatus();
        ask("出力完了　　　", MsgIcon::Information, MsgButtons::Ok);
    } catch (const std::exception& e) {
        report("履歴出力エラー", "[frmMain]-[Sub_OutPutLog] ", e.what());
        setWaitCursor(false);
        setStatusText(saved);
        flushStatus();
    }
}

} // namespace kb::ui
